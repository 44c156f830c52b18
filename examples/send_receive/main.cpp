// Sends a message to a HID device and prints its answer: an output report
// answered by an input report, then a feature report written and read back.
//
//   send_receive [FILTER]   the first device whose description contains
//                           FILTER (default: "vendor")
//
// Try it on the simulated bridge, whose vendor device echoes what it is sent:
//   export VYHID_BRIDGE=<prefix>/lib/vyhid/bridge/sim/HID_Bridge__.dll
//   ./send_receive
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <string>

#include "VyHID.h"

namespace {

void Print(const char* what, const THIDreport& report, int bytes) {
  std::printf("%s id %u:", what, report.ReportID);
  for (int i = 0; i < bytes && i < 64; ++i) std::printf(" %02x", report.Data[i]);
  std::printf("\n");
}

// The first input report after Arm(), handed over from the bridge's thread.
class Answer {
 public:
  void Arm() {
    std::lock_guard lock(mutex_);
    report_.reset();
  }
  void OnGetHIDData(rtl::TObject*, THIDreport report, std::uint8_t bytes) {
    std::lock_guard lock(mutex_);
    if (!report_) {
      report_ = report;
      bytes_ = bytes;
      arrived_.notify_all();
    }
  }
  bool Wait(std::chrono::milliseconds timeout, THIDreport& report, int& bytes) {
    std::unique_lock lock(mutex_);
    if (!arrived_.wait_for(lock, timeout, [this] { return report_.has_value(); })) return false;
    report = *report_;
    bytes = bytes_;
    return true;
  }

 private:
  std::mutex mutex_;
  std::condition_variable arrived_;
  std::optional<THIDreport> report_;
  int bytes_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
  if (const char* bridge = std::getenv("VYHID_BRIDGE"))
    rtl::LoadLibraryW(rtl::Utf8ToString(bridge));
  Answer answer;  // outlives the component, whose bridge may still call back
  TVyHID hid(nullptr);
  hid.OnGetHIDData = TOnGetHIDData(&answer, &Answer::OnGetHIDData);

  hid.Filter = rtl::Utf8ToString(argc > 1 ? argv[1] : "vendor");  // scans
  int chosen = -1;
  for (int nr = 0; nr < hid.DevCount && nr < static_cast<int>(vyhid::kDeviceSlots) && chosen < 0;
       ++nr) {
    if (hid.HIDinfoArray[nr].HIDstringsInfo->Count() > 0) chosen = nr;
  }
  if (chosen < 0) {
    std::fprintf(stderr, "no matching device\n");
    return 1;
  }
  hid.CurrentDevNr = chosen;
  hid.Active = true;
  if (!hid.Active) {
    std::fprintf(stderr, "cannot open device %d\n", chosen);
    return 1;
  }
  const TVyHIDdeviceInfo& summary = hid.HIDinfoArray[chosen].VyHIDinfo;
  const std::string message = "Hello, device";

  if (hid.canSetReport && hid.canGetReport) {
    answer.Arm();
    hid.SetReport(static_cast<std::uint8_t>(summary.ReportOutID), message);
    std::printf("sent \"%s\"\n", message.c_str());
    THIDreport reply{};
    int bytes = 0;
    if (answer.Wait(std::chrono::milliseconds(1000), reply, bytes)) {
      Print("answer", reply, bytes);
      std::printf("as text: \"%s\"\n", hid.GetStrFromBuffer(reply, bytes).c_str());
    } else {
      std::printf("no answer within 1 s\n");
    }
  }

  if (hid.canSetFeature && summary.FeatureID >= 0) {
    const auto id = static_cast<std::uint8_t>(summary.FeatureID);
    const std::int32_t took = hid.SetFeature(id, message);
    std::printf("feature report %u: the device took %d bytes\n", id, static_cast<int>(took));
    THIDreport feature{};
    feature.ReportID = id;
    const std::int32_t got = hid.GetFeature(feature);
    Print("read back", feature, got);
  }
  hid.CloseHidDevice();
  return 0;
}
