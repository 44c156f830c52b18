#include "CallerInput.h"

#include <cstring>

namespace vyhid_test {

std::string StateName(State state) {
  switch (state) {
    case State::Refused:
      return "Refused";
    case State::Designing:
      return "Designing";
    case State::Unbound:
      return "Unbound";
    case State::Closed:
      return "Closed";
    case State::Open:
      return "Open";
    case State::Lost:
      return "Lost";
  }
  return "?";
}

Expected ExpectedOf(State state) {
  switch (state) {
    case State::Refused:
      return {.Loaded = false, .Open = false, .DevCount = 0};
    case State::Designing:
      return {.Loaded = false, .Open = false, .DevCount = -1};
    case State::Unbound:
      return {.Loaded = false, .Open = false, .DevCount = -1};
    case State::Closed:
      return {.Loaded = true, .Open = false, .DevCount = 2};
    case State::Open:
      return {.Loaded = true, .Open = true, .DevCount = 2};
    case State::Lost:
      return {.Loaded = true, .Open = false, .DevCount = 1};
  }
  return {};
}

const char* CallerInputBase::BridgePath() const {
  return state_ == State::Unbound ? SimBridgeNoSetFeaturePath() : SimBridgePath();
}

void CallerInputBase::Build(State state) {
  state_ = state;
  expected_ = ExpectedOf(state);
  SetDevices(
      {MakeSimpleDevice("/dev/caller-a", 0x1111, 1), MakeSimpleDevice("/dev/caller-b", 0x2222, 2)});

  switch (state) {
    case State::Refused:
      live_ = std::make_unique<TVyHID>(nullptr);
      live_->SetName(u"Live");
      RecordEvents(*live_, liveLog_);
      owned_ = std::make_unique<TVyHID>(nullptr);
      ASSERT_EQ(Messages().size(), 1u) << "the refusal is shown";
      break;
    case State::Designing:
      designer_ = std::make_unique<rtl::TComponent>(nullptr);
      designer_->SetDesigning(true);
      hid_ = new TVyHID(designer_.get());  // the designer owns and frees it
      break;
    case State::Unbound:
      owned_ = std::make_unique<TVyHID>(nullptr);
      ASSERT_EQ(Messages().size(), 1u) << "the missing export is shown";
      break;
    case State::Closed:
    case State::Open:
    case State::Lost:
      owned_ = std::make_unique<TVyHID>(nullptr);
      ASSERT_EQ(owned_->ScanForHIDdevices(), 2);
      break;
  }
  if (owned_) hid_ = owned_.get();

  if (state == State::Open || state == State::Lost) {
    hid_->CurrentDevNr = 0;
    hid_->Active = true;
    ASSERT_TRUE(hid_->Active);
  }
  if (state == State::Lost) {
    sim.RemoveDevice(0);  // the device the component has open
    Pump();
    ASSERT_FALSE(hid_->Active);
    ASSERT_EQ(hid_->DevCount, 1);
  }
  ASSERT_EQ(static_cast<bool>(hid_->Active), expected_.Open);
  ASSERT_EQ(hid_->DevCount, expected_.DevCount);
  RecordEvents(*hid_, log_);
  liveLog_.Clear();
  ClearCalls();
}

void CallerInputBase::TearDown() {
  // A refused component never raises an event, and nothing it is asked to
  // do may reach the live one beside it.
  if (state_ == State::Refused) {
    EXPECT_TRUE(log_.Events().empty());
  }
  owned_.reset();
  live_.reset();
  designer_.reset();
  hid_ = nullptr;
  SimBridgeTest::TearDown();
}

int CallerInputBase::CallsOf(const char* entryPoint) const {
  int n = 0;
  for (const SimCall& call : Calls()) n += std::strcmp(call.Name, entryPoint) == 0;
  return n;
}

std::string NumberCaseName(const ::testing::TestParamInfo<std::tuple<State, std::int64_t>>& info) {
  const std::int64_t n = std::get<1>(info.param);
  return StateName(std::get<0>(info.param)) + "_" + (n < 0 ? "m" : "") +
         std::to_string(n < 0 ? -n : n);
}

std::string StateCaseName(const ::testing::TestParamInfo<State>& info) {
  return StateName(info.param);
}

}  // namespace vyhid_test
