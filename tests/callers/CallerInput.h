// Bad input from callers: a component brought into one of its states, and
// what each state promises to a caller.
//
// The states are the four conditions a component is constructed in (refused,
// designing, unbound, bound) and, for a bound one, the three open/close
// states (Closed, Open, Lost). The unbound component needs the bridge build
// that lacks an export, and a process can use only one HID_Bridge__.dll, so
// it has an executable of its own; both instantiate the same tests.
#pragma once

#include <cstdint>
#include <memory>
#include <ostream>
#include <string>
#include <tuple>
#include <vector>

#include "VyHIDTestSupport.h"

namespace vyhid_test {

enum class State { Refused, Designing, Unbound, Closed, Open, Lost };

std::string StateName(State state);
inline std::ostream& operator<<(std::ostream& out, State state) {
  return out << StateName(state);
}

// What a component in a state answers.
struct Expected {
  bool Loaded;            // the bridge is bound: operations reach it
  bool Open;              // a device is open in the bridge
  std::int32_t DevCount;  // DevCount as the state leaves it
};
Expected ExpectedOf(State state);

// The states this executable builds (each executable defines it).
std::vector<State> CallerStates();

// The simulated bridge set up for one state (the unbound one with the build
// that lacks HIDSetFeatureReport), the component in that state, its events
// recorded, and the bridge's log cleared.
class CallerInputBase : public SimBridgeTest {
 protected:
  void Build(State state);
  void TearDown() override;

  TVyHID& Hid() { return *hid_; }
  // Entry points called since Build, ignoring none.
  int BridgeCalls() const { return sim.CallCount(); }
  int CallsOf(const char* entryPoint) const;

  State state_ = State::Closed;
  Expected expected_{};
  EventLog log_;
  EventLog liveLog_;  // events of the live component beside a refused one

 private:
  const char* BridgePath() const override;

  std::unique_ptr<TVyHID> live_;               // the live one, beside a refused one
  std::unique_ptr<rtl::TComponent> designer_;  // owns the designing one
  std::unique_ptr<TVyHID> owned_;              // every other state
  TVyHID* hid_ = nullptr;
};

class CallerInput : public CallerInputBase, public ::testing::WithParamInterface<State> {
 protected:
  void SetUp() override {
    state_ = GetParam();
    CallerInputBase::SetUp();
    Build(GetParam());
  }
};

// A state and one number: a device number, a byte count, a string length.
class CallerNumber : public CallerInputBase,
                     public ::testing::WithParamInterface<std::tuple<State, std::int64_t>> {
 protected:
  void SetUp() override {
    state_ = std::get<0>(GetParam());
    CallerInputBase::SetUp();
    Build(state_);
  }
  std::int64_t Number() const { return std::get<1>(GetParam()); }
};

using CallerDeviceNumber = CallerNumber;
using CallerByteCount = CallerNumber;
using CallerStringLength = CallerNumber;

// Test names: "Open_m5", "Lost_1048576".
std::string NumberCaseName(const ::testing::TestParamInfo<std::tuple<State, std::int64_t>>& info);
std::string StateCaseName(const ::testing::TestParamInfo<State>& info);

}  // namespace vyhid_test
