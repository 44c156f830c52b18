// Cost of the input-report path: a report handed by the bridge to HIDreader
// reaches the application's OnGetHIDData handler. The handler, and the bare
// function it is compared with, do the same work: copy the 65-byte report
// and count it.
//
// Two settings, each against its baseline:
// - on one thread, HIDreader called in a loop against a bare function called
//   through a pointer: the component's own cost per report;
// - from the simulated bridge's thread, as fast as it delivers, with the
//   component's HIDreader installed against a bare callback installed in its
//   place: the rate an application sees.
// A high-speed USB interrupt endpoint delivers at most 8000 reports a second;
// the counter usb_hs_share is the fraction of one core that the measured path
// would take at that rate.
//
// Beside them, decoding one input report into values by usage (a boot mouse,
// a boot keyboard, a 64-byte vendor report), the cost an application adds
// per report when it decodes in its handler: read as a ratio to the
// component's own cost per report above.
//
// bench-link: VyHIDpkg simcontrol vcl270 rtl270 hid_descriptor
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "BenchSession.h"
#include "SimControl.h"
#include "VyHID.h"
#include "descriptor/ReportCodec.h"
#include "rtl/DynLib.h"
#include "vcl/Dialogs.h"
#include "vcl/Forms.h"

namespace {

constexpr double kHighSpeedReportsPerSecond = 8000.0;
constexpr std::uint8_t kBytesCount = 65;

// Where the handlers put what they receive. Written only by the thread that
// delivers; read after the delivering thread has been waited for.
struct Sink {
  THIDreport Last{};
  std::uint64_t Count = 0;
};
Sink sink;

void Consume(const THIDreport& report) {
  std::memcpy(&sink.Last, &report, sizeof report);
  ++sink.Count;
  benchmark::ClobberMemory();
}

// The baseline: a plain function of the callback's shape with the same work.
[[gnu::noinline]] void VYHID_STDCALL BareReader(THIDreport Report, std::uint8_t /*BytesCount*/) {
  Consume(Report);
}

// One component with a handler, on the simulated bridge, for the whole run.
struct Session {
  SimBridge sim{};
  rtl::HMODULE module = 0;
  std::unique_ptr<TVyHID> hid;
  tHIDsetEventHandler setInputHandler = nullptr;
};
Session* session = nullptr;

bool OpenSession(Session& s) {
  if (!bench::LoadBenchSimBridge(s.sim, s.module)) return false;
  s.hid = std::make_unique<TVyHID>(nullptr);
  s.hid->OnGetHIDData = TOnGetHIDData(
      [](rtl::TObject*, THIDreport Report, std::uint8_t /*BytesCount*/) { Consume(Report); });
  s.setInputHandler =
      reinterpret_cast<tHIDsetEventHandler>(rtl::GetProcAddress(s.module, "HIDsetEventHandler"));
  if (s.setInputHandler == nullptr) {
    std::fprintf(stderr, "the simulated bridge has no HIDsetEventHandler\n");
    return false;
  }
  return true;
}

THIDreport SampleReport() {
  THIDreport report{};
  report.ReportID = 1;
  for (std::uint8_t i = 0; i < 64; ++i) report.Data[i] = static_cast<std::uint8_t>(i + 1);
  return report;
}

void SetReportCounters(benchmark::State& state, double reportsPerIteration) {
  state.SetItemsProcessed(
      static_cast<std::int64_t>(static_cast<double>(state.iterations()) * reportsPerIteration));
  state.counters["time_per_report"] =
      benchmark::Counter(reportsPerIteration, benchmark::Counter::kIsIterationInvariantRate |
                                                  benchmark::Counter::kInvert);
  state.counters["usb_hs_share"] = benchmark::Counter(
      reportsPerIteration / kHighSpeedReportsPerSecond,
      benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

bool Delivered(benchmark::State& state, std::uint64_t expected) {
  if (sink.Count == expected) return true;
  state.SkipWithError("reports lost");
  return false;
}

// One thread: the bare function, called through a pointer as a bridge would.
void BM_InputDirect_BareCall(benchmark::State& state) {
  const THIDreport report = SampleReport();
  THIDcallBack volatile callback = BareReader;
  sink.Count = 0;
  for (auto _ : state) callback(report, kBytesCount);
  if (Delivered(state, state.iterations())) SetReportCounters(state, 1);
}
BENCHMARK(BM_InputDirect_BareCall);

// One thread: the component's callback, through to the handler.
void BM_InputDirect_Component(benchmark::State& state) {
  const THIDreport report = SampleReport();
  THIDcallBack volatile callback = HIDreader;
  sink.Count = 0;
  for (auto _ : state) callback(report, kBytesCount);
  if (Delivered(state, state.iterations())) SetReportCounters(state, 1);
}
BENCHMARK(BM_InputDirect_Component);

// The bridge's thread delivers range(0) reports to `callback`; one iteration
// is one whole stream, from its start to its last delivery. The time is the
// processor time of the whole process, which is the bridge thread's while this
// thread waits: on a busy machine the wall time would mostly measure how long
// the bridge thread waited for a processor.
void RunStream(benchmark::State& state, THIDcallBack callback) {
  const auto count = static_cast<std::uint64_t>(state.range(0));
  const THIDreport report = SampleReport();
  session->setInputHandler(callback);
  sink.Count = 0;
  for (auto _ : state) {
    session->sim.StartInputStream(&report, kBytesCount, count);
    session->sim.WaitInputStream();
  }
  session->setInputHandler(HIDreader);
  if (Delivered(state, count * state.iterations())) {
    SetReportCounters(state, static_cast<double>(count));
  }
}

void BM_InputStream_BareCallback(benchmark::State& state) {
  RunStream(state, BareReader);
}
BENCHMARK(BM_InputStream_BareCallback)
    ->Arg(100000)
    ->MeasureProcessCPUTime()
    ->Unit(benchmark::kMillisecond);

void BM_InputStream_Component(benchmark::State& state) {
  RunStream(state, HIDreader);
}
BENCHMARK(BM_InputStream_Component)
    ->Arg(100000)
    ->MeasureProcessCPUTime()
    ->Unit(benchmark::kMillisecond);

// A descriptor and one input report of it, as the device sends it.
struct DecodeSample {
  std::vector<std::uint8_t> descriptor;
  std::vector<std::uint8_t> report;
};

// The class definition's boot mouse: Button1, X -3, Y 2.
DecodeSample Mouse() {
  return {{0x05, 0x01, 0x09, 0x02, 0xA1, 0x01, 0x09, 0x01, 0xA1, 0x00, 0x05, 0x09, 0x19,
           0x01, 0x29, 0x03, 0x15, 0x00, 0x25, 0x01, 0x95, 0x03, 0x75, 0x01, 0x81, 0x02,
           0x95, 0x01, 0x75, 0x05, 0x81, 0x01, 0x05, 0x01, 0x09, 0x30, 0x09, 0x31, 0x15,
           0x81, 0x25, 0x7F, 0x75, 0x08, 0x95, 0x02, 0x81, 0x06, 0xC0, 0xC0},
          {0x01, 0xFD, 0x02}};
}

// The class definition's boot keyboard: LeftShift with A and B held.
DecodeSample Keyboard() {
  return {{0x05, 0x01, 0x09, 0x06, 0xA1, 0x01, 0x05, 0x07, 0x19, 0xE0, 0x29, 0xE7, 0x15,
           0x00, 0x25, 0x01, 0x75, 0x01, 0x95, 0x08, 0x81, 0x02, 0x95, 0x01, 0x75, 0x08,
           0x81, 0x01, 0x95, 0x05, 0x75, 0x01, 0x05, 0x08, 0x19, 0x01, 0x29, 0x05, 0x91,
           0x02, 0x95, 0x01, 0x75, 0x03, 0x91, 0x01, 0x95, 0x06, 0x75, 0x08, 0x15, 0x00,
           0x25, 0x65, 0x05, 0x07, 0x19, 0x00, 0x29, 0x65, 0x81, 0x00, 0xC0},
          {0x02, 0x00, 0x04, 0x05, 0x00, 0x00, 0x00, 0x00}};
}

// A vendor device's 64-byte input report of 64 one-byte values.
DecodeSample Vendor64() {
  DecodeSample s{{0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x15, 0x00, 0x26, 0xFF,
                  0x00, 0x75, 0x08, 0x95, 0x40, 0x09, 0x01, 0x81, 0x02, 0xC0},
                 std::vector<std::uint8_t>(64)};
  for (std::uint8_t i = 0; i < 64; ++i) s.report[i] = i;
  return s;
}

void BM_Decode(benchmark::State& state, DecodeSample (*sample)(), std::size_t values) {
  const DecodeSample s = sample();
  const auto descriptor = vyhid::descriptor::Parse(s.descriptor);
  for (auto _ : state) {
    const auto decoded = vyhid::descriptor::Decode(descriptor, vyhid::ReportKind::kInput, s.report);
    benchmark::DoNotOptimize(decoded.values.data());
    if (decoded.values.size() != values) {
      state.SkipWithError("decoded the wrong number of values");
      break;
    }
  }
  SetReportCounters(state, 1);
}
BENCHMARK_CAPTURE(BM_Decode, mouse, Mouse, 5);
BENCHMARK_CAPTURE(BM_Decode, keyboard, Keyboard, 10);
BENCHMARK_CAPTURE(BM_Decode, vendor64, Vendor64, 64);

}  // namespace

int main(int argc, char** argv) {
  return bench::RunWithSession(argc, argv, session, OpenSession);
}
