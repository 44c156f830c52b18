// The reasons of the bridge's failures, from the system's error codes.
#pragma once

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <string>
#include <string_view>

namespace vyhid::win32 {

// Text of the system (UTF-16) as UTF-8.
std::string ToUtf8(const std::wstring& text);

// "call(object): the system's message (error N)"; no parentheses when
// `object` is empty.
std::string Win32ErrorText(std::string_view call, const std::wstring& object, DWORD error);

// Records a failing Win32 call as the reason the current entry point fails
// (HIDlastError), with the caller's category of the error; printed when
// VYHID_DEBUG=1.
void RecordWin32Error(std::string_view call, const std::wstring& object, DWORD error);

// A failure that costs one device of a scan a fact, not the scan: noted only.
void NoteWin32Error(std::string_view call, const std::wstring& object, DWORD error);

}  // namespace vyhid::win32
