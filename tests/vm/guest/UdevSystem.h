// The hidraw devices through libudev (a context of its own), many times
// slower than the bridge's own sysfs reader: the reference that reader is
// checked against in the benchmark.
#pragma once

#include <memory>

#include "Enumerate.h"

namespace vyhid::hidraw {

std::unique_ptr<HidrawSystem> MakeUdevSystem();

}  // namespace vyhid::hidraw
