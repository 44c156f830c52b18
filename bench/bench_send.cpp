// Cost of sending byte strings with TVyHID::SetReport against the simulated
// bridge. The time per byte must stay flat from 1 KiB to 4 MiB (no copy of
// the rest of the string per report); the cost of one report is set beside
// one pass of an empty message queue, which every report includes.
//
// bench-link: VyHIDpkg simcontrol vcl270 rtl270
#include <benchmark/benchmark.h>

#include <cstdio>
#include <memory>
#include <string>

#include "SimControl.h"
#include "VyHID.h"
#include "rtl/DynLib.h"
#include "vcl/Dialogs.h"
#include "vcl/Forms.h"

namespace {

// One component with device 0 open on the simulated bridge, for the whole run.
struct Session {
  SimBridge sim{};
  rtl::HMODULE module = 0;
  std::unique_ptr<TVyHID> hid;
  tHIDSetOutputReport bridgeSend = nullptr;
};
Session* session = nullptr;

bool OpenSession(Session& s) {
  std::string error;
  if (!LoadSimBridge(rtl::Utf8ToString(VYHID_SIM_BRIDGE_PATH), s.sim, s.module, &error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return false;
  }
  s.sim.Reset();
  THIDdeviceInfo device = SimMakeDevice("/dev/hidraw-bench", 0x1234, 0x0001, "Bench");
  SimAddReport(device, SimReportKind::Output, 1, 64);
  SimAddReport(device, SimReportKind::Input, 1, 64);
  s.sim.SetDevices(&device, 1);
  s.hid = std::make_unique<TVyHID>(nullptr);
  s.hid->ScanForHIDdevices();
  s.hid->CurrentDevNr = 0;
  s.hid->Active = true;
  s.bridgeSend =
      reinterpret_cast<tHIDSetOutputReport>(rtl::GetProcAddress(s.module, "HIDSetOutputReport"));
  if (!s.hid->Active || s.bridgeSend == nullptr) {
    std::fprintf(stderr, "the simulated device could not be opened\n");
    return false;
  }
  return true;
}

void CloseSession(Session& s) {
  s.hid.reset();
  if (s.sim.Reset) s.sim.Reset();
  vcl::Application.ProcessMessages();
  if (s.module != 0) rtl::FreeLibrary(s.module);
}

// SetReport of range(0) bytes, the bridge taking range(1) bytes per report.
void BM_SetReport(benchmark::State& state) {
  const auto length = static_cast<std::size_t>(state.range(0));
  const auto k = static_cast<std::int32_t>(state.range(1));
  const std::string data(length, '\x5A');
  session->sim.SetSendTake(k);
  for (auto _ : state) {
    benchmark::DoNotOptimize(session->hid->SetReport(1, data));
  }
  const auto reports = static_cast<double>((length + k - 1) / k);
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * length));
  state.counters["time_per_byte"] = benchmark::Counter(
      static_cast<double>(length),
      benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
  state.counters["time_per_report"] = benchmark::Counter(
      reports, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
  session->sim.SetSendTake(64);
}
BENCHMARK(BM_SetReport)
    ->ArgNames({"bytes", "k"})
    ->ArgsProduct({benchmark::CreateRange(1 << 10, 4 << 20, 4), {64, 8}})
    ->Unit(benchmark::kMicrosecond);

// One report of 64 bytes: the whole cost of a report, message pass included.
void BM_SetReportOneReport(benchmark::State& state) {
  const std::string data(64, '\x5A');
  for (auto _ : state) benchmark::DoNotOptimize(session->hid->SetReport(1, data));
}
BENCHMARK(BM_SetReportOneReport);

// One pass over an empty message queue, as done after every report.
void BM_ProcessMessagesEmpty(benchmark::State& state) {
  for (auto _ : state) vcl::Application.ProcessMessages();
}
BENCHMARK(BM_ProcessMessagesEmpty);

// The bridge's own cost of taking one report, without the component.
void BM_BridgeCallAlone(benchmark::State& state) {
  THIDreport report{};
  report.ReportID = 1;
  for (auto _ : state) benchmark::DoNotOptimize(session->bridgeSend(&report));
}
BENCHMARK(BM_BridgeCallAlone);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  // The component's messages would go to standard error.
  vcl::SetMessagePresenter([](const rtl::String&) {});
  Session s;
  if (!OpenSession(s)) return 1;
  session = &s;
  benchmark::RunSpecifiedBenchmarks();
  session = nullptr;
  CloseSession(s);
  benchmark::Shutdown();
  return 0;
}
