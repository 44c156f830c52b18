// Cost of the component's own paths on the simulated bridge: one scan of 32
// devices (enumeration, descriptions, filter), one input report from the
// bridge's callback to OnGetHIDData, and a device-change callback to its scan.
// bench-link: VyHIDpkg simcontrol vcl270 rtl270
#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>
#include <vector>

#include "SimControl.h"
#include "VyHID.h"
#include "vcl/Forms.h"

namespace {

// Loads the simulated bridge by path, so that the component's load by name
// finds it, and fills it with `count` devices.
class SimFixture {
 public:
  explicit SimFixture(int count) {
    std::string error;
    if (!LoadSimBridge(rtl::Utf8ToString(VYHID_SIM_BRIDGE_PATH), sim, module_, &error)) {
      std::fprintf(stderr, "%s\n", error.c_str());
      std::abort();
    }
    sim.Reset();
    std::vector<THIDdeviceInfo> devices(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
      THIDdeviceInfo& d = devices[static_cast<std::size_t>(i)];
      d = THIDdeviceInfo{};
      WriteShortString(d.SymLink, "/dev/hidraw" + std::to_string(i));
      WriteShortString(d.ProductString, "Widget");
      WriteShortString(d.ManufacturerString, "ACME");
      d.VID = 0x1234;
      d.PID = static_cast<std::uint16_t>(i);
      d.InputReportCaps[0] = {0, 1, 8, 64};
      d.OutputReportCaps[0] = {0, 2, 8, 64};
    }
    sim.SetDevices(devices.data(), count);
  }
  ~SimFixture() {
    sim.Reset();
    rtl::FreeLibrary(module_);
  }
  SimBridge sim{};

 private:
  rtl::HMODULE module_ = 0;
};

void BM_Scan32Devices(benchmark::State& state) {
  SimFixture fixture(32);
  TVyHID hid(nullptr);
  hid.Filter = u"pid:001";  // the filter runs over every description
  for (auto _ : state) benchmark::DoNotOptimize(hid.ScanForHIDdevices());
}
BENCHMARK(BM_Scan32Devices);

// The input path: the bridge's callback, the in-flight count, the handler.
void BM_InputReportToHandler(benchmark::State& state) {
  SimFixture fixture(1);
  TVyHID hid(nullptr);
  std::uint64_t bytes = 0;
  hid.OnGetHIDData = [&](rtl::TObject*, THIDreport, std::uint8_t n) { bytes += n; };
  THIDreport report{};
  for (auto _ : state) HIDreader(report, 64);
  benchmark::DoNotOptimize(bytes);
}
BENCHMARK(BM_InputReportToHandler);

// A device change: the callback posts, the loop runs one scan of 4 devices.
void BM_DeviceChangeToScan(benchmark::State& state) {
  SimFixture fixture(4);
  TVyHID hid(nullptr);
  for (auto _ : state) {
    fixture.sim.FireDeviceChange();
    vcl::Application.ProcessMessages();
  }
}
BENCHMARK(BM_DeviceChangeToScan);

}  // namespace

BENCHMARK_MAIN();
