// Cost of the simulated bridge: one entry-point call (lock, work, log entry)
// on an open device, and the rate at which its own thread delivers an input
// stream to a callback.
// bench-link: simpaths simdevices dl
#include <benchmark/benchmark.h>
#include <dlfcn.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>

#include "SimApi.h"
#include "SimDevices.h"

namespace {

// The bridge loaded once for the program.
struct Bridge {
  void* handle = dlopen(VYHID_SIM_BRIDGE_PATH, RTLD_NOW | RTLD_LOCAL);
  template <class Fn>
  Fn Get(const char* name) const {
    auto* fn = reinterpret_cast<Fn>(dlsym(handle, name));
    if (fn == nullptr) std::abort();
    return fn;
  }
};

const Bridge& TheBridge() {
  static const Bridge bridge;
  if (bridge.handle == nullptr) std::abort();
  return bridge;
}

std::atomic<std::uint64_t> delivered{0};
void VYHID_STDCALL CountInput(THIDreport, std::uint8_t) {
  delivered.fetch_add(1, std::memory_order_relaxed);
}

void BM_SetOutputReport(benchmark::State& state) {
  const Bridge& b = TheBridge();
  b.Get<decltype(&SimReset)>("SimReset")();
  const THIDdeviceInfo device = SimMakeDevice("/bench", 1, 1);
  b.Get<decltype(&SimAddDevice)>("SimAddDevice")(&device);
  b.Get<tHIDopenDevice>("HIDopenDevice")(0);
  const auto send = b.Get<tHIDSetOutputReport>("HIDSetOutputReport");
  THIDreport report{};
  for (auto _ : state) benchmark::DoNotOptimize(send(&report));
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SetOutputReport);

// Items are reports delivered by the bridge's thread, start to last callback.
void BM_InputStream(benchmark::State& state) {
  const Bridge& b = TheBridge();
  b.Get<decltype(&SimReset)>("SimReset")();
  b.Get<tHIDsetEventHandler>("HIDsetEventHandler")(CountInput);
  const auto start = b.Get<decltype(&SimStartInputStream)>("SimStartInputStream");
  const auto wait = b.Get<decltype(&SimWaitInputStream)>("SimWaitInputStream");
  const auto count = static_cast<std::uint64_t>(state.range(0));
  const THIDreport report{};
  for (auto _ : state) {
    start(&report, 65, count);
    wait();
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_InputStream)->Arg(10000)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
