// Enumeration of hidraw devices through libudev (works without a udev
// daemon: it reads sysfs).
#pragma once

#include <vector>

#include "DeviceRecord.h"

namespace vyhid::hidraw {

// Every hidraw device present now, with what identifies and describes it.
// The order is the system's; an empty list when there is none or libudev
// cannot be used. Safe from any thread (uses a libudev context of its own).
std::vector<DeviceFacts> EnumerateHidraw();

}  // namespace vyhid::hidraw
