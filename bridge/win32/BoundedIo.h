// Requests to a device that may never answer: issued overlapped, and
// cancelled when they take longer than their bound.
#pragma once

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <functional>
#include <string_view>

namespace vyhid::win32 {

// How long one request to a device may take: a report sent or asked for, a
// string read. A device that does not answer within it holds the calling
// thread no longer.
constexpr DWORD kRequestTimeoutMs = 1000;

// Starts an overlapped request with `ov` (its event set) and returns what the
// call returned: WriteFile, DeviceIoControl.
using StartRequest = std::function<BOOL(OVERLAPPED& ov)>;

// Runs one request on `device` (opened with FILE_FLAG_OVERLAPPED) and waits
// at most `timeout_ms` for it. Past that it cancels the request (CancelIoEx)
// and waits until the system has let go of it, so that its buffers may go
// when this returns. Returns 0 when the request completed, cancelled late or
// not (RequestError); otherwise the system's error, ERROR_TIMEOUT for a
// request the cancel ended.
DWORD BoundedRequest(HANDLE device, DWORD timeout_ms, const StartRequest& start);

// A device I/O control code of the HID class driver, named for the reasons
// of failures.
struct DeviceControl {
  std::string_view name;
  DWORD code;
};
// What HidD_GetFeature, HidD_SetFeature, HidD_GetInputReport and
// HidD_GetManufacturerString and its kin send, which themselves wait without
// a bound.
extern const DeviceControl kGetFeature;
extern const DeviceControl kSetFeature;
extern const DeviceControl kGetInputReport;
extern const DeviceControl kGetManufacturerString;
extern const DeviceControl kGetProductString;
extern const DeviceControl kGetSerialNumberString;

// Sends the control with its input and output buffers (either may be empty),
// bounded by kRequestTimeoutMs; the error as BoundedRequest gives it.
DWORD ControlRequest(HANDLE device, const DeviceControl& control, void* in, DWORD in_size,
                     void* out, DWORD out_size);

}  // namespace vyhid::win32
