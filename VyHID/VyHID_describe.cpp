// Device descriptions: the eleven text lines of a slot and its summary record.
#include <cstring>

#include "VyHID.h"

namespace {

// The report list of one capability table: "ReportId <id> (<count> bytes)"
// for every entry with a non-zero count, separated by "; ", or "0" when there
// is none; with the ID and count of the last such entry (-1 when none).
struct ReportSelection {
  rtl::String Text;
  std::int32_t Id = -1;
  std::int32_t Bytes = -1;
};

ReportSelection ScanReports(const TReportCapabilities (&caps)[vyhid::kCapabilityEntries]) {
  ReportSelection sel;
  for (const TReportCapabilities& entry : caps) {
    if (entry.ReportCount == 0) continue;
    sel.Text += u"ReportId " + rtl::IntToStr(entry.ReportId) + u" (" +
                rtl::IntToStr(entry.ReportCount) + u" bytes); ";
    sel.Id = entry.ReportId;
    sel.Bytes = entry.ReportCount;
  }
  if (sel.Text.empty()) sel.Text = u"0";
  sel.Text = rtl::Trim(sel.Text);
  if (!sel.Text.empty() && sel.Text.back() == u';') sel.Text.pop_back();
  return sel;
}

// The bridge's 8-bit names are in the system's ANSI encoding (UTF-8 on
// Linux, the active code page on Windows); only the counted bytes are read.
rtl::String DecodeName(const TShortString& s) {
  return rtl::AnsiToString(ReadShortString(s));
}

}  // namespace

void TVyHID::GetDevDataAsStrings(std::int32_t Nr, THIDdeviceInfo Device) {
  TVyHIDDevInfo& slot = HIDinfoArray.at(static_cast<std::size_t>(Nr));
  rtl::TStringList& lines = *slot.HIDstringsInfo;
  lines.Clear();

  // The identity part of the summary follows the slot's own record; the
  // report selectors and the text follow the record passed in.
  const THIDdeviceInfo& own = slot.HIDinfo;
  TVyHIDdeviceInfo& summary = slot.VyHIDinfo;
  summary.VID = own.VID;
  summary.PID = own.PID;
  summary.VersionNumber = own.VersionNumber;
  std::memcpy(&summary.ManufacturerString, &own.ManufacturerString, sizeof(TShortString));
  std::memcpy(&summary.ProductString, &own.ProductString, sizeof(TShortString));
  std::memcpy(&summary.SerialNumberString, &own.SerialNumberString, sizeof(TShortString));
  std::memcpy(&summary.SymLink, &own.SymLink, sizeof(TShortString));
  summary.OutputBufferSize = own.OutputBufferSize;
  summary.InputBufferSize = own.InputBufferSize;
  summary.FeatureBufferSize = own.FeatureBufferSize;
  summary.HasReadWriteAccess = own.HasReadWriteAccess;

  summary.ReportOutID = -1;
  summary.ReportOutBytes = -1;
  summary.ReportInID = -1;
  summary.ReportInBytes = -1;
  summary.FeatureID = -1;
  summary.FeatureBytes = -1;

  lines.Add(rtl::String(48, u'-'));
  lines.Add(u"Device Number       : " + rtl::IntToStr(Nr));
  lines.Add(u"");
  lines.Add(u"VID:" + rtl::IntToHex(Device.VID, 4) + u" PID:" + rtl::IntToHex(Device.PID, 4) +
            u"  " + DecodeName(Device.ProductString) + u" (" +
            DecodeName(Device.ManufacturerString) + u")" +
            (Device.HasReadWriteAccess != 0 ? u" [R/W]" : u" [R/O]"));
  lines.Add(u"");
  lines.Add(u"Output Buffer size  : " + rtl::IntToStr(Device.OutputBufferSize));
  lines.Add(u"Input Buffer size   : " + rtl::IntToStr(Device.InputBufferSize));
  lines.Add(u"Feature Buffer size : " + rtl::IntToStr(Device.FeatureBufferSize));

  const ReportSelection out = ScanReports(Device.OutputReportCaps);
  summary.ReportOutID = out.Id;
  summary.ReportOutBytes = out.Bytes;
  lines.Add(u"Output Report(s)    : " + out.Text);

  const ReportSelection in = ScanReports(Device.InputReportCaps);
  summary.ReportInID = in.Id;
  summary.ReportInBytes = in.Bytes;
  lines.Add(u"Input Report(s)     : " + in.Text);

  const ReportSelection feature = ScanReports(Device.FeatureReportCaps);
  summary.FeatureID = feature.Id;
  summary.FeatureBytes = feature.Bytes;
  lines.Add(u"Feature Report(s)   : " + feature.Text);
}
