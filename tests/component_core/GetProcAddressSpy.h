// Records the names that the component looks up in the bridge.
//
// The test executable defines rtl::GetProcAddress itself; the dynamic linker
// binds the component's calls to this definition, which records the name and
// forwards to the framework's own.
#pragma once

#include <string>
#include <vector>

namespace vyhid_test {

// The names looked up since the last call, in order, leaving the record empty.
std::vector<std::string> TakeLookedUpNames();

}  // namespace vyhid_test
