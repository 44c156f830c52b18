// What the component benchmarks share: the simulated bridge, loaded by path
// for the whole run, and a main() that opens a session, runs the benchmarks
// and closes the session again.
#pragma once

#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>

#include "SimControl.h"
#include "rtl/DynLib.h"
#include "vcl/Dialogs.h"
#include "vcl/Forms.h"

namespace bench {

// Loads the simulated bridge by path and resets it; prints the reason and
// returns false when it cannot.
inline bool LoadBenchSimBridge(SimBridge& sim, rtl::HMODULE& module) {
  std::string error;
  if (!LoadSimBridge(rtl::Utf8ToString(VYHID_SIM_BRIDGE_PATH), sim, module, &error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return false;
  }
  sim.Reset();
  return true;
}

// A session holds `sim`, `module` and the component `hid`. The component goes
// first, so that no callback of the bridge reaches a destroyed component.
template <class Session>
void CloseSession(Session& s) {
  s.hid.reset();
  if (s.sim.Reset) s.sim.Reset();
  vcl::Application.ProcessMessages();
  if (s.module != 0) rtl::FreeLibrary(s.module);
}

// The body of a benchmark program's main(): `current` points at the open
// session while the benchmarks run.
template <class Session>
int RunWithSession(int argc, char** argv, Session*& current, bool (*open)(Session&)) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  // The component's messages would go to standard error.
  vcl::SetMessagePresenter([](const rtl::String&) {});
  Session s;
  if (!open(s)) return 1;
  current = &s;
  benchmark::RunSpecifiedBenchmarks();
  current = nullptr;
  CloseSession(s);
  benchmark::Shutdown();
  return 0;
}

}  // namespace bench
