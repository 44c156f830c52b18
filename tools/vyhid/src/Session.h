// One run's component: the bridge loaded by path, the TVyHID built on it,
// the first scan, and choosing and opening a device.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "Bridge.h"
#include "Error.h"
#include "VyHID.h"
#include "vcl/Dialogs.h"

namespace vyhid {

class Session {
 public:
  // Loads the bridge, creates the component (its messages are collected, not
  // shown) and runs the first scan. Throws CliError: kExitNoBridge when the
  // bridge cannot be loaded or bound, kExitFailure when another component is
  // live in this process (the one created here was refused).
  explicit Session(const BridgeRequest& request);
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  TVyHID& Hid() { return *hid_; }
  const LoadedBridge& Bridge() const { return *bridge_; }

  // Devices of the latest scan that have slots (DevCount, at most 32).
  int DeviceCount() const;
  // Device nr's slot of the latest scan.
  const TVyHIDDevInfo& Slot(int nr) const {
    return hid_->HIDinfoArray[static_cast<std::size_t>(nr)];
  }
  // A device by number ("2": digits only are always a number), the first
  // device with the IDs of "VID:046d PID:c52b" (either or both, hex, any
  // case), or the first device whose description contains the text (the
  // component's Filter, which stays set). Throws kExitUsage for an empty or
  // blank spec, kExitNoDevice when none matches.
  int SelectDevice(const std::string& spec);
  // Opens the device through CurrentDevNr and Active. Throws BridgeFailure
  // when the open fails.
  void Open(int nr);
  // The error for an operation that the bridge failed just now on this
  // thread (`what` says which), told by the bridge's reason: kExitPermission
  // with the fix for EACCES, kExitFailure "device busy" for EBUSY,
  // kExitNoDevice for ENOENT, kExitFailure with the reason for any other;
  // kExitFailure with `what` alone when the bridge gives no reason. Ask
  // before any other call reaches the bridge: each call forgets the last
  // reason.
  CliError BridgeFailure(const std::string& what) const;
  // Throws kExitPermission when the device could only be opened read-only,
  // with the fix: the udev rule, or for a virtual device its device file.
  void RequireWritable(int nr) const;

  // "VID:1234 PID:ABCD Product (Manufacturer)" from slot nr's summary.
  std::string Label(int nr) const;
  // The device's path as the bridge gave it.
  std::string Path(int nr) const;

 private:
  std::string PermissionFix() const;

  // Collects what the component shows while the session lives.
  class MessageCollector {
   public:
    explicit MessageCollector(std::vector<std::string>& messages);
    ~MessageCollector();
    MessageCollector(const MessageCollector&) = delete;
    MessageCollector& operator=(const MessageCollector&) = delete;

   private:
    vcl::TMessagePresenter previous_;
  };

  // Destroyed in reverse: the component, then the collector, then the bridge.
  std::unique_ptr<LoadedBridge> bridge_;
  std::vector<std::string> messages_;  // what the component wanted to show
  MessageCollector collector_{messages_};
  std::unique_ptr<TVyHID> hid_;
};

// "VID:1234 PID:ABCD": a device's IDs as the tool shows them.
std::string IdsText(const TVyHIDdeviceInfo& info);

// The bytes of a short string as valid UTF-8 (invalid sequences replaced).
std::string ShortStringUtf8(const TShortString& s);

}  // namespace vyhid
