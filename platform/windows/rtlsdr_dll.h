// How the Windows build finds librtlsdr's DLL.
#pragma once

#include <string>
#include <vector>

#include "platform/rtlsdr_library.h"

// The DLL names tried, in order: the name librtlsdr's own Windows build gives it, then
// the one a MinGW build gives it.
inline const std::vector<std::string> rtlsdr_library_names = {"rtlsdr.dll", "librtlsdr.dll"};

// Loads the first of names that loads (the usual DLL search: the program's folder
// first) and finds every call in it. On failure returns false and sets problem to one
// line saying what is missing and what to do; lib is then left empty.
bool rtlsdr_library_load(RtlsdrLibrary& lib, const std::vector<std::string>& names,
                         std::string& problem);
