// One opened hidraw node: opening it, reading its input reports until told
// to stop or until the device goes away, and report transfers.
#pragma once

#include <pthread.h>
#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "CallsInFlight.h"
#include "HIDrecords.h"
#include "Reports.h"
#include "UniqueFd.h"
#include "descriptor/ReportDescriptor.h"

namespace vyhid::hidraw {

// How long an open that fails with "permission denied" or "no such file"
// waits for the node to appear or for its permissions to be set.
inline constexpr std::chrono::milliseconds kOpenSettleTime{500};

// Opens a hidraw node read-write, or read-only when writing is refused
// (read_write tells which). A node just attached may not exist yet or may
// not have its permissions yet: an open failing with EACCES, EPERM or
// ENOENT is retried whenever the node's directory reports a created node or
// changed attributes, for up to settle_time. Returns an invalid fd on
// failure, errno telling why, and records the reason (RecordSystemError).
UniqueFd OpenNode(const std::string& path, bool& read_write,
                  std::chrono::milliseconds settle_time = kOpenSettleTime);

// What an open hidraw node says of the device behind it.
struct NodeIdentity {
  std::uint32_t bus = 0;
  std::uint16_t vendor_id = 0;
  std::uint16_t product_id = 0;
  std::vector<std::uint8_t> report_descriptor;
  // The HID device's own name in sysfs (0003:1209:F022.0007), new for every
  // device the kernel makes; empty when sysfs does not say.
  std::string instance_name;
};

// How a reader tells why it failed: RecordSystemError, or a note only.
using FailureReport = void (*)(std::string_view call, std::string_view object, int error);

// The report descriptor of an open node (HIDIOCGRDESCSIZE, HIDIOCGRDESC);
// nothing when the ioctls fail, the reason given to `report`.
std::optional<std::vector<std::uint8_t>> ReadReportDescriptor(int fd, const std::string& path,
                                                              FailureReport report);

// Asks an open node (HIDIOCGRAWINFO, HIDIOCGRDESCSIZE, HIDIOCGRDESC, and its
// HID device's name through /sys/dev/char); nothing, the reason recorded,
// when the ioctls fail.
std::optional<NodeIdentity> ReadNodeIdentity(int fd, const std::string& path);

// An open device. The read loop runs on the bridge's read thread; the
// transfers may run on any thread at the same time (the kernel serialises
// them per node).
class Node {
 public:
  // Takes the open fd of the node at `path` (named in the reasons of
  // failures) and makes its reads blocking; fails (valid() false, reason
  // recorded) when that cannot be done.
  Node(std::string path, UniqueFd fd, bool read_write, descriptor::ReportDescriptor descriptor);

  bool valid() const { return valid_; }

  // The ioctl the transfers call: the system's, or a stand-in in tests.
  using Ioctl = int (*)(int fd, unsigned long request, void* argument);
  void UseIoctl(Ioctl ioctl) { ioctl_ = ioctl; }
  bool read_write() const { return read_write_; }
  const descriptor::ReportDescriptor& report_descriptor() const { return descriptor_; }
  const std::string& path() const { return path_; }

  // Reads input reports and hands each to sink (see SplitInputReport) until
  // RequestStop is called or the device goes away (error, ENODEV, EIO, end
  // of file): then returns quietly. Nothing is delivered after a stop
  // request. Each report costs one blocking read, as a bare read loop's
  // does: a stop reaches the read through thread cancellation, which is
  // enabled only inside that read (never in the sink, never under a lock);
  // the calling thread is left with cancellation disabled. A cancelled read
  // unwinds the calling thread's stack (destructors run) and ends it.
  void ReadLoop(const PieceSink& sink);
  // Makes ReadLoop return (or end its thread, when it is inside the read);
  // safe from any thread, any number of times. In a process forked from the
  // one that made the node it only marks this copy stopped: the read loop
  // runs in the parent.
  void RequestStop();
  bool stop_requested() const { return state_.load() >= State::kEnding; }

  // Holds the node open without delivering, until Resume or until
  // EndHoldIfDue at or after `until`: what the device sends meanwhile waits
  // in the kernel's queue (a report read as the hold came is kept for the
  // resume). Does not wait: a report being delivered may still be, until
  // AwaitDeliveries. False when the node is not reading.
  bool Hold(std::chrono::steady_clock::time_point until);
  // Returns once no report is being delivered: never called from the sink.
  void AwaitDeliveries() { deliveries_.AwaitLeft(); }
  // Delivers again, from the first report read during the hold. False when
  // the node is not held (the hold ran out, the device went away, a stop
  // was requested): the node is then of no further use.
  bool Resume();
  // Ends the loop when the node is held and the hold's end has come by
  // `now`; the hold's timekeeper calls it. True when it ended the loop.
  bool EndHoldIfDue(std::chrono::steady_clock::time_point now);
  // The device went away, asked of the node now without waiting.
  bool HungUp() const;
  // The device went away (the read loop saw it hang up).
  bool gone() const { return gone_.load(std::memory_order_acquire); }

  // Transfers. Each returns the payload bytes taken or fetched, 0 on failure
  // (no such report of that kind, no write access, an error of the device),
  // with the reason recorded for HIDlastError.
  std::uint8_t SendOutput(const THIDreport& report);
  std::uint8_t SendFeature(const THIDreport& report);
  std::uint8_t FetchInput(THIDreport& report);
  std::uint8_t FetchFeature(THIDreport& report);

 private:
  // The node's life, changed only under one lock, each change in one place
  // (MoveLocked): reading, held open without delivering (Hold), ending (a
  // stop, or a hold whose end has come), ended (the read loop has returned,
  // or the device went away).
  enum class State : std::uint8_t { kReading, kHeld, kEnding, kEnded };

  std::uint8_t Fetch(THIDreport& report, ReportKind kind);
  // Reads one report into buffer, blocking, cancellable only meanwhile: its
  // length, or 0 when the loop is to end (the device went away).
  std::size_t ReadReport(std::vector<std::uint8_t>& buffer);
  // Delivers the report in bytes when reading: false when held or ending
  // (the caller keeps it).
  bool DeliverIfReading(std::span<const std::uint8_t> bytes, const PieceSink& sink);
  // Waits out a hold with a report kept: true when delivery goes on.
  bool AwaitResume();
  // Every change of state_, under mutex_: false when `to` may not follow the
  // present state. Ending cancels the read loop's thread (registered while it
  // may read) and wakes a loop waiting out a hold.
  bool MoveLocked(State to);
  // The payload length of that report, or nothing (reason recorded).
  std::optional<std::uint32_t> PayloadLength(ReportKind kind, std::uint8_t report_id) const;

  std::string path_;
  UniqueFd fd_;
  bool valid_ = false;
  const pid_t owner_;
  bool read_write_;
  std::atomic<bool> gone_{false};
  // Written by MoveLocked (by RequestStop alone in a forked child); read
  // without the lock before each delivery.
  std::atomic<State> state_{State::kReading};
  std::chrono::steady_clock::time_point hold_until_;
  std::mutex mutex_;
  // Wakes a loop waiting out a hold.
  std::condition_variable state_changed_;
  // Reports being delivered: a delivery counts itself before its look at the
  // state, and AwaitDeliveries waits for those that looked before a hold.
  abi::CallsInFlight deliveries_;
  // The read loop's thread, registered while the loop runs.
  pthread_t reader_{};
  bool reader_registered_ = false;
  descriptor::ReportDescriptor descriptor_;
  Ioctl ioctl_;
};

}  // namespace vyhid::hidraw
