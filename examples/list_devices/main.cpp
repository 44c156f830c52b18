// Lists the HID devices attached to the machine, with each device's
// description as the component builds it.
//
//   list_devices [FILTER]
//
// The component loads the bridge HID_Bridge__.dll by name. To use another
// bridge, name it in VYHID_BRIDGE: it is loaded by path first, and the
// component's load by name then gets it. For example, the simulated bridge
// with its bundled devices (devices/default.txt beside it; VYHID_SIM_DEVICES
// names another device file):
//   export VYHID_BRIDGE=<prefix>/lib/vyhid/bridge/sim/HID_Bridge__.dll
//   ./list_devices
#include <cstdio>
#include <cstdlib>

#include "VyHID.h"

int main(int argc, char** argv) {
  if (const char* bridge = std::getenv("VYHID_BRIDGE"))
    rtl::LoadLibraryW(rtl::Utf8ToString(bridge));

  TVyHID hid(nullptr);
  // Assigning Filter rescans; without one, scan explicitly. -1: no bridge
  // (the component has already said so).
  if (argc > 1) {
    hid.Filter = rtl::Utf8ToString(argv[1]);
  } else if (hid.ScanForHIDdevices() < 0) {
    return 1;
  }
  if (hid.DevCount < 0) return 1;

  std::printf("%d device(s)\n", static_cast<int>(hid.DevCount));
  for (int nr = 0; nr < hid.DevCount && nr < static_cast<int>(vyhid::kDeviceSlots); ++nr) {
    // The filter empties the descriptions of the devices it does not match.
    const rtl::TStringList& description = *hid.HIDinfoArray[nr].HIDstringsInfo;
    for (int line = 0; line < description.Count(); ++line) {
      std::printf("%s\n", rtl::StringToUtf8(description[line]).c_str());
    }
  }
  return 0;
}
