// Choosing and loading the bridge library before the component is created.
//
// The component loads HID_Bridge__.dll by bare name; a bridge already loaded
// by path under that name is what that load returns. So the tool loads the
// bridge of its choice by path first and keeps it loaded until the component
// is gone.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "EntryPoints.h"
#include "SimControl.h"
#include "rtl/DynLib.h"

namespace vyhid {

struct BridgeRequest {
  bool simulate = false;                // use the simulated bridge
  std::string simulate_file;            // its device file; empty: the bundled default set
  std::optional<std::string> path;      // --bridge PATH
  std::optional<std::string> env_path;  // VYHID_BRIDGE
};

// Paths next to the tool's installed location, with build-tree fallbacks.
struct InstallPaths {
  // Candidates for a bridge ("hidraw" or "sim"), best first.
  static std::vector<std::string> BridgeCandidates(const std::string& kind);
  // The first candidate that exists, or "".
  static std::string FindBridge(const std::string& kind);
  // The bundled device file of the simulated bridge at `bridge_path`.
  static std::vector<std::string> SimDeviceCandidates(const std::string& bridge_path);
  // The shipped udev rule that grants access to hidraw nodes.
  static std::string UdevRule();
};

// A bridge loaded by path; released when destroyed (after the component).
class LoadedBridge {
 public:
  // Resolves and loads the bridge: --bridge, else VYHID_BRIDGE, else the
  // installed or built one of the requested kind. With `simulate`, loads the
  // device file into it. Throws CliError: kExitNoBridge when no bridge can be
  // found or loaded, kExitUsage for an unreadable or invalid device file.
  static std::unique_ptr<LoadedBridge> Load(const BridgeRequest& request);
  ~LoadedBridge();
  LoadedBridge(const LoadedBridge&) = delete;
  LoadedBridge& operator=(const LoadedBridge&) = delete;

  const std::string& Path() const { return path_; }
  bool Simulated() const { return simulated_; }
  // The device file a simulated bridge was given; "" for other bridges.
  const std::string& DeviceFile() const { return device_file_; }

  // Why the bridge's last entry-point call on this thread failed, as its
  // optional HIDlastError export tells: an errno-style code and a text.
  struct Failure {
    int code;
    std::string reason;
  };
  // Nothing when the bridge has no such export (an older bridge, one of
  // another maker) or recorded no reason for that call.
  std::optional<Failure> LastFailure() const;

 private:
  LoadedBridge(rtl::HMODULE module, std::string path, bool simulated, const SimBridge& sim);
  void LoadDeviceFile(const std::string& file);

  rtl::HMODULE module_;
  tHIDlastError last_error_;  // null when the bridge does not export it
  std::string path_;
  std::string device_file_;
  bool simulated_;
  SimBridge sim_;  // the control API of a simulated bridge
};

}  // namespace vyhid
