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
  Resolve(module, "SimReset", bridge.Reset, missing);
  Resolve(module, "SimAddDevice", bridge.AddDevice, missing);
  Resolve(module, "SimRemoveDevice", bridge.RemoveDevice, missing);
  Resolve(module, "SimSetDevices", bridge.SetDevices, missing);
  Resolve(module, "SimFireDeviceChange", bridge.FireDeviceChange, missing);
  Resolve(module, "SimLoadDeviceText", bridge.LoadDeviceText, missing);
  Resolve(module, "SimInjectInput", bridge.InjectInput, missing);
  Resolve(module, "SimStartInputStream", bridge.StartInputStream, missing);
  Resolve(module, "SimWaitInputStream", bridge.WaitInputStream, missing);
  Resolve(module, "SimSetReplayPace", bridge.SetReplayPace, missing);
  Resolve(module, "SimReplayNext", bridge.ReplayNext, missing);
  Resolve(module, "SimSetSendTake", bridge.SetSendTake, missing);
  Resolve(module, "SimScriptOpenResults", bridge.ScriptOpenResults, missing);
  Resolve(module, "SimScriptCloseResults", bridge.ScriptCloseResults, missing);
  Resolve(module, "SimScriptThrow", bridge.ScriptThrow, missing);
  Resolve(module, "SimScriptError", bridge.ScriptError, missing);
  Resolve(module, "SimSetInputReport", bridge.SetInputReport, missing);
  Resolve(module, "SimSetFeatureReport", bridge.SetFeatureReport, missing);
  Resolve(module, "SimSetEcho", bridge.SetEcho, missing);
  Resolve(module, "SimSetOpenInput", bridge.SetOpenInput, missing);
  Resolve(module, "SimCallCount", bridge.CallCount, missing);
  Resolve(module, "SimGetCall", bridge.GetCall, missing);
  Resolve(module, "SimClearLog", bridge.ClearLog, missing);
  Resolve(module, "SimOpenDevice", bridge.OpenDevice, missing);
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
