// The simulated bridge's state: virtual devices behind the bridge's
// operations (SimBridge.cpp), the input reports it delivers on its own
// thread, streams, echoes, periodic reports and the replay of recordings
// (SimReplay.cpp), and the scripting of tests, the call log, scripted results
// and failures and the take limit (SimScript.cpp). One mutex guards it all;
// callbacks are always called with it released.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <tuple>
#include <type_traits>
#include <vector>

#include "SimApi.h"
#include "SimDevices.h"

namespace vyhid::sim {

using Clock = std::chrono::steady_clock;
// What a send takes unless a test says otherwise: a whole report's payload.
inline constexpr auto kDefaultTake = static_cast<std::int32_t>(kPayloadBytes);

// A failure scripted for the next call of one entry point.
struct ScriptedError {
  std::string entry_point;
  std::int32_t code;
  std::string text;
};

// A report stored for one ReportID, handed out by GetReport.
struct StoredReport {
  bool set = false;
  THIDbuffer data{};
  std::uint8_t result = 0;
};

// Input reports the worker thread delivers: `remaining` copies of one report.
struct Delivery {
  THIDreport report;
  std::uint8_t bytes_count;
  std::uint64_t remaining;
};

class SimulatedBridge {
 public:
  // Made when the library is loaded: nothing may escape it.
  SimulatedBridge() noexcept;
  // Stops and joins the worker.
  ~SimulatedBridge();
  SimulatedBridge(const SimulatedBridge&) = delete;
  SimulatedBridge& operator=(const SimulatedBridge&) = delete;

  // ---- the bridge's operations (ExportShim.h), each called through Enter,
  // with the lock held ----
  std::uint8_t Scan();
  void DeviceInfo(std::uint8_t nr, THIDdeviceInfo& info);
  std::uint8_t Open(std::uint8_t nr);
  std::uint8_t Close();
  void SetDeviceChangeHandler(TUSBcallBack handler);
  void SetInputHandler(THIDcallBack handler);
  std::uint8_t ReportSize(ReportKind kind);
  std::uint8_t GetReport(ReportKind kind, THIDreport& report);
  std::uint8_t SetReport(ReportKind kind, const THIDreport& report);
  // Not an entry point of the list: neither logged nor scripted; takes the lock.
  std::int32_t ReportDescriptor(std::uint8_t nr, std::uint8_t* buffer, std::uint32_t size);

  // Runs one entry point's call under the lock and logs it in the same
  // critical section, so that the log's order is the order in which the state
  // changed; its number and record arguments are logged with it. A scripted
  // throw is logged and thrown instead, after the lock is released; a
  // scripted failure is logged with result 0 and left for HIDlastError.
  template <class Arguments, class Body>
  auto Enter(const char* name, const Arguments& arguments, Body& body) -> decltype(body()) {
    SimCall call{};
    call.Arg = -1;
    std::apply([&](const auto&... argument) { (Note(call, argument), ...); }, arguments);
    const std::int32_t result = Run(name, call, [&]() -> std::int32_t {
      if constexpr (std::is_void_v<decltype(body())>) {
        body();
        return -1;
      } else {
        return body();
      }
    });
    if constexpr (!std::is_void_v<decltype(body())>) return static_cast<decltype(body())>(result);
  }

  // ---- control API: devices and reports ----
  void Reset();
  std::int32_t AddDevice(const THIDdeviceInfo& info);
  void RemoveDevice(std::int32_t index);
  void SetDevices(std::vector<SimDeviceSpec> devices);
  // SetDevices with records added through the control API, not held to their reports.
  void SetControlledDevices(std::span<const THIDdeviceInfo> infos);
  void FireDeviceChange();
  void InjectInput(const THIDreport& report, std::uint8_t bytes_count);
  void StoreReport(ReportKind kind, const THIDreport& report, std::uint8_t result);
  void SetEcho(bool on);
  void SetOpenInput(const THIDreport& report, std::uint8_t bytes_count);
  std::int32_t OpenDevice();

  // ---- control API: input delivered on the bridge's own thread ----
  void StartInputStream(const THIDreport& report, std::uint8_t bytes_count, std::uint64_t count);
  void WaitInputStream();
  void SetReplayPace(std::int32_t pace);
  std::int32_t ReplayNext(std::int32_t count);

  // ---- control API: scripting and the log ----
  void SetSendTake(std::int32_t take);
  void ScriptResults(bool opens, const std::uint8_t* results, std::int32_t count);
  void ScriptThrow(std::string_view entry_point);
  void ScriptError(std::string_view entry_point, std::int32_t code, std::string_view text);
  std::int32_t CallCount();
  bool GetCall(std::int32_t index, SimCall& call);
  void ClearLog();

 private:
  // What Enter logs of an argument: a device number, a record passed in.
  static void Note(SimCall& call, std::uint8_t nr) { call.Arg = nr; }
  static void Note(SimCall& call, THIDreport* report) {
    if (report != nullptr) call.Report = *report;
  }
  template <class Other>
  static void Note(SimCall& /*call*/, const Other& /*argument*/) {}
  // Enter's work: scripts, the body, the log, then the input due at once.
  std::int32_t Run(const char* name, SimCall& call, const std::function<std::int32_t()>& body);
  // Clears the scripts and the log, restores the default take. With the lock.
  void ResetScripts();

  std::array<StoredReport, 256>& Store(ReportKind kind);
  void LoadStartingDevices();

  // Input delivered on the worker. Called with the lock held, but for
  // DeliverInputReports, the worker's loop.
  // Drops pending deliveries, restores the recorded pace and waits for a
  // delivery in progress (unless on the worker).
  void ResetReplay(std::unique_lock<std::mutex>& lock);
  // Starts the just opened device's periodic reports and replay.
  void StartReplay();
  void QueueDelivery(const THIDreport& report, std::uint8_t bytes_count, std::uint64_t count);
  const SimDeviceSpec* PeriodicDevice() const;
  SimDeviceSpec* ReplayingDevice();
  bool ReplayPending();
  bool OnWorkerThread() const { return worker_id_ == std::this_thread::get_id(); }
  void StartWorker();
  void StopWorker();
  void DeliverInputReports();

  std::mutex mutex_;
  std::vector<SimDeviceSpec> devices_;
  std::int32_t open_ = -1;
  bool echo_ = false;
  std::optional<Delivery> open_input_;  // SimSetOpenInput's report
  std::optional<Delivery> due_now_;     // delivered by Enter once the lock is released
  std::array<StoredReport, 256> input_{};
  std::array<StoredReport, 256> feature_{};
  std::atomic<TUSBcallBack> change_handler_{nullptr};
  std::atomic<THIDcallBack> input_handler_{nullptr};

  // Scripting (SimScript.cpp).
  std::int32_t send_take_ = kDefaultTake;
  std::deque<std::uint8_t> open_script_;
  std::deque<std::uint8_t> close_script_;
  std::vector<std::string> throw_script_;
  std::vector<ScriptedError> error_script_;
  std::deque<SimCall> log_;

  // The worker (SimReplay.cpp).
  std::condition_variable work_cv_;  // deliveries queued, or stopping
  std::condition_variable idle_cv_;  // the queue ran empty, or stopping
  std::deque<Delivery> deliveries_;
  Clock::time_point next_input_{};   // the open device's next periodic input report
  Clock::time_point next_replay_{};  // when its next recorded report is due, at the recorded pace
  std::int32_t replay_pace_ = kSimReplayRecordedPace;
  std::uint64_t replay_released_ = 0;  // on command: recorded reports let go, not yet delivered
  bool delivering_ = false;
  bool stopping_ = false;
  std::thread worker_;           // on Windows never set: the worker is detached
  std::thread::id worker_id_{};  // the worker's while it runs
};

}  // namespace vyhid::sim
