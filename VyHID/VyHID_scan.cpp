// The device scan, the filter, reconnection and the scan time-out timer.
#include <algorithm>
#include <string>

#include "VyHID.h"
#include "vcl/ExtCtrls.h"

namespace {

// The bridge counts up to 255 devices; devices past the last slot are ignored.
constexpr auto kMaxDevices = static_cast<std::int32_t>(vyhid::kDeviceSlots);

}  // namespace

std::int32_t TVyHID::ScanForHIDdevices() {
  if (!FisDLLloaded) return -1;

  // Saved before the close below can change anything.
  const bool lookForConnected = FDevIsConnected;
  std::string connected;
  if (lookForConnected) connected = vyhid::IdentityOf(FCurrentDevInfo.HIDinfo);

  // Exceptions from here (the bridge's close, the OnDevClose handler) reach
  // the caller: nothing has been enumerated yet.
  HIDcloseDevice();
  FActive = false;
  DoOnDevClose(this);

  try {
    FDevCount = std::min<std::int32_t>(HIDscanForDevices(), kMaxDevices);

    for (std::int32_t i = 0; i < FDevCount; ++i) {
      TVyHIDDevInfo& slot = HIDinfoArray[static_cast<std::size_t>(i)];
      HIDGetDeviceInfo(static_cast<std::uint8_t>(i), &slot.HIDinfo);
      GetDevDataAsStrings(i, slot.HIDinfo);
    }

    if (FDevCount > 0) {
      std::int32_t found = -1;
      if (lookForConnected) {
        for (std::int32_t i = 0; i < FDevCount; ++i) {
          if (vyhid::IdentityOf(HIDinfoArray[static_cast<std::size_t>(i)].HIDinfo) == connected) {
            found = i;
            break;
          }
        }
      }

      FScanTimeOutTimer->SetEnabled(false);
      // A handler of this scan opened some device again, and it is not the
      // one being looked for: close it again if nothing else does in time.
      if (FActive && found < 0) FScanTimeOutTimer->SetEnabled(true);

      // Reconnect under the device's new number. A failed reopen leaves the
      // device lost (FDevIsConnected stays set) so that the next scan tries
      // again, and reports no open.
      if (FDevIsConnected && found >= 0 && FAutoConnect) {
        if (HIDopenDevice(static_cast<std::uint8_t>(found)) != 0) {
          FActive = true;
          DoOnDevOpen(this, found, FCurrentDevInfo);
        }
      }
    }

    // Trimming only decides whether there is a filter; the search uses the
    // text as given, spaces included.
    if (!rtl::Trim(FFilter).empty()) {
      const rtl::String needle = rtl::LowerCase(FFilter);
      for (std::int32_t i = 0; i < FDevCount; ++i) {
        rtl::TStringList& lines = *HIDinfoArray[static_cast<std::size_t>(i)].HIDstringsInfo;
        if (rtl::LowerCase(lines.Text()).find(needle) == rtl::String::npos) lines.SetText(u"");
      }
    }

    DoOnAfterDevScan(this, FDevCount, HIDinfoArray);
  } catch (...) {
    // Any failure during enumeration, description, reconnection or in the
    // application's handlers makes this a failed scan; what was done stays.
    FDevCount = 0;
    return 0;
  }
  return FDevCount;
}

void TVyHID::setFFilter(const rtl::String& Value) {
  FFilter = Value;
  ScanForHIDdevices();
}

void TVyHID::OnScanTimeOutTimer(rtl::TObject* /*Sender*/) {
  FScanTimeOutTimer->SetEnabled(false);
  // The timer is only ever started by a scan, which needs the bridge.
  if (FisDLLloaded) HIDcloseDevice();
  FActive = false;
  DoOnDevClose(this);
}
