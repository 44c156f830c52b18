// HID_Bridge__.dll over virtual devices: the 13 entry points and the control
// API of SimApi.h, over one state object guarded by one mutex. Callbacks are
// always called with the mutex released. Input reports that the bridge sends
// on its own (streams, echoes) go through one worker thread, which the state's
// destructor stops and joins when the library is unloaded.
#if defined(_WIN32)
#define WIN32_LEAN_AND_MEAN
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
#include <dlfcn.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <mutex>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

#include "Diagnostics.h"
#include "InputPieces.h"
#include "RecordBuilder.h"
#include "SimApi.h"
#include "SimDevices.h"

namespace {

constexpr std::size_t kLogLimit = 100000;
constexpr auto kDefaultTake = static_cast<std::int32_t>(vyhid::kPayloadBytes);
using Clock = std::chrono::steady_clock;

std::uint64_t CallingThreadId() {
#if defined(_WIN32)
  return static_cast<std::uint64_t>(::GetCurrentThreadId());
#else
  return static_cast<std::uint64_t>(::gettid());
#endif
}

THIDreport ZeroReport() {
  THIDreport r;
  std::memset(&r, 0, sizeof r);
  return r;
}

// The folder of this library's file, found from an address inside it; empty
// when the system does not say.
std::filesystem::path LibraryFolder() {
#if defined(_WIN32)
  HMODULE self = nullptr;
  if (!::GetModuleHandleExW(
          GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
          reinterpret_cast<LPCWSTR>(&ZeroReport), &self)) {
    return {};
  }
  std::wstring name(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = ::GetModuleFileNameW(self, name.data(), static_cast<DWORD>(name.size()));
    if (n == 0) return {};
    if (n < name.size()) {
      name.resize(n);
      break;
    }
    name.resize(name.size() * 2);
  }
  return std::filesystem::path(name).parent_path();
#else
  Dl_info info{};
  if (::dladdr(reinterpret_cast<void*>(&ZeroReport), &info) == 0 || info.dli_fname == nullptr) {
    return {};
  }
  return std::filesystem::path(info.dli_fname).parent_path();
#endif
}

// The most payload bytes a send to a device takes: the report's declared
// size for a device held to its reports (0: the device has no such report),
// no limit but the configured take otherwise.
std::uint32_t PayloadLimit(const SimDeviceSpec& device, vyhid::ReportKind kind, std::uint8_t id) {
  if (!device.Strict) return 255;
  return SimDeclaredBytes(device.Info, kind, id);
}

// A device added through the control API: not held to its reports.
SimDeviceSpec ControlledDevice(const THIDdeviceInfo& info) {
  SimDeviceSpec device;
  device.Info = info;
  return device;
}

// A failure scripted for the next call of one entry point.
struct ScriptedError {
  std::string EntryPoint;
  std::int32_t Code;
  std::string Text;
};

// A report stored for one ReportID, handed out by the Get entry points.
struct StoredReport {
  bool Set = false;
  THIDbuffer Data{};
  std::uint8_t Result = 0;
};

// Input reports the worker thread delivers: `Remaining` copies of one report.
struct Delivery {
  THIDreport Report;
  std::uint8_t BytesCount;
  std::uint64_t Remaining;
};

class SimulatedBridge {
 public:
  // Made when the library is loaded: nothing may escape it.
  SimulatedBridge() noexcept {
    try {
      LoadStartingDevices();
    } catch (const std::exception& e) {
      std::fprintf(stderr, "simulated bridge: no devices loaded: %s\n", e.what());
    }
  }

  ~SimulatedBridge() {
    std::thread worker;
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
      deliveries_.clear();
      worker = std::move(worker_);
    }
    workCv_.notify_all();
    idleCv_.notify_all();
    if (!worker.joinable()) return;
    // Joining itself is impossible; unloading from a callback is documented
    // as not allowed, and detaching is the least harmful way out.
    if (worker.get_id() == std::this_thread::get_id()) {
      worker.detach();
    } else {
      worker.join();
    }
  }

  SimulatedBridge(const SimulatedBridge&) = delete;
  SimulatedBridge& operator=(const SimulatedBridge&) = delete;

  // ---- entry points ----
  // Each runs its body under the lock and logs the call in the same critical
  // section, so the log's order is the order in which the state changed.

  std::uint8_t Scan() {
    return Run("HIDscanForDevices", -1, nullptr, [&] {
      return static_cast<std::int32_t>(std::min(devices_.size(), kSimMaxDevices));
    });
  }

  void GetDeviceInfo(std::uint8_t nr, THIDdeviceInfo* data) {
    Run("HIDGetDeviceInfo", nr, nullptr, [&] {
      if (data == nullptr) return -1;
      if (nr < devices_.size()) {
        *data = devices_[nr].Info;
      } else {
        std::memset(data, 0, sizeof *data);
      }
      return -1;
    });
  }

  std::uint8_t Close() {
    return Run("HIDcloseDevice", -1, nullptr, [&] {
      const bool wasOpen = open_ >= 0;
      open_ = -1;
      idleCv_.notify_all();  // a wait for the closed device's replay is over
      std::int32_t result = wasOpen ? 1 : 0;
      if (!closeScript_.empty()) {
        result = closeScript_.front();
        closeScript_.pop_front();
      }
      return result;
    });
  }

  std::uint8_t Open(std::uint8_t nr) {
    std::optional<Delivery> first;  // delivered once the lock is released
    const std::uint8_t opened = Run("HIDopenDevice", nr, nullptr, [&] {
      open_ = -1;
      idleCv_.notify_all();
      const bool listed = nr < devices_.size();
      std::int32_t result = listed ? 1 : 0;
      if (!openScript_.empty()) {
        result = openScript_.front();
        openScript_.pop_front();
      }
      if (result != 0 && listed) {
        open_ = nr;
        replayReleased_ = 0;
        if (devices_[nr].InputPeriodMs > 0) {
          nextInput_ = Clock::now() + std::chrono::milliseconds(devices_[nr].InputPeriodMs);
          StartWorker();
        }
        if (ReplayingDevice() != nullptr) {
          nextReplay_ = Clock::now() + RecordedGap(devices_[nr]);
          StartWorker();
        }
        first = std::exchange(openInput_, std::nullopt);
      }
      return result;
    });
    if (first) InjectInput(first->Report, first->BytesCount);
    return opened;
  }

  void SetDeviceChangeHandler(TUSBcallBack handler) {
    Run("USBsetEventHandler", -1, nullptr, [&] {
      usbHandler_.store(handler);
      return -1;
    });
  }

  void SetInputHandler(THIDcallBack handler) {
    Run("HIDsetEventHandler", -1, nullptr, [&] {
      hidHandler_.store(handler);
      return -1;
    });
  }

  std::uint8_t ReportSize(const char* name, vyhid::ReportKind kind) {
    return Run(name, -1, nullptr, [&] {
      if (open_ < 0) return 0;
      return static_cast<std::int32_t>(
          vyhid::abi::ByteResult(vyhid::BufferSize(devices_[open_].Info, kind)));
    });
  }

  std::uint8_t GetReport(const char* name, THIDreport* report, vyhid::ReportKind kind) {
    return Run(name, -1, report, [&] {
      if (report == nullptr || open_ < 0) return 0;
      const StoredReport& stored = Store(kind)[report->ReportID];
      if (stored.Set) {
        report->Data = stored.Data;
        return static_cast<std::int32_t>(stored.Result);
      }
      // Nothing stored: a device of a device file answers for the reports it
      // declares, with the contents its file gives or zeros.
      report->Data = THIDbuffer{};
      const SimDeviceSpec& device = devices_[open_];
      if (!device.Strict) return 0;
      const std::uint32_t declared = SimDeclaredBytes(device.Info, kind, report->ReportID);
      const auto& given =
          kind == vyhid::ReportKind::kInput ? device.InputReports : device.FeatureReports;
      for (const SimReportBytes& r : given) {
        if (r.Id == report->ReportID)
          std::memcpy(report->Data.Bytes, r.Bytes.data(), r.Bytes.size());
      }
      return static_cast<std::int32_t>(std::min<std::uint32_t>(declared, vyhid::kPayloadBytes));
    });
  }

  std::uint8_t SendReport(const char* name, THIDreport* report, bool feature) {
    return Run(name, -1, report, [&] {
      if (report == nullptr || open_ < 0) return 0;
      const SimDeviceSpec& device = devices_[open_];
      const vyhid::ReportKind kind =
          feature ? vyhid::ReportKind::kFeature : vyhid::ReportKind::kOutput;
      const std::uint32_t limit = PayloadLimit(device, kind, report->ReportID);
      if (limit == 0) {
        vyhid::abi::SetLastError(EINVAL, std::string(ReadShortString(device.Info.SymLink)) +
                                             ": the device has no " + vyhid::ReportKindName(kind) +
                                             " report with ID " + std::to_string(report->ReportID));
        return 0;
      }
      const std::int32_t take =
          std::min(sendTake_, static_cast<std::int32_t>(std::min<std::uint32_t>(limit, 255)));
      if (take == 0) return take;
      // What the device received: the bytes it took, the rest zero.
      const auto received = static_cast<std::uint8_t>(std::min(take, kDefaultTake));
      THIDreport sent = ZeroReport();
      sent.ReportID = report->ReportID;
      std::memcpy(sent.Data.Bytes, report->Data.Bytes, received);
      if (feature) {
        // Read back whole: a device of a device file returns its declared size.
        const auto readBack =
            device.Strict
                ? static_cast<std::uint8_t>(std::min<std::uint32_t>(limit, vyhid::kPayloadBytes))
                : received;
        feature_[sent.ReportID] = StoredReport{true, sent.Data, readBack};
      } else if (echo_ || device.Echo) {
        QueueDelivery(sent, received, 1);
      }
      return take;
    });
  }

  // Not logged: an optional export, not one of the entry points.
  std::int32_t GetReportDescriptor(std::uint8_t nr, std::uint8_t* buffer, std::uint32_t size) {
    vyhid::abi::ClearLastError();
    std::lock_guard lock(mutex_);
    if (nr >= devices_.size()) {
      vyhid::abi::SetNotListed(nr, devices_.size());
      return -1;
    }
    const SimDeviceSpec& device = devices_[nr];
    if (device.Descriptor.empty()) {
      vyhid::abi::SetLastError(
          ENODATA, std::string(ReadShortString(device.Info.SymLink)) +
                       ": the virtual device has no report descriptor (a 'descriptor' line of its "
                       "device file gives one, and so does a recording)");
      return -1;
    }
    return vyhid::abi::CopyReportDescriptor(device.Descriptor, buffer, size);
  }

  // ---- control API ----

  void Reset() {
    std::unique_lock lock(mutex_);
    devices_.clear();
    open_ = -1;
    log_.clear();
    openScript_.clear();
    closeScript_.clear();
    throwScript_.clear();
    errorScript_.clear();
    input_.fill({});
    feature_.fill({});
    sendTake_ = kDefaultTake;
    echo_ = false;
    openInput_.reset();
    replayPace_ = kSimReplayRecordedPace;
    replayReleased_ = 0;
    deliveries_.clear();
    if (!OnWorkerThread()) idleCv_.wait(lock, [&] { return !delivering_ || stopping_; });
  }

  std::int32_t AddDevice(const THIDdeviceInfo* info) {
    std::int32_t index;
    {
      std::lock_guard lock(mutex_);
      if (info == nullptr || devices_.size() >= kSimMaxDevices) return -1;
      index = static_cast<std::int32_t>(devices_.size());
      devices_.push_back(ControlledDevice(*info));
    }
    FireDeviceChange();
    return index;
  }

  void RemoveDevice(std::int32_t index) {
    {
      std::lock_guard lock(mutex_);
      if (index < 0 || static_cast<std::size_t>(index) >= devices_.size()) return;
      devices_.erase(devices_.begin() + index);
      if (open_ == index) {
        open_ = -1;
        idleCv_.notify_all();
      } else if (open_ > index) {
        --open_;
      }
    }
    FireDeviceChange();
  }

  void SetDevices(std::vector<SimDeviceSpec> devices) {
    if (devices.size() > kSimMaxDevices) devices.resize(kSimMaxDevices);
    std::lock_guard lock(mutex_);
    devices_ = std::move(devices);
    open_ = -1;
    idleCv_.notify_all();
  }

  void FireDeviceChange() {
    if (const TUSBcallBack handler = usbHandler_.load()) handler();
  }

  void InjectInput(const THIDreport& report, std::uint8_t bytesCount) {
    if (const THIDcallBack handler = hidHandler_.load()) handler(report, bytesCount);
  }

  void StartInputStream(const THIDreport& report, std::uint8_t bytesCount, std::uint64_t count) {
    if (count == 0) return;
    std::lock_guard lock(mutex_);
    QueueDelivery(report, bytesCount, count);
  }

  void WaitInputStream() {
    std::unique_lock lock(mutex_);
    if (OnWorkerThread()) return;
    idleCv_.wait(lock, [&] {
      return stopping_ || (deliveries_.empty() && !delivering_ && !ReplayPending());
    });
  }

  void SetReplayPace(std::int32_t pace) {
    if (pace != kSimReplayRecordedPace && pace != kSimReplayFast && pace != kSimReplayOnCommand)
      return;
    std::lock_guard lock(mutex_);
    replayPace_ = pace;
    if (ReplayingDevice() != nullptr) {
      nextReplay_ = Clock::now();
      StartWorker();
    }
  }

  std::int32_t ReplayNext(std::int32_t count) {
    std::lock_guard lock(mutex_);
    const SimDeviceSpec* device = ReplayingDevice();
    if (device == nullptr) return open_ >= 0 && !devices_[open_].Recorded.empty() ? 0 : -1;
    const std::size_t left = device->Recorded.size() - device->ReplayNext;
    replayReleased_ = std::min<std::uint64_t>(
        left, replayReleased_ + static_cast<std::uint64_t>(std::max(count, 0)));
    if (replayReleased_ > 0) StartWorker();
    return static_cast<std::int32_t>(
        std::min<std::size_t>(left, std::numeric_limits<std::int32_t>::max()));
  }

  void SetSendTake(std::int32_t k) {
    std::lock_guard lock(mutex_);
    sendTake_ = std::clamp(k, 0, 255);
  }

  void ScriptResults(bool opens, const std::uint8_t* results, std::int32_t count) {
    if (results == nullptr || count <= 0) return;
    std::lock_guard lock(mutex_);
    std::deque<std::uint8_t>& script = opens ? openScript_ : closeScript_;
    script.insert(script.end(), results, results + count);
  }

  void ScriptThrow(std::string_view entryPoint) {
    const auto& names = vyhid::kEntryPointNames;
    if (std::find(names.begin(), names.end(), entryPoint) == names.end()) return;
    std::lock_guard lock(mutex_);
    throwScript_.emplace_back(entryPoint);
  }

  void ScriptError(std::string_view entryPoint, std::int32_t code, std::string_view text) {
    const auto& names = vyhid::kEntryPointNames;
    if (std::find(names.begin(), names.end(), entryPoint) == names.end()) return;
    std::lock_guard lock(mutex_);
    errorScript_.push_back(ScriptedError{std::string(entryPoint), code, std::string(text)});
  }

  void StoreReport(vyhid::ReportKind kind, const THIDreport& report, std::uint8_t result) {
    std::lock_guard lock(mutex_);
    Store(kind)[report.ReportID] = StoredReport{true, report.Data, result};
  }

  void SetEcho(bool on) {
    std::lock_guard lock(mutex_);
    echo_ = on;
  }

  void SetOpenInput(const THIDreport& report, std::uint8_t bytesCount) {
    std::lock_guard lock(mutex_);
    openInput_ = Delivery{report, bytesCount, 1};
  }

  std::int32_t CallCount() {
    std::lock_guard lock(mutex_);
    return static_cast<std::int32_t>(log_.size());
  }

  bool GetCall(std::int32_t index, SimCall* call) {
    std::lock_guard lock(mutex_);
    if (call == nullptr || index < 0 || static_cast<std::size_t>(index) >= log_.size())
      return false;
    *call = log_[static_cast<std::size_t>(index)];
    return true;
  }

  void ClearLog() {
    std::lock_guard lock(mutex_);
    log_.clear();
  }

  std::int32_t OpenDevice() {
    std::lock_guard lock(mutex_);
    return open_;
  }

 private:
  // Runs one entry point's body under the lock and logs the call, after
  // forgetting the thread's last failure. A scripted throw is logged and
  // thrown instead, after the lock is released; a scripted failure is logged
  // with result 0 and left for HIDlastError.
  template <class Body>
  std::uint8_t Run(const char* name, std::int32_t arg, const THIDreport* report, Body body) {
    vyhid::abi::ClearLastError();
    bool mustThrow = false;
    std::int32_t result = -1;
    {
      std::lock_guard lock(mutex_);
      SimCall call{};
      std::snprintf(call.Name, sizeof call.Name, "%s", name);
      call.Arg = arg;
      if (report != nullptr) call.Report = *report;
      call.ThreadId = CallingThreadId();
      const auto armed = std::find(throwScript_.begin(), throwScript_.end(), name);
      const auto failure =
          std::find_if(errorScript_.begin(), errorScript_.end(),
                       [&](const ScriptedError& e) { return e.EntryPoint == name; });
      if (armed != throwScript_.end()) {
        throwScript_.erase(armed);
        mustThrow = true;
      } else if (failure != errorScript_.end()) {
        vyhid::abi::SetLastError(failure->Code, failure->Text);
        errorScript_.erase(failure);
        result = 0;
      } else {
        result = body();
      }
      call.Result = result;
      if (log_.size() >= kLogLimit) log_.pop_front();
      log_.push_back(call);
    }
    if (mustThrow) throw std::runtime_error(std::string("simulated failure in ") + name);
    return static_cast<std::uint8_t>(result);
  }

  std::array<StoredReport, 256>& Store(vyhid::ReportKind kind) {
    return kind == vyhid::ReportKind::kInput ? input_ : feature_;
  }

  bool OnWorkerThread() const { return workerId_ == std::this_thread::get_id(); }

  // Called with the lock held.
  void QueueDelivery(const THIDreport& report, std::uint8_t bytesCount, std::uint64_t count) {
    if (stopping_) return;
    deliveries_.push_back(Delivery{report, bytesCount, count});
    StartWorker();
  }

  // The open device sends an input report on its own now and then. Called
  // with the lock held.
  const SimDeviceSpec* PeriodicDevice() const {
    if (open_ < 0 || devices_[open_].InputPeriodMs == 0) return nullptr;
    return &devices_[open_];
  }

  // The open device, when it has recorded reports yet to deliver. Called with
  // the lock held.
  SimDeviceSpec* ReplayingDevice() {
    if (open_ < 0) return nullptr;
    SimDeviceSpec& device = devices_[open_];
    return device.ReplayNext < device.Recorded.size() ? &device : nullptr;
  }

  // Whether the worker owes the open device's replay a delivery: any report
  // left, unless paced on command and none let go. Called with the lock held.
  bool ReplayPending() {
    return ReplayingDevice() != nullptr &&
           (replayPace_ != kSimReplayOnCommand || replayReleased_ > 0);
  }

  // The recorded time between the device's next report and the one before
  // it (none before the first).
  static Clock::duration RecordedGap(const SimDeviceSpec& device) {
    const std::size_t next = device.ReplayNext;
    if (next == 0 || next >= device.Recorded.size()) return {};
    return std::chrono::microseconds(device.Recorded[next].AtUs - device.Recorded[next - 1].AtUs);
  }

  // The pieces of a recorded report, as the hidraw bridge hands a report
  // read from a node to the callback.
  static std::vector<Delivery> RecordedPieces(const SimDeviceSpec& device,
                                              const SimRecordedInput& input) {
    std::vector<Delivery> pieces;
    vyhid::SplitInputReport(input.Bytes, device.NumberedReports,
                            [&](const THIDreport& report, std::uint8_t count) {
                              pieces.push_back(Delivery{report, count, 1});
                              return true;
                            });
    return pieces;
  }

  // Starts the worker unless it runs, and wakes it. Called with the lock held.
  void StartWorker() {
    if (stopping_) return;
#if defined(_WIN32)
    // Windows runs a library's unloading under the loader lock, which a
    // thread needs in order to end, so unloading cannot join a thread. The
    // worker instead lives only while it has reports to deliver (queued, or
    // the periodic reports of the open device), and holds
    // a reference to the library meanwhile: the library is unloaded by
    // whichever ends last, the worker or the program's FreeLibrary.
    if (workerId_ == std::thread::id()) {
      HMODULE self = nullptr;
      ::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                           reinterpret_cast<LPCWSTR>(&CallingThreadId), &self);
      std::thread worker([this, self] {
        DeliverInputReports();
        ::FreeLibraryAndExitThread(self, 0);
      });
      workerId_ = worker.get_id();
      worker.detach();
    }
#else
    if (!worker_.joinable()) {
      worker_ = std::thread([this] { DeliverInputReports(); });
      workerId_ = worker_.get_id();
    }
#endif
    workCv_.notify_one();
  }

  void DeliverInputReports() {
    std::unique_lock lock(mutex_);
    std::vector<Delivery> pieces;
    for (;;) {
      if (stopping_) break;
      pieces.clear();
      if (!deliveries_.empty()) {
        Delivery& next = deliveries_.front();
        pieces.push_back(Delivery{next.Report, next.BytesCount, 1});
        if (--next.Remaining == 0) deliveries_.pop_front();
      } else if (ReplayPending()) {
        if (replayPace_ == kSimReplayRecordedPace && Clock::now() < nextReplay_) {
          workCv_.wait_until(lock, nextReplay_);
          continue;
        }
        SimDeviceSpec& device = *ReplayingDevice();
        if (replayPace_ == kSimReplayOnCommand) --replayReleased_;
        pieces = RecordedPieces(device, device.Recorded[device.ReplayNext++]);
        // The next report's time from this one's: no drift over a long replay.
        nextReplay_ += RecordedGap(device);
      } else if (const SimDeviceSpec* device = PeriodicDevice()) {
        const Clock::time_point now = Clock::now();
        if (now < nextInput_) {
          workCv_.wait_until(lock, nextInput_);
          continue;
        }
        const std::chrono::milliseconds period(device->InputPeriodMs);
        nextInput_ = std::max(nextInput_ + period, now);
        THIDreport report = ZeroReport();
        report.ReportID = device->PeriodicInput.Id;
        const auto& bytes = device->PeriodicInput.Bytes;
        std::memcpy(report.Data.Bytes, bytes.data(), bytes.size());
        pieces.push_back(
            Delivery{report,
                     static_cast<std::uint8_t>(std::min<std::uint32_t>(
                         SimDeclaredBytes(device->Info, vyhid::ReportKind::kInput, report.ReportID),
                         vyhid::kPayloadBytes)),
                     1});
      } else {
#if defined(_WIN32)
        workerId_ = std::thread::id();  // the next delivery starts a new worker
        break;
#else
        workCv_.wait(lock);
        continue;
#endif
      }
      delivering_ = true;
      lock.unlock();
      if (const THIDcallBack handler = hidHandler_.load()) {
        // An exception must not end the process from a thread the caller
        // does not own; it ends this one delivery.
        try {
          for (const Delivery& piece : pieces) handler(piece.Report, piece.BytesCount);
        } catch (const std::exception& e) {
          std::fprintf(stderr, "simulated bridge: input-report callback threw: %s\n", e.what());
        } catch (...) {
          std::fprintf(stderr, "simulated bridge: input-report callback threw\n");
        }
      }
      lock.lock();
      delivering_ = false;
      if (deliveries_.empty() && !ReplayPending()) idleCv_.notify_all();
    }
    delivering_ = false;
    idleCv_.notify_all();
  }

  // The devices at load: those of the device file named by VYHID_SIM_DEVICES
  // (none when it is set but empty), else the bundled devices/default.txt
  // beside the library, when it is there.
  void LoadStartingDevices() {
    std::filesystem::path path;
    if (const char* named = std::getenv("VYHID_SIM_DEVICES")) {
      if (*named == '\0') return;
      path = named;
    } else {
      const std::filesystem::path folder = LibraryFolder();
      if (folder.empty()) return;
      path = folder / "devices" / "default.txt";
      std::error_code ec;
      if (!std::filesystem::is_regular_file(path, ec)) return;
    }
    std::ifstream file(path, std::ios::binary);
    if (!file) {
      std::fprintf(stderr, "simulated bridge: cannot read %s\n", path.string().c_str());
      return;
    }
    const std::string text((std::istreambuf_iterator<char>(file)),
                           std::istreambuf_iterator<char>());
    std::vector<SimDeviceSpec> devices;
    std::string error;
    if (!SimParseDeviceText(text, devices, error)) {
      std::fprintf(stderr, "simulated bridge: %s: %s\n", path.string().c_str(), error.c_str());
      return;
    }
    devices_ = std::move(devices);
  }

  std::mutex mutex_;
  std::vector<SimDeviceSpec> devices_;
  std::int32_t open_ = -1;
  std::int32_t sendTake_ = kDefaultTake;
  bool echo_ = false;
  std::optional<Delivery> openInput_;  // SimSetOpenInput's report
  std::deque<std::uint8_t> openScript_;
  std::deque<std::uint8_t> closeScript_;
  std::vector<std::string> throwScript_;
  std::vector<ScriptedError> errorScript_;
  std::array<StoredReport, 256> input_{};
  std::array<StoredReport, 256> feature_{};
  std::deque<SimCall> log_;
  std::atomic<TUSBcallBack> usbHandler_{nullptr};
  std::atomic<THIDcallBack> hidHandler_{nullptr};

  std::condition_variable workCv_;  // deliveries queued, or stopping
  std::condition_variable idleCv_;  // the queue ran empty, or stopping
  std::deque<Delivery> deliveries_;
  Clock::time_point nextInput_{};   // the open device's next periodic input report
  Clock::time_point nextReplay_{};  // when its next recorded report is due, at the recorded pace
  std::int32_t replayPace_ = kSimReplayRecordedPace;
  std::uint64_t replayReleased_ = 0;  // on command: recorded reports let go, not yet delivered
  bool delivering_ = false;
  bool stopping_ = false;
  std::thread worker_;          // on Windows never set: the worker is detached
  std::thread::id workerId_{};  // the worker's while it runs
};

#if defined(_WIN32)
// Constructed when the library is loaded; destroyed by DllMain when a program
// unloads it, and never when the process ends: by then the system has ended
// the other threads, the worker perhaps inside the state's lock or a wait on
// its condition, and destroying the state would wait for them for ever.
union Unended {
  Unended() : state() {}
  ~Unended() {}
  SimulatedBridge state;
};
Unended held;
SimulatedBridge& bridge = held.state;
#else
// Constructed when the library is loaded, destroyed (joining the worker) when
// it is unloaded.
SimulatedBridge bridge;
#endif

}  // namespace

#if defined(_WIN32)
extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
  if (reason == DLL_PROCESS_DETACH && reserved == nullptr) bridge.~SimulatedBridge();
  return TRUE;
}
#endif

// ---- the 13 entry points ----

VYHID_BRIDGE_EXPORT std::uint8_t VYHID_STDCALL HIDscanForDevices() {
  return bridge.Scan();
}

VYHID_BRIDGE_EXPORT void VYHID_STDCALL HIDGetDeviceInfo(std::uint8_t Nr, THIDdeviceInfo* data) {
  bridge.GetDeviceInfo(Nr, data);
}

VYHID_BRIDGE_EXPORT std::uint8_t VYHID_STDCALL HIDcloseDevice() {
  return bridge.Close();
}

VYHID_BRIDGE_EXPORT std::uint8_t VYHID_STDCALL HIDopenDevice(std::uint8_t DeviceNr) {
  return bridge.Open(DeviceNr);
}

VYHID_BRIDGE_EXPORT void VYHID_STDCALL USBsetEventHandler(TUSBcallBack Handler) {
  bridge.SetDeviceChangeHandler(Handler);
}

VYHID_BRIDGE_EXPORT void VYHID_STDCALL HIDsetEventHandler(THIDcallBack Handler) {
  bridge.SetInputHandler(Handler);
}

VYHID_BRIDGE_EXPORT std::uint8_t VYHID_STDCALL HIDOutputReportSize() {
  return bridge.ReportSize("HIDOutputReportSize", vyhid::ReportKind::kOutput);
}

VYHID_BRIDGE_EXPORT std::uint8_t VYHID_STDCALL HIDInputReportSize() {
  return bridge.ReportSize("HIDInputReportSize", vyhid::ReportKind::kInput);
}

VYHID_BRIDGE_EXPORT std::uint8_t VYHID_STDCALL HIDFeatureReportSize() {
  return bridge.ReportSize("HIDFeatureReportSize", vyhid::ReportKind::kFeature);
}

VYHID_BRIDGE_EXPORT std::uint8_t VYHID_STDCALL HIDGetInputReport(THIDreport* inReport) {
  return bridge.GetReport("HIDGetInputReport", inReport, vyhid::ReportKind::kInput);
}

VYHID_BRIDGE_EXPORT std::uint8_t VYHID_STDCALL HIDGetFeatureReport(THIDreport* inReport) {
  return bridge.GetReport("HIDGetFeatureReport", inReport, vyhid::ReportKind::kFeature);
}

VYHID_BRIDGE_EXPORT std::uint8_t VYHID_STDCALL HIDSetOutputReport(THIDreport* OutReport) {
  return bridge.SendReport("HIDSetOutputReport", OutReport, false);
}

// The failure-test variant is built without this export.
#ifndef VYHID_SIM_WITHOUT_SET_FEATURE
VYHID_BRIDGE_EXPORT std::uint8_t VYHID_STDCALL HIDSetFeatureReport(THIDreport* OutReport) {
  return bridge.SendReport("HIDSetFeatureReport", OutReport, true);
}
#endif

VYHID_BRIDGE_EXPORT std::int32_t VYHID_STDCALL HIDlastError(char* text, std::uint32_t size) {
  return vyhid::abi::CopyLastError(text, size);
}
static_assert(std::is_same_v<decltype(&::HIDlastError), tHIDlastError>);

VYHID_BRIDGE_EXPORT std::int32_t VYHID_STDCALL HIDGetReportDescriptor(std::uint8_t Nr,
                                                                      std::uint8_t* buffer,
                                                                      std::uint32_t size) {
  return bridge.GetReportDescriptor(Nr, buffer, size);
}
static_assert(std::is_same_v<decltype(&::HIDGetReportDescriptor), tHIDGetReportDescriptor>);

// These exports do not throw on their own: a scripted throw is a test feature
// that reaches the caller as the entry point's exception. The full build
// checks every export's type against the list.
#ifndef VYHID_SIM_WITHOUT_SET_FEATURE
VYHID_ENTRY_POINTS(VYHID_CHECK_EXPORT)
#endif

// ---- control API ----

void SimReset() {
  bridge.Reset();
}

std::int32_t SimAddDevice(const THIDdeviceInfo* info) {
  return bridge.AddDevice(info);
}

void SimRemoveDevice(std::int32_t index) {
  bridge.RemoveDevice(index);
}

void SimSetDevices(const THIDdeviceInfo* infos, std::int32_t count) {
  std::vector<SimDeviceSpec> devices;
  if (infos != nullptr && count > 0) {
    const auto n = std::min(static_cast<std::size_t>(count), kSimMaxDevices);
    for (std::size_t i = 0; i < n; ++i) devices.push_back(ControlledDevice(infos[i]));
  }
  bridge.SetDevices(std::move(devices));
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
  if (report != nullptr) bridge.StoreReport(vyhid::ReportKind::kInput, *report, result);
}

void SimSetFeatureReport(const THIDreport* report, std::uint8_t result) {
  if (report != nullptr) bridge.StoreReport(vyhid::ReportKind::kFeature, *report, result);
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
  return bridge.GetCall(index, call) ? 1 : 0;
}

void SimClearLog() {
  bridge.ClearLog();
}

std::int32_t SimOpenDevice() {
  return bridge.OpenDevice();
}
