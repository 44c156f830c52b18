// The control API exported by the simulated bridge (HID_Bridge__.dll over
// virtual devices), next to its 13 entry points.
//
// This header is what the bridge itself is built against, and all a program
// needs to drive a bridge it loaded by path: look each function up by name
// with GetProcAddress / dlsym into the SimBridge record at the end (the
// project's own tests use a loader that does this, SimControl.h in the source
// tree's bridge/sim, which is not installed).
//
// At load the bridge lists the devices of the device file named by the
// environment variable VYHID_SIM_DEVICES (none when it is set but empty), or,
// without the variable, those of devices/default.txt beside the library's
// own file, when there is one (an installation and the build tree have it).
//
// Every function is safe to call from any thread, concurrently with each other
// and with the entry points. None of them holds a lock while it calls one of
// the callbacks installed with USBsetEventHandler / HIDsetEventHandler, so a
// callback may call back into the bridge.
#pragma once

#include <cstdint>

#include "EntryPoints.h"

#if defined(_WIN32)
#define VYHID_SIM_API __declspec(dllexport)
#else
#define VYHID_SIM_API __attribute__((visibility("default")))
#endif

// How a recorded device replays its input reports (SimSetReplayPace).
inline constexpr std::int32_t kSimReplayRecordedPace = 0;  // with the gaps as recorded
inline constexpr std::int32_t kSimReplayFast = 1;          // as fast as the callback takes them
inline constexpr std::int32_t kSimReplayOnCommand = 2;     // as SimReplayNext lets them go

extern "C" {

// One call the bridge received, in the order received. A record of the C
// control API, named like the bridge interface's records.
// NOLINTBEGIN(readability-identifier-naming)
struct SimCall {
  char Name[32];           // entry point, e.g. "HIDopenDevice", NUL-terminated
  std::int32_t Arg;        // its number argument (device number), -1 when none
  std::int32_t Result;     // what it returned; -1 for a procedure and for a call that threw
  THIDreport Report;       // for report calls: the record as passed in; zeros otherwise
  std::uint64_t ThreadId;  // the calling thread's kernel thread id (gettid(), GetCurrentThreadId())
};
// NOLINTEND(readability-identifier-naming)

// How the entry points behave.
//
// Device numbers are indexes into the device list, which the functions below
// change at once (HIDscanForDevices just reports the current count, at most
// 255). One device is open at a time: HIDopenDevice closes whatever is open
// first, then opens the numbered device; it returns 0 for a number beyond the
// list. HIDcloseDevice returns 1 when it closed a device, 0 otherwise.
// HIDGetDeviceInfo fills the record as it was added, and all zeros for a
// number beyond the list. The three size queries answer for the open device
// from its record's buffer sizes, clamped to 255, and 0 when none is open.
//
// Transfers act on the open device; with none open they return 0 and leave
// the record alone. HIDSetOutputReport and HIDSetFeatureReport return the
// configured take k; a feature report sent is stored for its ReportID with its
// first min(k, 64) bytes. HIDGetInputReport / HIDGetFeatureReport fill Data
// from what is stored for the caller's ReportID (ReportID is left as it is)
// and return the stored result; an ID with nothing stored gives zeros and 0.
// A null record pointer is ignored (result 0).
//
// Devices read from a device file (SimLoadDeviceText, VYHID_SIM_DEVICES, the
// bundled default) behave like hardware, held to the reports their file
// declares: a send with a report ID the device does not declare for that kind
// returns 0 and leaves EINVAL and "<symlink>: the device has no output report
// with ID 7" for HIDlastError; a send takes min(k, declared size) bytes and
// returns that; a feature report sent reads back with its declared size (at
// most 64); a fetch of a declared report with nothing stored returns its
// declared size (at most 64) of the contents its file gives, zeros
// elsewhere. Records added with SimAddDevice / SimSetDevices are not held to
// their capability tables: they take any report ID, as described above.
//
// Devices read from a recording (hid-recorder's text format, see
// bridge/sim/README.md) are held to the reports of their descriptor, and
// replay their recorded input reports in order while open, on the bridge's
// own thread: each as the hidraw bridge delivers a report, its report ID byte
// (when the device numbers its reports) as ReportID and its payload in
// 64-byte pieces, BytesCount the bytes of each piece. A device closed and
// opened again goes on where it stopped; a list loaded again starts over.
//
// Like every bridge built on the kit, the simulated bridge also exports
// HIDlastError and HIDGetReportDescriptor (EntryPoints.h): each entry point
// forgets the calling thread's last failure when it starts, and only a
// failure scripted with SimScriptError leaves one. HIDGetReportDescriptor
// (not logged) gives a recorded device's descriptor, and -1 with ENODATA for
// a device that has none (one of a device file or of SimAddDevice).

// Removes every device (without firing the device-change callback), closes
// the open device, drops pending input deliveries (waiting for one already
// handed to the callback, unless called from that callback), clears the log,
// the scripts and the stored reports, and restores the defaults (sends take
// 64 bytes, opens of listed devices succeed, no echo). Installed callbacks stay.
VYHID_SIM_API void SimReset();

// Adds a copy of *info at the end of the list and fires the device-change
// callback on the calling thread; returns the device's index, or -1 (and fires
// nothing) when info is null or the list already holds 255 devices.
VYHID_SIM_API std::int32_t SimAddDevice(const THIDdeviceInfo* info);
// Removes device i and fires the device-change callback. When it was open it
// is closed; a device opened at a higher index keeps being the open one under
// its new number. An index beyond the list changes and fires nothing.
VYHID_SIM_API void SimRemoveDevice(std::int32_t index);
// Replaces the whole list with copies of infos[0..count-1] (at most 255; a
// null array or a negative count gives an empty list), closes the open device
// and fires nothing.
VYHID_SIM_API void SimSetDevices(const THIDdeviceInfo* infos, std::int32_t count);
// Calls the device-change callback once on the calling thread.
VYHID_SIM_API void SimFireDeviceChange();
// Reads a device file (text, see bridge/sim/README.md) and, when it is valid,
// replaces the list with its devices like SimSetDevices. Returns the number of
// devices, or -1 with a message "line N: ..." copied into error (cut to
// errorSize - 1 bytes and NUL-terminated; error may be null) and the list
// unchanged.
VYHID_SIM_API std::int32_t SimLoadDeviceText(const char* text, char* error, std::int32_t errorSize);

// Calls the input-report callback once on the calling thread with a copy of
// *report (ignored when null).
VYHID_SIM_API void SimInjectInput(const THIDreport* report, std::uint8_t bytesCount);
// A thread of the bridge's own delivers the report `count` times to the
// input-report callback, as fast as it can. Deliveries queue up behind any
// still pending (streams and echoes) and run in order. SimWaitInputStream
// returns when every queued delivery has been made (at once when called on the
// bridge's thread). Unloading the bridge stops and joins its thread: no
// callback comes after the library is unloaded. Do not unload the bridge from
// inside one of its callbacks.
VYHID_SIM_API void SimStartInputStream(const THIDreport* report, std::uint8_t bytesCount,
                                       std::uint64_t count);
// SimWaitInputStream also waits for the open recorded device's replay: until
// every recorded report is delivered, or paced on command, those let go.
VYHID_SIM_API void SimWaitInputStream();

// How recorded devices replay (kSimReplay...; other values are ignored): at
// the recorded pace (the default), as fast as possible, or one report at a
// time on command. Takes effect at once; the bridge's load or SimReset
// restores the recorded pace.
VYHID_SIM_API void SimSetReplayPace(std::int32_t pace);
// Paced on command: lets `count` more recorded reports of the open device go
// (count <= 0 lets none). Returns how many of its recorded reports are yet to
// be delivered, those just let go included, or -1 when no recorded device is
// open.
VYHID_SIM_API std::int32_t SimReplayNext(std::int32_t count);

// How many payload bytes each HIDSetOutputReport / HIDSetFeatureReport takes
// and returns (clamped to 0..255; default 64).
VYHID_SIM_API void SimSetSendTake(std::int32_t k);
// The next results of HIDopenDevice / HIDcloseDevice, used once each in order;
// when the script is used up the default behaviour returns. A scripted open
// result is returned as it is; the device is opened only when the result is
// non-zero and the number is listed. A scripted close closes the open device
// all the same and returns the scripted value.
VYHID_SIM_API void SimScriptOpenResults(const std::uint8_t* results, std::int32_t count);
VYHID_SIM_API void SimScriptCloseResults(const std::uint8_t* results, std::int32_t count);
// The next call of the named entry point throws std::runtime_error (naming
// the entry point) instead of doing anything; each call of this function arms
// one throw. Unknown names are ignored.
VYHID_SIM_API void SimScriptThrow(const char* entryPoint);
// The next call of the named entry point fails instead of doing anything: it
// returns 0 (a procedure returns nothing), is logged with Result 0, and leaves
// `code` and `text` (null: empty) for HIDlastError on the calling thread.
// Each call of this function arms one failure; a throw armed for the same
// entry point comes first. Unknown names are ignored.
VYHID_SIM_API void SimScriptError(const char* entryPoint, std::int32_t code, const char* text);
// What HIDGetInputReport / HIDGetFeatureReport fill in for report->ReportID
// and return. A feature report sent through HIDSetFeatureReport replaces it.
VYHID_SIM_API void SimSetInputReport(const THIDreport* report, std::uint8_t result);
VYHID_SIM_API void SimSetFeatureReport(const THIDreport* report, std::uint8_t result);
// When on, every output report taken is delivered back as an input report on
// the bridge's own thread (its first min(k, 64) bytes, the rest zero, with
// BytesCount min(k, 64)). Devices read with "echo on" from a device file echo
// regardless of this switch.
VYHID_SIM_API void SimSetEcho(std::int32_t on);
// The next HIDopenDevice that opens a device delivers this input report to
// the input callback before it returns, on the calling thread: a device whose
// first report comes before its opener has finished opening it. Once.
VYHID_SIM_API void SimSetOpenInput(const THIDreport* report, std::uint8_t bytesCount);

// The log of entry-point calls (control functions are not logged). It keeps
// the latest 100000 calls.
VYHID_SIM_API std::int32_t SimCallCount();
// Copies call i (0 is the oldest kept) into *call; returns 0 when there is no
// such call or call is null.
VYHID_SIM_API std::int32_t SimGetCall(std::int32_t index, SimCall* call);
VYHID_SIM_API void SimClearLog();
// The number of the device that is open, or -1.
VYHID_SIM_API std::int32_t SimOpenDevice();
}

// The names of the functions above, without their "Sim", in order.
// clang-format off
#define VYHID_SIM_CONTROL_API(X)                                                             \
  X(Reset) X(AddDevice) X(RemoveDevice) X(SetDevices) X(FireDeviceChange) X(LoadDeviceText) \
  X(InjectInput) X(StartInputStream) X(WaitInputStream) X(SetReplayPace) X(ReplayNext)      \
  X(SetSendTake) X(ScriptOpenResults) X(ScriptCloseResults) X(ScriptThrow) X(ScriptError)   \
  X(SetInputReport) X(SetFeatureReport) X(SetEcho) X(SetOpenInput) X(CallCount) X(GetCall)  \
  X(ClearLog) X(OpenDevice)
// clang-format on

// The control API of one loaded simulated bridge, one pointer per function
// above, each field named as its function without "Sim", for a program to
// fill by name, for instance:
//   sim.Reset = reinterpret_cast<decltype(sim.Reset)>(rtl::GetProcAddress(module, "SimReset"));
struct SimBridge {
#define VYHID_SIM_CONTROL_FIELD(name) decltype(&Sim##name) name = nullptr;
  VYHID_SIM_CONTROL_API(VYHID_SIM_CONTROL_FIELD)
#undef VYHID_SIM_CONTROL_FIELD
};
