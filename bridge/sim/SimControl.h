// Control API of the simulated bridge (HID_Bridge__.dll over virtual devices).
//
// Besides the 13 entry points, the simulated bridge exports these functions
// with C linkage. A test or a program loads the simulated bridge by path
// (rtl::LoadLibraryW), resolves them with SimBridge below, and the component's
// later load by bare name returns the same library.
//
// Unless said otherwise every function is safe from any thread.
#pragma once

#include <cstdint>

#include "HIDrecords.h"

extern "C" {

// One call the bridge received, in the order received.
struct SimCall {
  char Name[32];          // entry point, e.g. "HIDopenDevice"
  std::int32_t Arg;       // its number argument (device number), -1 when none
  std::int32_t Result;    // what it returned, -1 for a procedure
  THIDreport Report;      // for report calls: the record as passed in
  std::uint64_t ThreadId; // a number of the calling thread (equal for equal threads)
};

// Removes every device (without firing the device-change callback), closes
// the open device, clears the log, the scripts and the stored reports, and
// restores the defaults (sends take up to 64 bytes, opens of listed devices
// succeed, no echo).
void SimReset();

// The device list: HIDscanForDevices returns the count, HIDGetDeviceInfo
// device i's record (as added, with HasReadWriteAccess as given).
// Adds a device at the end and fires the device-change callback on the
// calling thread; returns the device's index.
std::int32_t SimAddDevice(const THIDdeviceInfo* info);
// Removes device i (closing it if open) and fires the device-change callback.
void SimRemoveDevice(std::int32_t index);
// Replaces the whole list without firing anything.
void SimSetDevices(const THIDdeviceInfo* infos, std::int32_t count);
// Calls the device-change callback once on the calling thread.
void SimFireDeviceChange();
// Reads a device file (text) and replaces the list with its devices; returns
// the number of devices, or -1 with a message "line N: ..." in error.
std::int32_t SimLoadDeviceText(const char* text, char* error, std::int32_t errorSize);

// Calls the input-report callback once on the calling thread.
void SimInjectInput(const THIDreport* report, std::uint8_t bytesCount);
// A thread of the bridge's own delivers the report `count` times, as fast as
// it can; SimWaitInputStream waits until it is done. Unloading the bridge
// stops and joins it.
void SimStartInputStream(const THIDreport* report, std::uint8_t bytesCount, std::uint64_t count);
void SimWaitInputStream();

// How many payload bytes each HIDSetOutputReport / HIDSetFeatureReport takes
// and returns (0 to 255; default 64).
void SimSetSendTake(std::int32_t k);
// The next results of HIDopenDevice / HIDcloseDevice, used once each in order;
// when the script is used up the default behaviour returns.
void SimScriptOpenResults(const std::uint8_t* results, std::int32_t count);
void SimScriptCloseResults(const std::uint8_t* results, std::int32_t count);
// The next call of the named entry point throws std::runtime_error.
void SimScriptThrow(const char* entryPoint);
// What HIDGetInputReport / HIDGetFeatureReport fill in for a report ID and
// return. By default a feature report returns what was last set for its ID.
void SimSetInputReport(const THIDreport* report, std::uint8_t result);
void SimSetFeatureReport(const THIDreport* report, std::uint8_t result);
// When on, every output report taken is delivered back as an input report
// on the bridge's own thread.
void SimSetEcho(std::int32_t on);

// The log of calls.
std::int32_t SimCallCount();
// Copies call i into *call; false when there is no such call.
std::int32_t SimGetCall(std::int32_t index, SimCall* call);
void SimClearLog();
// The device number that is open, or -1.
std::int32_t SimOpenDevice();
}

// Resolves the control API of a simulated bridge loaded by path. Load() keeps
// the library loaded until the SimBridge is destroyed.
struct SimBridge {
  decltype(&SimReset) Reset = nullptr;
  decltype(&SimAddDevice) AddDevice = nullptr;
  decltype(&SimRemoveDevice) RemoveDevice = nullptr;
  decltype(&SimSetDevices) SetDevices = nullptr;
  decltype(&SimFireDeviceChange) FireDeviceChange = nullptr;
  decltype(&SimLoadDeviceText) LoadDeviceText = nullptr;
  decltype(&SimInjectInput) InjectInput = nullptr;
  decltype(&SimStartInputStream) StartInputStream = nullptr;
  decltype(&SimWaitInputStream) WaitInputStream = nullptr;
  decltype(&SimSetSendTake) SetSendTake = nullptr;
  decltype(&SimScriptOpenResults) ScriptOpenResults = nullptr;
  decltype(&SimScriptCloseResults) ScriptCloseResults = nullptr;
  decltype(&SimScriptThrow) ScriptThrow = nullptr;
  decltype(&SimSetInputReport) SetInputReport = nullptr;
  decltype(&SimSetFeatureReport) SetFeatureReport = nullptr;
  decltype(&SimSetEcho) SetEcho = nullptr;
  decltype(&SimCallCount) CallCount = nullptr;
  decltype(&SimGetCall) GetCall = nullptr;
  decltype(&SimClearLog) ClearLog = nullptr;
  decltype(&SimOpenDevice) OpenDevice = nullptr;
};
