// The input reports the simulated bridge delivers on its own thread: streams
// and echoes queued by the control API and the entry points, the open
// device's periodic reports, and the replay of a recorded device's reports.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <exception>
#include <limits>

#include "InputPieces.h"
#include "SimBridge.h"
#include "SimPlatform.h"

namespace vyhid::sim {
namespace {

// The recorded time between the device's next report and the one before it
// (none before the first).
Clock::duration RecordedGap(const SimDeviceSpec& device) {
  const std::size_t next = device.replay_next;
  if (next == 0 || next >= device.recorded.size()) return {};
  return std::chrono::microseconds(device.recorded[next].at_us - device.recorded[next - 1].at_us);
}

// The pieces of a recorded report, as the hidraw bridge hands a report read
// from a node to the callback.
std::vector<Delivery> RecordedPieces(const SimDeviceSpec& device, const SimRecordedInput& input) {
  std::vector<Delivery> pieces;
  SplitInputReport(input.bytes, device.numbered_reports,
                   [&](const THIDreport& report, std::uint8_t count) {
                     pieces.push_back(Delivery{report, count, 1});
                     return true;
                   });
  return pieces;
}

// One periodic report of the device, as its file gives it.
Delivery PeriodicReport(const SimDeviceSpec& device) {
  THIDreport report{};
  report.ReportID = device.periodic_input.id;
  const auto& bytes = device.periodic_input.bytes;
  std::memcpy(report.Data.Bytes, bytes.data(), bytes.size());
  const std::uint32_t declared = SimDeclaredBytes(device.info, ReportKind::kInput, report.ReportID);
  return Delivery{report,
                  static_cast<std::uint8_t>(std::min<std::uint32_t>(declared, kPayloadBytes)), 1};
}

}  // namespace

void SimulatedBridge::StartInputStream(const THIDreport& report, std::uint8_t bytes_count,
                                       std::uint64_t count) {
  if (count == 0) return;
  std::lock_guard lock(mutex_);
  QueueDelivery(report, bytes_count, count);
}

void SimulatedBridge::WaitInputStream() {
  std::unique_lock lock(mutex_);
  if (OnWorkerThread()) return;
  idle_cv_.wait(
      lock, [&] { return stopping_ || (deliveries_.empty() && !delivering_ && !ReplayPending()); });
}

void SimulatedBridge::SetReplayPace(std::int32_t pace) {
  if (pace != kSimReplayRecordedPace && pace != kSimReplayFast && pace != kSimReplayOnCommand)
    return;
  std::lock_guard lock(mutex_);
  replay_pace_ = pace;
  if (ReplayingDevice() != nullptr) {
    next_replay_ = Clock::now();
    StartWorker();
  }
}

std::int32_t SimulatedBridge::ReplayNext(std::int32_t count) {
  std::lock_guard lock(mutex_);
  const SimDeviceSpec* device = ReplayingDevice();
  if (device == nullptr) return open_ >= 0 && !devices_[open_].recorded.empty() ? 0 : -1;
  const std::size_t left = device->recorded.size() - device->replay_next;
  replay_released_ = std::min<std::uint64_t>(
      left, replay_released_ + static_cast<std::uint64_t>(std::max(count, 0)));
  if (replay_released_ > 0) StartWorker();
  return static_cast<std::int32_t>(
      std::min<std::size_t>(left, std::numeric_limits<std::int32_t>::max()));
}

void SimulatedBridge::ResetReplay(std::unique_lock<std::mutex>& lock) {
  replay_pace_ = kSimReplayRecordedPace;
  replay_released_ = 0;
  deliveries_.clear();
  if (!OnWorkerThread()) idle_cv_.wait(lock, [&] { return !delivering_ || stopping_; });
}

void SimulatedBridge::StartReplay() {
  replay_released_ = 0;
  const SimDeviceSpec& device = devices_[open_];
  if (device.input_period_ms > 0) {
    next_input_ = Clock::now() + std::chrono::milliseconds(device.input_period_ms);
    StartWorker();
  }
  if (ReplayingDevice() != nullptr) {
    next_replay_ = Clock::now() + RecordedGap(device);
    StartWorker();
  }
}

void SimulatedBridge::QueueDelivery(const THIDreport& report, std::uint8_t bytes_count,
                                    std::uint64_t count) {
  if (stopping_) return;
  deliveries_.push_back(Delivery{report, bytes_count, count});
  StartWorker();
}

// The open device sends an input report on its own now and then.
const SimDeviceSpec* SimulatedBridge::PeriodicDevice() const {
  if (open_ < 0 || devices_[open_].input_period_ms == 0) return nullptr;
  return &devices_[open_];
}

// The open device, when it has recorded reports yet to deliver.
SimDeviceSpec* SimulatedBridge::ReplayingDevice() {
  if (open_ < 0) return nullptr;
  SimDeviceSpec& device = devices_[open_];
  return device.replay_next < device.recorded.size() ? &device : nullptr;
}

// Whether the worker owes the open device's replay a delivery: any report
// left, unless paced on command and none let go.
bool SimulatedBridge::ReplayPending() {
  return ReplayingDevice() != nullptr &&
         (replay_pace_ != kSimReplayOnCommand || replay_released_ > 0);
}

// Starts the worker unless it runs, and wakes it.
void SimulatedBridge::StartWorker() {
  if (stopping_) return;
#if defined(_WIN32)
  // The worker lives only while it has reports to deliver (queued, or the
  // periodic reports of the open device): unloading cannot join it.
  if (worker_id_ == std::thread::id()) {
    worker_id_ = StartThreadHoldingLibrary([this] { DeliverInputReports(); });
  }
#else
  if (!worker_.joinable()) {
    worker_ = std::thread([this] { DeliverInputReports(); });
    worker_id_ = worker_.get_id();
  }
#endif
  work_cv_.notify_one();
}

void SimulatedBridge::StopWorker() {
  std::thread worker;
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
    deliveries_.clear();
    worker = std::move(worker_);
  }
  work_cv_.notify_all();
  idle_cv_.notify_all();
  if (!worker.joinable()) return;
  // Joining itself is impossible; unloading from a callback is documented as
  // not allowed, and detaching is the least harmful way out.
  if (worker.get_id() == std::this_thread::get_id()) {
    worker.detach();
  } else {
    worker.join();
  }
}

void SimulatedBridge::DeliverInputReports() {
  std::unique_lock lock(mutex_);
  std::vector<Delivery> pieces;
  for (;;) {
    if (stopping_) break;
    pieces.clear();
    if (!deliveries_.empty()) {
      Delivery& next = deliveries_.front();
      pieces.push_back(Delivery{next.report, next.bytes_count, 1});
      if (--next.remaining == 0) deliveries_.pop_front();
    } else if (ReplayPending()) {
      if (replay_pace_ == kSimReplayRecordedPace && Clock::now() < next_replay_) {
        work_cv_.wait_until(lock, next_replay_);
        continue;
      }
      SimDeviceSpec& device = *ReplayingDevice();
      if (replay_pace_ == kSimReplayOnCommand) --replay_released_;
      pieces = RecordedPieces(device, device.recorded[device.replay_next++]);
      // The next report's time from this one's: no drift over a long replay.
      next_replay_ += RecordedGap(device);
    } else if (const SimDeviceSpec* device = PeriodicDevice()) {
      const Clock::time_point now = Clock::now();
      if (now < next_input_) {
        work_cv_.wait_until(lock, next_input_);
        continue;
      }
      next_input_ = std::max(next_input_ + std::chrono::milliseconds(device->input_period_ms), now);
      pieces.push_back(PeriodicReport(*device));
    } else {
#if defined(_WIN32)
      worker_id_ = std::thread::id();  // the next delivery starts a new worker
      break;
#else
      work_cv_.wait(lock);
      continue;
#endif
    }
    delivering_ = true;
    lock.unlock();
    if (const THIDcallBack handler = input_handler_.load()) {
      // An exception must not end the process from a thread the caller does
      // not own; it ends this one delivery.
      try {
        for (const Delivery& piece : pieces) handler(piece.report, piece.bytes_count);
      } catch (const std::exception& e) {
        std::fprintf(stderr, "simulated bridge: input-report callback threw: %s\n", e.what());
      } catch (...) {
        std::fprintf(stderr, "simulated bridge: input-report callback threw\n");
      }
    }
    lock.lock();
    delivering_ = false;
    if (deliveries_.empty() && !ReplayPending()) idle_cv_.notify_all();
  }
  delivering_ = false;
  idle_cv_.notify_all();
}

}  // namespace vyhid::sim
