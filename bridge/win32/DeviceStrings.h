// A device's manufacturer, product and serial number strings for its record:
// from what the PnP manager keeps where it can, with no device I/O, and from
// the device only for the rest, each request bounded in time.
#pragma once

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
// clang-format off
#include <cfgmgr32.h>
// clang-format on

#include <map>
#include <string>

namespace vyhid::win32 {

// Text of the system (UTF-16) in the ANSI code page, at most 255 bytes, cut
// at a character boundary: the longest prefix of whole UTF-16 characters
// whose conversion fits, so that no double-byte or UTF-8 character is split.
std::string ToAnsi(const wchar_t* text, int length);

// A device's strings, the same for each of its collections.
struct Names {
  std::string manufacturer;
  std::string product;
  std::string serial;
};

// The strings of the device that the collection (its device node, and
// `device` opened with FILE_FLAG_OVERLAPPED, no access rights needed)
// belongs to, read once per device and scan (`known`, by the device's
// instance ID).
Names ReadNames(HANDLE device, DEVINST collection, std::map<std::wstring, Names>& known);

}  // namespace vyhid::win32
