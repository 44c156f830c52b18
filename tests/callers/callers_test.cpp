// Every public operation of TVyHID, in every state, with numbers out of
// range, empty and very long strings, and byte counts beyond the payload. No
// call may crash, read or write outside its records, or reach the bridge when
// the component is not bound; each returns what VyHID.h documents.
#include <cstring>
#include <limits>
#include <string>

#include "CallerInput.h"

namespace vyhid_test {
namespace {

// n bytes in which every value appears, 0 and 0xFF included.
std::string AnyBytes(std::size_t n) {
  std::string s(n, '\0');
  for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 37 + 11) % 256);
  return s;
}

int Count(const std::vector<std::string>& events, const std::string& event) {
  int n = 0;
  for (const std::string& e : events) n += e == event;
  return n;
}

// ---- device numbers ----

TEST_P(CallerDeviceNumber, ActiveOpensOnlyANumberTheLastScanFound) {
  const auto nr = static_cast<std::int32_t>(Number());
  const bool wasActive = Hid().Active;
  const std::int32_t openBefore = sim.OpenDevice();

  Hid().CurrentDevNr = nr;
  EXPECT_EQ(Hid().CurrentDevNr, nr) << "stored as given";
  Hid().Active = true;
  Hid().Active = false;  // runs the same open

  if (expected_.Loaded && nr >= 0 && nr < expected_.DevCount) {
    EXPECT_TRUE(Hid().Active);
    EXPECT_EQ(sim.OpenDevice(), nr);
    EXPECT_EQ(Count(log_.Events(), "DevOpen " + std::to_string(nr)), 2);
  } else {
    EXPECT_EQ(static_cast<bool>(Hid().Active), wasActive);
    EXPECT_EQ(BridgeCalls(), 0);
    EXPECT_TRUE(log_.Events().empty());
    EXPECT_EQ(sim.OpenDevice(), openBefore);
  }
  EXPECT_EQ(Hid().DevCount, expected_.DevCount);
}

INSTANTIATE_TEST_SUITE_P(
    , CallerDeviceNumber,
    ::testing::Combine(::testing::ValuesIn(CallerStates()),
                       ::testing::Values(-5, 0, 1, 31, 32, 255,
                                         std::numeric_limits<std::int32_t>::max(),
                                         std::numeric_limits<std::int32_t>::min())),
    NumberCaseName);

// ---- byte counts of a payload ----

TEST_P(CallerByteCount, GetStrFromBufferReadsAtMostTheSixtyFourPayloadBytes) {
  const auto numBytes = static_cast<std::int32_t>(Number());
  THIDreport full{};
  full.ReportID = 'R';
  for (std::size_t i = 0; i < 64; ++i) full.Data[i] = static_cast<std::uint8_t>(0x80 + i);
  THIDreport stopped = full;
  stopped.Data[10] = 0;
  const THIDreport fullBefore = full;

  const std::size_t wanted = numBytes <= 0 ? 0 : std::min<std::size_t>(numBytes, 64);
  const std::string fullPayload(reinterpret_cast<const char*>(full.Data.Bytes), 64);
  EXPECT_EQ(Hid().GetStrFromBuffer(full, numBytes), fullPayload.substr(0, wanted));
  EXPECT_EQ(Hid().GetStrFromBuffer(stopped, numBytes),
            fullPayload.substr(0, std::min<std::size_t>(wanted, 10)));
  EXPECT_EQ(std::memcmp(&full, &fullBefore, sizeof full), 0) << "the record is not changed";
  EXPECT_EQ(BridgeCalls(), 0);
  EXPECT_TRUE(log_.Events().empty());
}

INSTANTIATE_TEST_SUITE_P(
    , CallerByteCount,
    ::testing::Combine(::testing::ValuesIn(CallerStates()),
                       ::testing::Values(-1, 0, 1, 10, 64, 65, 1000000,
                                         std::numeric_limits<std::int32_t>::max(),
                                         std::numeric_limits<std::int32_t>::min())),
    NumberCaseName);

// ---- string lengths ----

TEST_P(CallerStringLength, SendsCutAnyStringIntoReportsOrRefuseIt) {
  const auto length = static_cast<std::size_t>(Number());
  const std::string data = AnyBytes(length);
  const std::string copy = data;
  const int reports = static_cast<int>((length + 63) / 64);

  const std::int32_t report = Hid().SetReport(7, data);
  const int outputCalls = CallsOf("HIDSetOutputReport");
  ClearCalls();
  const std::int32_t feature = Hid().SetFeature(7, data);
  const int featureCalls = CallsOf("HIDSetFeatureReport");

  if (!expected_.Loaded) {
    EXPECT_EQ(report, -1);
    EXPECT_EQ(feature, -1);
    EXPECT_EQ(BridgeCalls(), 0);
  } else if (expected_.Open) {
    EXPECT_EQ(report, 0) << "every byte taken";
    EXPECT_EQ(feature, length > 0 ? 64 : 0);
    EXPECT_EQ(outputCalls, reports);
    EXPECT_EQ(featureCalls, reports);
  } else {
    // No device open: the bridge takes nothing of the first report.
    EXPECT_EQ(report, static_cast<std::int32_t>(length)) << "bytes not sent";
    EXPECT_EQ(feature, 0);
    EXPECT_EQ(outputCalls, length > 0 ? 1 : 0);
    EXPECT_EQ(featureCalls, length > 0 ? 1 : 0);
  }
  EXPECT_EQ(data, copy);
  EXPECT_TRUE(log_.Events().empty()) << "a send raises no event of its own";
}

TEST_P(CallerStringLength, FilterOfAnyLengthIsKeptAndScannedWith) {
  const auto length = static_cast<std::size_t>(Number());
  const rtl::String blanks(length, u' ');
  const rtl::String absent(length, u'\u00A7');  // in no description

  for (const rtl::String* filter : {&blanks, &absent}) {
    log_.Clear();
    ClearCalls();
    Hid().Filter = *filter;
    EXPECT_EQ(Hid().Filter(), *filter) << "stored unchanged";
    if (!expected_.Loaded) {
      EXPECT_EQ(BridgeCalls(), 0);
      EXPECT_TRUE(log_.Events().empty());
      continue;
    }
    const auto events = log_.Events();
    EXPECT_EQ(Count(events, "AfterDevScan " + std::to_string(expected_.DevCount)), 1);
    EXPECT_EQ(static_cast<bool>(Hid().Active), expected_.Open) << "a scan reconnects";
    // Blanks alone are no filter; a text found nowhere empties every
    // description, and an empty one none.
    const bool emptied = filter == &absent && length > 0;
    for (std::int32_t i = 0; i < expected_.DevCount; ++i) {
      EXPECT_EQ(Hid().HIDinfoArray[static_cast<std::size_t>(i)].HIDstringsInfo->Count() == 0,
                emptied)
          << "slot " << i;
    }
  }
  EXPECT_EQ(Hid().DevCount, expected_.DevCount);
}

INSTANTIATE_TEST_SUITE_P(, CallerStringLength,
                         ::testing::Combine(::testing::ValuesIn(CallerStates()),
                                            ::testing::Values(0, 1, 64, 65, 1 << 20)),
                         NumberCaseName);

// ---- the other operations, once each in every state ----

TEST_P(CallerInput, FetchesClearTheirRecordOnlyWhenTheyReachTheBridge) {
  for (const bool feature : {false, true}) {
    for (const std::uint8_t id : {0, 255}) {
      THIDreport stored{};
      stored.ReportID = id;
      std::memset(stored.Data.Bytes, 0x11, 64);
      if (feature) {
        sim.SetFeatureReport(&stored, 9);
      } else {
        sim.SetInputReport(&stored, 9);
      }
      THIDreport record{};
      record.ReportID = id;
      std::memset(record.Data.Bytes, 0xCC, 64);
      record.Data[63] = 0xAA;
      const THIDreport before = record;

      const std::int32_t result = feature ? Hid().GetFeature(record) : Hid().GetReport(record);
      if (!expected_.Loaded) {
        EXPECT_EQ(result, -1);
        EXPECT_EQ(std::memcmp(&record, &before, sizeof record), 0) << "not touched";
      } else if (expected_.Open) {
        EXPECT_EQ(result, 9);
        EXPECT_EQ(std::memcmp(&record, &stored, sizeof record), 0);
      } else {
        EXPECT_EQ(result, 0) << "no device open";
        EXPECT_EQ(record.ReportID, id);
        for (std::size_t i = 0; i < 63; ++i) EXPECT_EQ(record.Data[i], 0) << "byte " << i;
        EXPECT_EQ(record.Data[63], 0xAA);
      }
    }
  }
  EXPECT_TRUE(log_.Events().empty());
}

TEST_P(CallerInput, CloseAndScanTwice) {
  Hid().CloseHidDevice();
  Hid().CloseHidDevice();
  if (expected_.Open) {
    EXPECT_EQ(log_.Take(), std::vector<std::string>{"DevClose"});
    EXPECT_EQ(CallsOf("HIDcloseDevice"), 1);
  } else {
    EXPECT_TRUE(log_.Take().empty());
    EXPECT_EQ(BridgeCalls(), 0);
  }
  EXPECT_FALSE(Hid().Active);

  const std::int32_t expectedScan = expected_.Loaded ? expected_.DevCount : -1;
  EXPECT_EQ(Hid().ScanForHIDdevices(), expectedScan);
  EXPECT_EQ(Hid().ScanForHIDdevices(), expectedScan);
  EXPECT_FALSE(Hid().Active) << "a device closed by the application is not reopened";
  EXPECT_EQ(Hid().DevCount, expected_.DevCount);
  EXPECT_EQ(Count(log_.Events(), "AfterDevScan " + std::to_string(expected_.DevCount)),
            expected_.Loaded ? 2 : 0);
}

// The two callbacks are public: a bridge may call them at any time, with any
// byte count. They reach only the live component, whatever its state.
TEST_P(CallerInput, CallbacksReachOnlyTheLiveComponent) {
  THIDreport report{};
  report.ReportID = 3;
  for (const std::uint8_t count : {0, 1, 64, 65, 255}) HIDreader(report, count);
  const std::vector<std::string> reports = {"GetHIDData 0", "GetHIDData 1", "GetHIDData 64",
                                            "GetHIDData 65", "GetHIDData 255"};
  EventLog& live = state_ == State::Refused ? liveLog_ : log_;
  EXPECT_EQ(live.Take(), reports);

  CheckUSBevent();
  CheckUSBevent();
  Pump();
  const auto events = live.Take();
  // A component without the bridge scans nothing and says nothing.
  const bool liveIsBound = state_ == State::Refused || expected_.Loaded;
  EXPECT_EQ(Count(events, "DevClose"), liveIsBound ? 2 : 0);
  EXPECT_EQ(events.empty(), !liveIsBound);
}

INSTANTIATE_TEST_SUITE_P(, CallerInput, ::testing::ValuesIn(CallerStates()), StateCaseName);

}  // namespace
}  // namespace vyhid_test
