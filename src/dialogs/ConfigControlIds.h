// Control identifiers of the "Config" dialog: IDC_ + each control's name in capitals, so
// that tests, automation and accessibility tools find every control by name.
#pragma once

#define IDC_LABEL1 1001
#define IDC_LABEL2 1002
#define IDC_LABEL3 1003
#define IDC_LABEL4 1004
#define IDC_LABEL5 1005
#define IDC_LABEL7 1007
#define IDC_OUTPUT 1010
#define IDC_IPEDIT 1011
#define IDC_PORTEDIT 1012
#define IDC_CONNECTBUTTON 1013
#define IDC_BUTTON1 1014
#define IDC_USEREDIT 1015
#define IDC_PASSWORDEDIT 1016
#define IDC_DISKTYPEBOX 1017
#define IDC_CHECKBOX1 1018
#define IDC_LOCALFILEEDIT 1019
#define IDC_BUTTON2 1020
#define IDC_MAINCONTROL 1021
#define IDC_FILELIST 1022
#define IDC_LOCALCACHELIST 1023
#define IDC_CACHEPERCENT 1024
#define IDC_NEWS 1025
#define IDC_NEWSBUTTON 1026
