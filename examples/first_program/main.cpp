// Opens the first device whose description contains "Vendor", prints its
// name, sends "Hello" as an output report and prints the input report that
// answers it (the simulated vendor device echoes what it is sent).
#include <atomic>
#include <cstdio>
#include <string>

#include "VyHID.h"

int main() {
  std::atomic<bool> answered{false};  // outlives the component and its handler
  TVyHID hid(nullptr);                // loads HID_Bridge__.dll (see "Choosing a bridge")
  hid.OnGetHIDData = [&](rtl::TObject*, THIDreport report, std::uint8_t bytes) {
    // The bridge's thread: the report's ID and its first `bytes` bytes (a
    // report longer than 64 bytes comes as several such pieces).
    std::printf("input report %u, %u bytes:", report.ReportID, bytes);
    for (int i = 0; i < bytes && i < 8; ++i) std::printf(" %02x", report.Data.Bytes[i]);
    std::printf(" ...\n");
    answered = true;
    answered.notify_one();
  };
  hid.Filter = u"Vendor";  // scans; the devices it does not match get no description
  for (int nr = 0; nr < hid.DevCount && nr < static_cast<int>(vyhid::kDeviceSlots); ++nr) {
    const TVyHIDDevInfo& slot = hid.HIDinfoArray[nr];
    if (slot.HIDstringsInfo->Count() == 0) continue;
    // Names are short strings: a length byte and bytes (UTF-8 on Linux).
    const std::string product(ReadShortString(slot.VyHIDinfo.ProductString));
    const int outputId = slot.VyHIDinfo.ReportOutID;  // -1: no output report
    std::printf("device %d: %s, output report ID %d\n", nr, product.c_str(), outputId);
    hid.CurrentDevNr = nr;
    hid.Active = true;  // opens it; fires OnDevOpen
    if (!hid.Active || outputId < 0) return 1;
    hid.SetReport(static_cast<std::uint8_t>(outputId), "Hello");  // zero-padded to the report
    answered.wait(false);
    hid.CloseHidDevice();
    return 0;
  }
  std::printf("no device matches\n");
  return 1;
}
