// The simulated bridge's scripting for tests: every entry-point call logged,
// scripted results of opens and closes, scripted failures and throws, and how
// much a send takes.
#include <algorithm>
#include <cstdio>
#include <stdexcept>
#include <utility>

#include "Diagnostics.h"
#include "SimBridge.h"
#include "SimPlatform.h"

namespace vyhid::sim {
namespace {

constexpr std::size_t kLogLimit = 100000;

bool IsEntryPoint(std::string_view name) {
  return std::find(kEntryPointNames.begin(), kEntryPointNames.end(), name) !=
         kEntryPointNames.end();
}

}  // namespace

std::int32_t SimulatedBridge::Run(const char* name, SimCall& call,
                                  const std::function<std::int32_t()>& body) {
  abi::ClearLastError();
  std::snprintf(call.Name, sizeof call.Name, "%s", name);
  call.ThreadId = CallingThreadId();
  bool must_throw = false;
  std::optional<Delivery> due;
  {
    std::lock_guard lock(mutex_);
    const auto armed = std::find(throw_script_.begin(), throw_script_.end(), name);
    const auto failure =
        std::find_if(error_script_.begin(), error_script_.end(),
                     [&](const ScriptedError& e) { return e.entry_point == name; });
    call.Result = -1;
    if (armed != throw_script_.end()) {
      throw_script_.erase(armed);
      must_throw = true;
    } else if (failure != error_script_.end()) {
      abi::SetLastError(failure->code, failure->text);
      error_script_.erase(failure);
      call.Result = 0;
    } else {
      call.Result = body();
    }
    if (log_.size() >= kLogLimit) log_.pop_front();
    log_.push_back(call);
    due = std::exchange(due_now_, std::nullopt);
  }
  if (must_throw) throw std::runtime_error(std::string("simulated failure in ") + name);
  if (due) InjectInput(due->report, due->bytes_count);
  return call.Result;
}

void SimulatedBridge::ResetScripts() {
  log_.clear();
  open_script_.clear();
  close_script_.clear();
  throw_script_.clear();
  error_script_.clear();
  send_take_ = kDefaultTake;
}

void SimulatedBridge::SetSendTake(std::int32_t take) {
  std::lock_guard lock(mutex_);
  send_take_ = std::clamp(take, 0, 255);
}

void SimulatedBridge::ScriptResults(bool opens, const std::uint8_t* results, std::int32_t count) {
  if (results == nullptr || count <= 0) return;
  std::lock_guard lock(mutex_);
  std::deque<std::uint8_t>& script = opens ? open_script_ : close_script_;
  script.insert(script.end(), results, results + count);
}

void SimulatedBridge::ScriptThrow(std::string_view entry_point) {
  if (!IsEntryPoint(entry_point)) return;
  std::lock_guard lock(mutex_);
  throw_script_.emplace_back(entry_point);
}

void SimulatedBridge::ScriptError(std::string_view entry_point, std::int32_t code,
                                  std::string_view text) {
  if (!IsEntryPoint(entry_point)) return;
  std::lock_guard lock(mutex_);
  error_script_.push_back(ScriptedError{std::string(entry_point), code, std::string(text)});
}

std::int32_t SimulatedBridge::CallCount() {
  std::lock_guard lock(mutex_);
  return static_cast<std::int32_t>(log_.size());
}

bool SimulatedBridge::GetCall(std::int32_t index, SimCall& call) {
  std::lock_guard lock(mutex_);
  if (index < 0 || static_cast<std::size_t>(index) >= log_.size()) return false;
  call = log_[static_cast<std::size_t>(index)];
  return true;
}

void SimulatedBridge::ClearLog() {
  std::lock_guard lock(mutex_);
  log_.clear();
}

}  // namespace vyhid::sim
