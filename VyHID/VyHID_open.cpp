// Opening and closing a device.
//
// The component is in one of three lasting states, given by (Active,
// FDevIsConnected): Closed (false, false), Open (true, true), and Lost (false,
// true): a device the application opened that the component closed itself,
// by a rescan or the scan time-out timer, and that a later scan reopens.
#include <cstdint>

#include "VyHID.h"

// Every assignment to Active runs the whole open sequence, whatever the value:
// false reopens the current device just as true does. Closing is
// CloseHidDevice's job.
void TVyHID::setFActive(bool /*Value*/) {
  // A number outside the last scan's devices or beyond the 32 slots is
  // refused without touching anything, as is an open before the first scan
  // (DevCount -1) or without the bridge.
  if (FCurrentDevNr < 0) return;
  if (FCurrentDevNr > FDevCount - 1) return;
  if (!FisDLLloaded) return;
  if (FCurrentDevNr >= static_cast<std::int32_t>(HIDinfoArray.size())) return;

  // Handlers run below may assign CurrentDevNr; the open goes on with the
  // number that passed the checks, so no slot outside the array is reached.
  const std::int32_t nr = FCurrentDevNr;
  const auto devNr = static_cast<std::uint8_t>(nr);

  // The close notification only when the bridge did close something; it
  // changes neither Active nor FDevIsConnected, so the flags of the device
  // being left are still set inside OnDevClose while it stays connected.
  if (HIDcloseDevice() != 0) DoOnDevClose(this);

  // A failed open leaves the flags, HaveID and the current-device record of
  // the previous device; if that one is still connected the component is now
  // Lost, and the next scan looks for it.
  if (HIDopenDevice(devNr) == 0) {
    FActive = false;
    return;
  }

  // A fresh record of the device as it is now, described into its slot.
  HIDGetDeviceInfo(devNr, &FCurrentDevInfo.HIDinfo);
  GetDevDataAsStrings(nr, FCurrentDevInfo.HIDinfo);

  FActive = true;

  FcanSetReport = HIDOutputReportSize() != 0;
  FcanGetReport = HIDInputReportSize() != 0;
  FcanSetFeature = HIDFeatureReportSize() != 0;
  FcanGetFeature = FcanSetFeature;

  // The report ID of the first kind the device has, feature reports first;
  // a device without any kept the previous value. The selectors come from the
  // capability tables and may be -1 although the size query said otherwise.
  const TVyHIDdeviceInfo& summary = HIDinfoArray[static_cast<std::size_t>(nr)].VyHIDinfo;
  if (FcanGetFeature) {
    FHaveID = summary.FeatureID;
  } else if (FcanSetReport) {
    FHaveID = summary.ReportOutID;
  } else if (FcanGetReport) {
    FHaveID = summary.ReportInID;
  }

  DoOnDevOpen(this, nr, HIDinfoArray[static_cast<std::size_t>(nr)]);

  // Only once the handler has returned: during the handler of a first open
  // the device is Active but not yet connected, and a handler that raises
  // leaves the connection mark as it was.
  FDevIsConnected = true;
}

void TVyHID::CloseHidDevice() {
  if (!FisDLLloaded || !FActive) return;
  if (HIDcloseDevice() == 0) return;  // the bridge closed nothing: still Open
  FActive = false;
  FDevIsConnected = false;
  // FDevIsConnected is already false, so the capability flags are cleared
  // before the handler runs. HaveID and the current-device record stay.
  DoOnDevClose(this);
}
