// Control identifiers of the "About..." box: IDC_ABOUT_ + each control's name in capitals
// (the Config dialog's ids hold the plain names), and the resource id of its banner. The
// box's resource script includes this file too, so it holds preprocessor lines only.
#pragma once

#define IDC_ABOUT_IMAGE1 1101
#define IDC_ABOUT_LABEL1 1102
#define IDC_ABOUT_DLLVER 1103
#define IDC_ABOUT_BUTTON1 1104

// The banner: a JPEG stored as raw data in the DLL's resources.
#define IDR_ABOUT_BANNER 101
