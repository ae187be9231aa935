// Disc names from the server become file names in the games folder: "<name>.Block" and
// "<name>.map". A listed name may carry a folder path; the part after its last backslash
// is the file name. Whatever a server sends, the result names a file directly inside the
// games folder.
#pragma once

#include <string>

namespace korvane {

// The file name of a listed disc: the part after the last "\", made safe.
std::string DiscFileName(const std::string& listedName);

// name made safe as a file name inside one folder: "/", ":", the other characters Windows
// forbids in names and control bytes become "_", and a reserved device name (CON, PRN,
// AUX, NUL, COM1-9, LPT1-9, in any case, with or without an extension) gets a "_" in
// front. Ordinary names, and the empty name, are unchanged.
std::string SafeFileName(const std::string& name);

}  // namespace korvane
