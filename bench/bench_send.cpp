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
#include <utility>

#include "BenchSession.h"
#include "SimControl.h"
#include "VyHID.h"
#include "rtl/DynLib.h"
#include "vcl/Dialogs.h"
#include "vcl/Forms.h"

namespace {

// Reaches the bound send entry point, so that a benchmark can put a bridge
// that does nothing in its place and time the component's loop alone.
class SendProbe : public TVyHID {
 public:
  using TVyHID::TVyHID;
  tHIDSetOutputReport SwapSend(tHIDSetOutputReport send) {
    std::swap(send, HIDSetOutputReport);
    return send;
  }
};

std::uint8_t nullBridgeTake = 64;
std::uint8_t VYHID_STDCALL NullBridgeSend(THIDreport*) {
  return nullBridgeTake;
}

// One component with device 0 open on the simulated bridge, for the whole run.
struct Session {
  SimBridge sim{};
  rtl::HMODULE module = 0;
  std::unique_ptr<SendProbe> hid;
  tHIDSetOutputReport bridgeSend = nullptr;
};
Session* session = nullptr;

bool OpenSession(Session& s) {
  if (!bench::LoadBenchSimBridge(s.sim, s.module)) return false;
  THIDdeviceInfo device = SimMakeDevice("/dev/hidraw-bench", 0x1234, 0x0001, "Bench");
  SimAddReport(device, vyhid::ReportKind::kOutput, 1, 64);
  SimAddReport(device, vyhid::ReportKind::kInput, 1, 64);
  s.sim.SetDevices(&device, 1);
  s.hid = std::make_unique<SendProbe>(nullptr);
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

// The same sends with a bridge whose send does nothing but take k bytes: the
// component's own cost, free of the simulated bridge's lock and call log.
void BM_SetReportNullBridge(benchmark::State& state) {
  const auto length = static_cast<std::size_t>(state.range(0));
  const auto k = static_cast<std::uint8_t>(state.range(1));
  const std::string data(length, '\x5A');
  nullBridgeTake = k;
  const tHIDSetOutputReport bridge = session->hid->SwapSend(NullBridgeSend);
  for (auto _ : state) {
    benchmark::DoNotOptimize(session->hid->SetReport(1, data));
  }
  session->hid->SwapSend(bridge);
  const auto reports = static_cast<double>((length + k - 1) / k);
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * length));
  state.counters["time_per_byte"] = benchmark::Counter(
      static_cast<double>(length),
      benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
  state.counters["time_per_report"] = benchmark::Counter(
      reports, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_SetReportNullBridge)
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
  return bench::RunWithSession(argc, argv, session, OpenSession);
}
