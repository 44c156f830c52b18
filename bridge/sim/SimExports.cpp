// HID_Bridge__.dll over virtual devices: the entry points and the control API
// of SimApi.h over one simulated bridge, constructed when the library is
// loaded and destroyed (joining its worker) when it is unloaded.
#if defined(_WIN32)
#define WIN32_LEAN_AND_MEAN
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#endif

#include <algorithm>
#include <cstring>
#include <span>
#include <string>

#include "SimBridge.h"

// The failure tests' variant lacks HIDSetFeatureReport (ExportShim.h).
#ifdef VYHID_SIM_WITHOUT_SET_FEATURE
#define VYHID_OMIT_HIDSetFeatureReport ~, 1
#endif
#include "ExportShim.h"

using vyhid::ReportKind;

namespace {

#if defined(_WIN32)
// Destroyed by DllMain when a program unloads the library, and never when the
// process ends: by then the system has ended the other threads, the worker
// perhaps inside the bridge's lock or a wait on its condition, and destroying
// the bridge would wait for them for ever.
union Unended {
  Unended() : state() {}
  ~Unended() {}
  vyhid::sim::SimulatedBridge state;
};
Unended held;
vyhid::sim::SimulatedBridge& bridge = held.state;
#else
vyhid::sim::SimulatedBridge bridge;
#endif

}  // namespace

#if defined(_WIN32)
extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
  if (reason == DLL_PROCESS_DETACH && reserved == nullptr) bridge.~SimulatedBridge();
  return TRUE;
}
#endif

VYHID_DEFINE_BRIDGE_EXPORTS(bridge)

void SimReset() {
  bridge.Reset();
}

std::int32_t SimAddDevice(const THIDdeviceInfo* info) {
  return info != nullptr ? bridge.AddDevice(*info) : -1;
}

void SimRemoveDevice(std::int32_t index) {
  bridge.RemoveDevice(index);
}

void SimSetDevices(const THIDdeviceInfo* infos, std::int32_t count) {
  if (infos == nullptr || count <= 0) {
    bridge.SetControlledDevices({});
  } else {
    bridge.SetControlledDevices(std::span(infos, static_cast<std::size_t>(count)));
  }
}

void SimFireDeviceChange() {
  bridge.FireDeviceChange();
}

std::int32_t SimLoadDeviceText(const char* text, char* error, std::int32_t errorSize) {
  std::vector<SimDeviceSpec> devices;
  std::string message;
  if (text == nullptr) {
    message = "no text";
  } else if (SimParseDeviceText(text, devices, message)) {
    const auto count = static_cast<std::int32_t>(devices.size());
    bridge.SetDevices(std::move(devices));
    return count;
  }
  if (error != nullptr && errorSize > 0) {
    const std::size_t n = std::min(message.size(), static_cast<std::size_t>(errorSize) - 1);
    std::memcpy(error, message.data(), n);
    error[n] = '\0';
  }
  return -1;
}

void SimInjectInput(const THIDreport* report, std::uint8_t bytesCount) {
  if (report != nullptr) bridge.InjectInput(*report, bytesCount);
}

void SimStartInputStream(const THIDreport* report, std::uint8_t bytesCount, std::uint64_t count) {
  if (report != nullptr) bridge.StartInputStream(*report, bytesCount, count);
}

void SimWaitInputStream() {
  bridge.WaitInputStream();
}

void SimSetReplayPace(std::int32_t pace) {
  bridge.SetReplayPace(pace);
}

std::int32_t SimReplayNext(std::int32_t count) {
  return bridge.ReplayNext(count);
}

void SimSetSendTake(std::int32_t k) {
  bridge.SetSendTake(k);
}

void SimScriptOpenResults(const std::uint8_t* results, std::int32_t count) {
  bridge.ScriptResults(true, results, count);
}

void SimScriptCloseResults(const std::uint8_t* results, std::int32_t count) {
  bridge.ScriptResults(false, results, count);
}

void SimScriptThrow(const char* entryPoint) {
  if (entryPoint != nullptr) bridge.ScriptThrow(entryPoint);
}

void SimScriptError(const char* entryPoint, std::int32_t code, const char* text) {
  if (entryPoint != nullptr) bridge.ScriptError(entryPoint, code, text != nullptr ? text : "");
}

void SimSetInputReport(const THIDreport* report, std::uint8_t result) {
  if (report != nullptr) bridge.StoreReport(ReportKind::kInput, *report, result);
}

void SimSetFeatureReport(const THIDreport* report, std::uint8_t result) {
  if (report != nullptr) bridge.StoreReport(ReportKind::kFeature, *report, result);
}

void SimSetEcho(std::int32_t on) {
  bridge.SetEcho(on != 0);
}

void SimSetOpenInput(const THIDreport* report, std::uint8_t bytesCount) {
  if (report != nullptr) bridge.SetOpenInput(*report, bytesCount);
}

std::int32_t SimCallCount() {
  return bridge.CallCount();
}

std::int32_t SimGetCall(std::int32_t index, SimCall* call) {
  return call != nullptr && bridge.GetCall(index, *call) ? 1 : 0;
}

void SimClearLog() {
  bridge.ClearLog();
}

std::int32_t SimOpenDevice() {
  return bridge.OpenDevice();
}
