// The simulated bridge's operations over its virtual devices, and the control
// API's functions that change the devices and the reports they hold.
#include "SimBridge.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <utility>

#include "Diagnostics.h"
#include "RecordBuilder.h"
#include "SimPlatform.h"

namespace vyhid::sim {
namespace {

// The most payload bytes a send to a device takes: the report's declared
// size for a device held to its reports (0: the device has no such report),
// no limit but the configured take otherwise.
std::uint32_t PayloadLimit(const SimDeviceSpec& device, ReportKind kind, std::uint8_t id) {
  if (!device.strict) return 255;
  return SimDeclaredBytes(device.info, kind, id);
}

// A device added through the control API: not held to its reports.
SimDeviceSpec ControlledDevice(const THIDdeviceInfo& info) {
  SimDeviceSpec device;
  device.info = info;
  return device;
}

}  // namespace

SimulatedBridge::SimulatedBridge() noexcept {
  try {
    LoadStartingDevices();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "simulated bridge: no devices loaded: %s\n", e.what());
  }
}

SimulatedBridge::~SimulatedBridge() {
  StopWorker();
}

std::uint8_t SimulatedBridge::Scan() {
  return static_cast<std::uint8_t>(std::min(devices_.size(), kSimMaxDevices));
}

void SimulatedBridge::DeviceInfo(std::uint8_t nr, THIDdeviceInfo& info) {
  if (nr < devices_.size()) info = devices_[nr].info;
}

std::uint8_t SimulatedBridge::Close() {
  const bool was_open = open_ >= 0;
  open_ = -1;
  idle_cv_.notify_all();  // a wait for the closed device's replay is over
  std::uint8_t result = was_open ? 1 : 0;
  if (!close_script_.empty()) {
    result = close_script_.front();
    close_script_.pop_front();
  }
  return result;
}

std::uint8_t SimulatedBridge::Open(std::uint8_t nr) {
  open_ = -1;
  idle_cv_.notify_all();
  const bool listed = nr < devices_.size();
  std::uint8_t result = listed ? 1 : 0;
  if (!open_script_.empty()) {
    result = open_script_.front();
    open_script_.pop_front();
  }
  if (result != 0 && listed) {
    open_ = nr;
    StartReplay();
    due_now_ = std::exchange(open_input_, std::nullopt);
  }
  return result;
}

void SimulatedBridge::SetDeviceChangeHandler(TUSBcallBack handler) {
  change_handler_.store(handler);
}

void SimulatedBridge::SetInputHandler(THIDcallBack handler) {
  input_handler_.store(handler);
}

std::uint8_t SimulatedBridge::ReportSize(ReportKind kind) {
  if (open_ < 0) return 0;
  return abi::ByteResult(BufferSize(devices_[open_].info, kind));
}

std::uint8_t SimulatedBridge::GetReport(ReportKind kind, THIDreport& report) {
  if (open_ < 0) return 0;
  const StoredReport& stored = Store(kind)[report.ReportID];
  if (stored.set) {
    report.Data = stored.data;
    return stored.result;
  }
  // Nothing stored: a device of a device file answers for the reports it
  // declares, with the contents its file gives or zeros.
  report.Data = THIDbuffer{};
  const SimDeviceSpec& device = devices_[open_];
  if (!device.strict) return 0;
  const std::uint32_t declared = SimDeclaredBytes(device.info, kind, report.ReportID);
  const auto& given = kind == ReportKind::kInput ? device.input_reports : device.feature_reports;
  for (const SimReportBytes& r : given) {
    if (r.id == report.ReportID) std::memcpy(report.Data.Bytes, r.bytes.data(), r.bytes.size());
  }
  return static_cast<std::uint8_t>(std::min<std::uint32_t>(declared, kPayloadBytes));
}

std::uint8_t SimulatedBridge::SetReport(ReportKind kind, const THIDreport& report) {
  if (open_ < 0) return 0;
  const SimDeviceSpec& device = devices_[open_];
  const std::uint32_t limit = PayloadLimit(device, kind, report.ReportID);
  if (limit == 0) {
    abi::SetLastError(EINVAL, std::string(ReadShortString(device.info.SymLink)) +
                                  ": the device has no " + ReportKindName(kind) +
                                  " report with ID " + std::to_string(report.ReportID));
    return 0;
  }
  const std::int32_t take =
      std::min(send_take_, static_cast<std::int32_t>(std::min<std::uint32_t>(limit, 255)));
  if (take == 0) return 0;
  // What the device received: the bytes it took, the rest zero.
  const auto received = static_cast<std::uint8_t>(std::min(take, kDefaultTake));
  THIDreport sent{};
  sent.ReportID = report.ReportID;
  std::memcpy(sent.Data.Bytes, report.Data.Bytes, received);
  if (kind == ReportKind::kFeature) {
    // Read back whole: a device of a device file returns its declared size.
    const auto read_back =
        device.strict ? static_cast<std::uint8_t>(std::min<std::uint32_t>(limit, kPayloadBytes))
                      : received;
    feature_[sent.ReportID] = StoredReport{true, sent.Data, read_back};
  } else if (echo_ || device.echo) {
    QueueDelivery(sent, received, 1);
  }
  return static_cast<std::uint8_t>(take);
}

std::int32_t SimulatedBridge::ReportDescriptor(std::uint8_t nr, std::uint8_t* buffer,
                                               std::uint32_t size) {
  std::lock_guard lock(mutex_);
  if (nr >= devices_.size()) {
    abi::SetNotListed(nr, devices_.size());
    return -1;
  }
  const SimDeviceSpec& device = devices_[nr];
  if (device.descriptor.empty()) {
    abi::SetLastError(ENODATA,
                      std::string(ReadShortString(device.info.SymLink)) +
                          ": the virtual device has no report descriptor (a 'descriptor' line of "
                          "its device file gives one, and so does a recording)");
    return -1;
  }
  return abi::CopyReportDescriptor(device.descriptor, buffer, size);
}

void SimulatedBridge::Reset() {
  std::unique_lock lock(mutex_);
  devices_.clear();
  open_ = -1;
  input_.fill({});
  feature_.fill({});
  echo_ = false;
  open_input_.reset();
  ResetScripts();
  ResetReplay(lock);
}

std::int32_t SimulatedBridge::AddDevice(const THIDdeviceInfo& info) {
  std::int32_t index;
  {
    std::lock_guard lock(mutex_);
    if (devices_.size() >= kSimMaxDevices) return -1;
    index = static_cast<std::int32_t>(devices_.size());
    devices_.push_back(ControlledDevice(info));
  }
  FireDeviceChange();
  return index;
}

void SimulatedBridge::RemoveDevice(std::int32_t index) {
  {
    std::lock_guard lock(mutex_);
    if (index < 0 || static_cast<std::size_t>(index) >= devices_.size()) return;
    devices_.erase(devices_.begin() + index);
    if (open_ == index) {
      open_ = -1;
      idle_cv_.notify_all();
    } else if (open_ > index) {
      --open_;
    }
  }
  FireDeviceChange();
}

void SimulatedBridge::SetDevices(std::vector<SimDeviceSpec> devices) {
  if (devices.size() > kSimMaxDevices) devices.resize(kSimMaxDevices);
  std::lock_guard lock(mutex_);
  devices_ = std::move(devices);
  open_ = -1;
  idle_cv_.notify_all();
}

void SimulatedBridge::SetControlledDevices(std::span<const THIDdeviceInfo> infos) {
  std::vector<SimDeviceSpec> devices;
  for (const THIDdeviceInfo& info : infos.first(std::min(infos.size(), kSimMaxDevices))) {
    devices.push_back(ControlledDevice(info));
  }
  SetDevices(std::move(devices));
}

void SimulatedBridge::FireDeviceChange() {
  if (const TUSBcallBack handler = change_handler_.load()) handler();
}

void SimulatedBridge::InjectInput(const THIDreport& report, std::uint8_t bytes_count) {
  if (const THIDcallBack handler = input_handler_.load()) handler(report, bytes_count);
}

void SimulatedBridge::StoreReport(ReportKind kind, const THIDreport& report, std::uint8_t result) {
  std::lock_guard lock(mutex_);
  Store(kind)[report.ReportID] = StoredReport{true, report.Data, result};
}

void SimulatedBridge::SetEcho(bool on) {
  std::lock_guard lock(mutex_);
  echo_ = on;
}

void SimulatedBridge::SetOpenInput(const THIDreport& report, std::uint8_t bytes_count) {
  std::lock_guard lock(mutex_);
  open_input_ = Delivery{report, bytes_count, 1};
}

std::int32_t SimulatedBridge::OpenDevice() {
  std::lock_guard lock(mutex_);
  return open_;
}

std::array<StoredReport, 256>& SimulatedBridge::Store(ReportKind kind) {
  return kind == ReportKind::kInput ? input_ : feature_;
}

// The devices at load: those of the device file named by VYHID_SIM_DEVICES
// (none when it is set but empty), else the bundled devices/default.txt
// beside the library, when it is there.
void SimulatedBridge::LoadStartingDevices() {
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
  const std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  std::vector<SimDeviceSpec> devices;
  std::string error;
  if (!SimParseDeviceText(text, devices, error)) {
    std::fprintf(stderr, "simulated bridge: %s: %s\n", path.string().c_str(), error.c_str());
    return;
  }
  devices_ = std::move(devices);
}

}  // namespace vyhid::sim
