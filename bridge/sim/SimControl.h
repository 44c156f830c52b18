// Control of the simulated bridge (HID_Bridge__.dll over virtual devices) for
// tests and programs: its exported control API (SimApi.h), the device-record
// builders and device-file reader (SimDevices.h), and a loader that binds the
// control API of a bridge loaded by path.
//
// A program chooses the simulated bridge by loading it by path with
// LoadSimBridge before the component loads HID_Bridge__.dll by bare name; the
// component then gets the same library. Link the `simcontrol` library; it
// provides the paths of the built bridges as compile definitions:
//   VYHID_SIM_BRIDGE_PATH                 the simulated bridge
//   VYHID_SIM_BRIDGE_NOSETFEATURE_PATH    the same without HIDSetFeatureReport
//   VYHID_SIM_DEFAULT_DEVICES_PATH        bridge/sim/devices/default.txt
#pragma once

#include <string>

#include "SimApi.h"
#include "SimDevices.h"
#include "rtl/DynLib.h"
#include "rtl/System.h"

// Loads the bridge at `path` with rtl::LoadLibraryW and resolves every field
// of `out`. On success returns true with `module` holding one load of the
// library, which the caller releases with rtl::FreeLibrary once it no longer
// uses `out` (the pointers dangle after the last release). On failure returns
// false, leaves `out` untouched, releases what it loaded, sets `module` to 0,
// and, when error is given, sets it to the reason: the loader's message, or
// the name of the first missing symbol. Safe from any thread.
bool LoadSimBridge(const rtl::String& path, SimBridge& out, rtl::HMODULE& module,
                   std::string* error = nullptr);

// Reads the device file at `path` (UTF-8 file name) into the bridge's device
// list. Returns the number of devices, or -1 with `error` (when given) set to
// "PATH: line N: ..." or "PATH: cannot read".
int SimLoadDeviceFile(const SimBridge& bridge, const std::string& path,
                      std::string* error = nullptr);
