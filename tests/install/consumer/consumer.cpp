// A program built against the installed package.
//   consumer            the bridge the installed framework finds by name
//   consumer --sim      the installed simulated bridge with its bundled devices
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

#include "SimApi.h"
#include "VyHID.h"

int main(int argc, char** argv) {
  rtl::HMODULE bridge = 0;
  if (argc > 1 && std::strcmp(argv[1], "--sim") == 0) {
    bridge = rtl::LoadLibraryW(rtl::Utf8ToString(VYHID_INSTALLED_SIM_BRIDGE));
    const auto load = reinterpret_cast<decltype(&SimLoadDeviceText)>(
        rtl::GetProcAddress(bridge, "SimLoadDeviceText"));
    std::ifstream file(VYHID_INSTALLED_SIM_DEVICES, std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(file)),
                           std::istreambuf_iterator<char>());
    char error[128] = {};
    if (load == nullptr || load(text.c_str(), error, sizeof error) < 0) {
      std::printf("cannot load the simulated devices: %s\n", error);
      return 1;
    }
  }
  int status = 0;
  {
    TVyHID hid(nullptr);
    const std::int32_t count = hid.ScanForHIDdevices();
    std::printf("scan: %d\n", static_cast<int>(count));
    if (count < 0) status = 1;
    if (bridge != 0 && count == 3) {
      hid.CurrentDevNr = 2;
      hid.Active = true;
      hid.SetFeature(1, "installed");
      THIDreport report{};
      report.ReportID = 1;
      hid.GetFeature(report);
      std::printf("feature 1: %s\n", hid.GetStrFromBuffer(report, 64).c_str());
      hid.CloseHidDevice();
    }
  }
  if (bridge != 0) rtl::FreeLibrary(bridge);
  return status;
}
