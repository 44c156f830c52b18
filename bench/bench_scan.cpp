// Cost of ScanForHIDdevices with 0, 1, 8 and 32 simulated devices, and of
// its parts:
// - enumeration: the bridge calls a scan makes (close, count, one record per
//   device), made from the component's own bound entry points;
// - descriptions: GetDevDataAsStrings for every device found;
// - filtering: the same scan with a Filter that every description has to be
//   searched for, against the scan with an empty Filter.
// The counter time_per_device shows whether a part grows faster than the
// number of devices.
//
// bench-link: VyHIDpkg simcontrol vcl270 rtl270
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "BenchSession.h"
#include "SimControl.h"
#include "VyHID.h"
#include "rtl/DynLib.h"
#include "vcl/Dialogs.h"
#include "vcl/Forms.h"

namespace {

constexpr std::int32_t kMaxDevices = 32;

// Reaches the protected parts of the scan.
class ScanProbe : public TVyHID {
 public:
  using TVyHID::TVyHID;

  // The bridge calls of one scan, into the slots as the scan fills them.
  std::int32_t Enumerate() {
    HIDcloseDevice();
    const std::int32_t count = HIDscanForDevices();
    for (std::int32_t i = 0; i < count && i < kMaxDevices; ++i) {
      HIDGetDeviceInfo(static_cast<std::uint8_t>(i),
                       &HIDinfoArray[static_cast<std::size_t>(i)].HIDinfo);
    }
    return count;
  }

  // The descriptions of one scan, from the slots' records.
  void Describe(std::int32_t count) {
    for (std::int32_t i = 0; i < count; ++i) {
      GetDevDataAsStrings(i, HIDinfoArray[static_cast<std::size_t>(i)].HIDinfo);
    }
  }
};

// Devices as a machine might have them: distinct paths and names, an input,
// an output and a feature report each.
std::vector<THIDdeviceInfo> MakeDevices() {
  std::vector<THIDdeviceInfo> devices;
  for (int i = 0; i < kMaxDevices; ++i) {
    const std::string n = std::to_string(i);
    THIDdeviceInfo device =
        SimMakeDevice("/dev/hidraw" + n, 0x1209, static_cast<std::uint16_t>(0x100 + i),
                      "Bench Device " + n, "Bench Makers", "SN-" + n, 0x0100);
    SimAddReport(device, vyhid::ReportKind::kInput, 1, 64);
    SimAddReport(device, vyhid::ReportKind::kOutput, 2, 32);
    SimAddReport(device, vyhid::ReportKind::kFeature, 3, 8);
    devices.push_back(device);
  }
  return devices;
}

struct Session {
  SimBridge sim{};
  rtl::HMODULE module = 0;
  std::unique_ptr<ScanProbe> hid;
  std::vector<THIDdeviceInfo> devices = MakeDevices();
};
Session* session = nullptr;

bool OpenSession(Session& s) {
  if (!bench::LoadBenchSimBridge(s.sim, s.module)) return false;
  s.hid = std::make_unique<ScanProbe>(nullptr);
  if (s.hid->ScanForHIDdevices() < 0) {
    std::fprintf(stderr, "the component did not load the simulated bridge\n");
    return false;
  }
  return true;
}

// Lists range(0) devices and sets the filter. (The bridge's call log keeps a
// bounded number of entries, so it needs no clearing between iterations.)
std::int32_t Prepare(benchmark::State& state, const rtl::String& filter) {
  const auto count = static_cast<std::int32_t>(state.range(0));
  session->sim.SetDevices(session->devices.data(), count);
  session->hid->Filter = filter;  // runs one scan, outside the timing
  return count;
}

void SetDeviceCounters(benchmark::State& state, std::int32_t count) {
  state.counters["devices"] = count;
  if (count > 0) {
    state.counters["time_per_device"] = benchmark::Counter(
        count, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
  }
}

// The whole scan, no filter.
void BM_Scan(benchmark::State& state) {
  const std::int32_t count = Prepare(state, u"");
  for (auto _ : state) {
    if (session->hid->ScanForHIDdevices() != count) {
      state.SkipWithError("wrong device count");
      break;
    }
  }
  SetDeviceCounters(state, count);
}

// The whole scan with a filter that matches no device, so that every
// description is searched to its end and then emptied.
void BM_ScanFiltered(benchmark::State& state) {
  const std::int32_t count = Prepare(state, u"no such device");
  for (auto _ : state) {
    if (session->hid->ScanForHIDdevices() != count) {
      state.SkipWithError("wrong device count");
      break;
    }
  }
  SetDeviceCounters(state, count);
}

// The bridge calls alone.
void BM_ScanEnumeration(benchmark::State& state) {
  const std::int32_t count = Prepare(state, u"");
  for (auto _ : state) {
    if (session->hid->Enumerate() != count) {
      state.SkipWithError("wrong device count");
      break;
    }
  }
  SetDeviceCounters(state, count);
}

// The descriptions alone, from records already in the slots.
void BM_ScanDescriptions(benchmark::State& state) {
  const std::int32_t count = Prepare(state, u"");
  for (auto _ : state) session->hid->Describe(count);
  SetDeviceCounters(state, count);
}

#define SCAN_SIZES ->Arg(0)->Arg(1)->Arg(8)->Arg(32)->Unit(benchmark::kMicrosecond)
BENCHMARK(BM_Scan) SCAN_SIZES;
BENCHMARK(BM_ScanFiltered) SCAN_SIZES;
BENCHMARK(BM_ScanEnumeration) SCAN_SIZES;
BENCHMARK(BM_ScanDescriptions) SCAN_SIZES;
#undef SCAN_SIZES

}  // namespace

int main(int argc, char** argv) {
  return bench::RunWithSession(argc, argv, session, OpenSession);
}
