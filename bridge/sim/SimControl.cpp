#include "SimControl.h"

#include <fstream>
#include <iterator>

namespace {

// Resolves one function pointer; remembers the first name that is missing.
template <class Fn>
void Resolve(rtl::HMODULE module, const char* name, Fn& field, const char*& missing) {
  field = reinterpret_cast<Fn>(rtl::GetProcAddress(module, name));
  if (field == nullptr && missing == nullptr) missing = name;
}

}  // namespace

bool LoadSimBridge(const rtl::String& path, SimBridge& out, rtl::HMODULE& module,
                   std::string* error) {
  module = rtl::LoadLibraryW(path);
  if (module == 0) {
    if (error != nullptr) {
      *error = "cannot load " + rtl::StringToUtf8(path) + ": " +
               rtl::StringToUtf8(rtl::LastLibraryError());
    }
    return false;
  }
  SimBridge bridge;
  const char* missing = nullptr;
#define VYHID_SIM_RESOLVE(name) Resolve(module, "Sim" #name, bridge.name, missing);
  VYHID_SIM_CONTROL_API(VYHID_SIM_RESOLVE)
#undef VYHID_SIM_RESOLVE
  if (missing != nullptr) {
    if (error != nullptr) {
      *error = rtl::StringToUtf8(path) + " is not a simulated bridge: missing " + missing;
    }
    rtl::FreeLibrary(module);
    module = 0;
    return false;
  }
  out = bridge;
  return true;
}

int SimLoadDeviceFile(const SimBridge& bridge, const std::string& path, std::string* error) {
  std::ifstream file(path, std::ios::binary);
  if (!file.is_open()) {
    if (error != nullptr) *error = path + ": cannot read";
    return -1;
  }
  const std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  char message[256] = {};
  const int count = bridge.LoadDeviceText(text.c_str(), message, sizeof message);
  if (count < 0 && error != nullptr) *error = path + ": " + message;
  return count;
}
