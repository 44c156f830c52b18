#include "BoundedIo.h"

// clang-format off
#include <winioctl.h>
#include <hidclass.h>
// clang-format on

#include "Handle.h"
#include "RequestOutcome.h"

namespace vyhid::win32 {

const DeviceControl kGetFeature{"IOCTL_HID_GET_FEATURE", IOCTL_HID_GET_FEATURE};
const DeviceControl kSetFeature{"IOCTL_HID_SET_FEATURE", IOCTL_HID_SET_FEATURE};
const DeviceControl kGetInputReport{"IOCTL_HID_GET_INPUT_REPORT", IOCTL_HID_GET_INPUT_REPORT};
const DeviceControl kGetManufacturerString{"IOCTL_HID_GET_MANUFACTURER_STRING",
                                           IOCTL_HID_GET_MANUFACTURER_STRING};
const DeviceControl kGetProductString{"IOCTL_HID_GET_PRODUCT_STRING", IOCTL_HID_GET_PRODUCT_STRING};
const DeviceControl kGetSerialNumberString{"IOCTL_HID_GET_SERIALNUMBER_STRING",
                                           IOCTL_HID_GET_SERIALNUMBER_STRING};

DWORD BoundedRequest(HANDLE device, DWORD timeout_ms, const StartRequest& start) {
  Handle done(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (!done) return ::GetLastError();
  OVERLAPPED ov{};
  ov.hEvent = done.get();
  if (!start(ov)) {
    const DWORD error = ::GetLastError();
    if (error != ERROR_IO_PENDING) return error;
  }
  const bool inTime = ::WaitForSingleObject(done.get(), timeout_ms) == WAIT_OBJECT_0;
  if (!inTime) ::CancelIoEx(device, &ov);
  // Waits until the request has ended, cancelled or not: until then the
  // system may still write into `ov` and the request's buffers.
  DWORD transferred = 0;
  const bool completed = ::GetOverlappedResult(device, &ov, &transferred, TRUE) != FALSE;
  return RequestError(inTime, completed, completed ? 0 : ::GetLastError());
}

DWORD ControlRequest(HANDLE device, const DeviceControl& control, void* in, DWORD in_size,
                     void* out, DWORD out_size) {
  return BoundedRequest(device, kRequestTimeoutMs, [&](OVERLAPPED& ov) {
    return ::DeviceIoControl(device, control.code, in, in_size, out, out_size, nullptr, &ov);
  });
}

}  // namespace vyhid::win32
