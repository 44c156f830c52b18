// Why a bridge call failed, for the caller and for the user.
//
// Each thread keeps the reason its last entry-point call failed (an errno-style
// code and a text), which the optional HIDlastError export hands out. When the
// environment variable VYHID_DEBUG is 1, every reason recorded and every note
// is also written to standard error as one line; otherwise a bridge prints
// nothing. Safe from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace vyhid::abi {

// Trivially destructible, so that a thread's copy holds no library loaded
// after the thread ends, and nothing runs at its end.
struct BridgeError {
  int code = 0;         // errno-style; 0: no failure recorded
  char text[512] = {};  // NUL-terminated, cut to fit
};

// Records why the current call fails, and prints it when debugging is on.
void SetLastError(int code, std::string_view text);
// "call(object): strerror(error)"; "call: strerror(error)" without an object.
std::string SystemErrorText(std::string_view call, std::string_view object, int error);
// Records a failing system call: SystemErrorText, with `error`'s code.
void SetSystemError(std::string_view call, std::string_view object, int error);
// The same with another code: the category a caller acts on (EACCES for
// EPERM, ENOENT for ENODEV, ...) while the text keeps the system's reason.
void SetSystemError(std::string_view call, std::string_view object, int error, int code);
// The two failures every bridge shares: an open of a device number the last
// scan did not list (ENOENT), and a transfer or size query with no device
// open (ENOENT).
void SetNotListed(unsigned nr, std::size_t listed);
void SetNoDeviceOpen();
// Forgets the reason: the call in progress has not failed (yet).
void ClearLastError();
// This thread's last recorded reason.
const BridgeError& LastError();
// Copies LastError() into a caller's buffer as HIDlastError does.
std::int32_t CopyLastError(char* text, std::uint32_t size);

// True when VYHID_DEBUG is 1 (read once).
bool DebugEnabled();
// Writes "vyhid bridge: <line>" to standard error when debugging is on: what
// is not a failure of the call but helps to understand one (a retry and what
// it waited for, a descriptor that did not parse).
void DebugNote(std::string_view line);

}  // namespace vyhid::abi
