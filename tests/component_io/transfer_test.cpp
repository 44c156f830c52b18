// Sending byte strings as reports, fetching single reports, and payloads as
// byte strings.
#include <cstring>
#include <memory>
#include <stdexcept>

#include "IoTestSupport.h"
#include "VyHIDTestSupport.h"

namespace vyhid_test {
namespace {

using Events = std::vector<std::string>;
using Names = std::vector<std::string>;

const THIDdeviceInfo kA = MakeSimpleDevice("/dev/hidraw-a", 0x1111, 0x0001);
const THIDdeviceInfo kB = MakeSimpleDevice("/dev/hidraw-b", 0x2222, 0x0002);

constexpr char kOut[] = "HIDSetOutputReport";
constexpr char kFeature[] = "HIDSetFeatureReport";

class Transfer : public SimBridgeTest {
 protected:
  void SetUp() override {
    SimBridgeTest::SetUp();
    hid = std::make_unique<TVyHID>(nullptr);
    SetDevices({kA, kB});
    hid->ScanForHIDdevices();
    hid->CurrentDevNr = 0;
    hid->Active = true;
    ASSERT_TRUE(hid->Active);
    RecordEvents(*hid, log);
    ClearCalls();
  }
  void TearDown() override {
    hid.reset();
    SimBridgeTest::TearDown();
  }

  // The reports passed to one send entry point, in order.
  std::vector<THIDreport> Sent(std::string_view entryPoint) const {
    std::vector<THIDreport> reports;
    for (const SimCall& call : Calls()) {
      if (entryPoint == call.Name) reports.push_back(call.Report);
    }
    return reports;
  }
  std::vector<std::string> SentPayloads(std::string_view entryPoint) const {
    std::vector<std::string> payloads;
    for (const THIDreport& r : Sent(entryPoint)) payloads.push_back(PayloadOf(r));
    return payloads;
  }
  // The payloads that a string sent k bytes at a time must produce.
  static std::vector<std::string> Expected(const std::string& data, std::size_t k) {
    std::vector<std::string> payloads;
    for (std::size_t at = 0; at < data.size(); at += k)
      payloads.push_back(Payload(data.substr(at)));
    return payloads;
  }

  std::unique_ptr<TVyHID> hid;
  EventLog log;
};

TEST_F(Transfer, AnEmptyStringSendsNothing) {
  EXPECT_EQ(hid->SetReport(1, ""), 0);
  EXPECT_EQ(hid->SetFeature(1, ""), 0);
  EXPECT_EQ(CallNames(), Names{});
}

TEST_F(Transfer, EachReportCarriesTheNextBytesPaddedWithZeros) {
  struct Case {
    std::size_t length, k;
    std::size_t reports;
  };
  for (const Case c :
       {Case{10, 64, 1}, Case{64, 64, 1}, Case{65, 64, 2}, Case{20, 8, 3}, Case{200, 1, 200}}) {
    SCOPED_TRACE(testing::Message() << c.length << " bytes, k = " << c.k);
    sim.SetSendTake(static_cast<std::int32_t>(c.k));
    const std::string data = Pattern(c.length);
    ClearCalls();
    EXPECT_EQ(hid->SetReport(7, data), 0);
    EXPECT_EQ(SentPayloads(kOut), Expected(data, c.k));
    EXPECT_EQ(Sent(kOut).size(), c.reports);
    for (const THIDreport& r : Sent(kOut)) EXPECT_EQ(r.ReportID, 7);

    ClearCalls();
    EXPECT_EQ(hid->SetFeature(9, data), static_cast<std::int32_t>(c.k));
    EXPECT_EQ(SentPayloads(kFeature), Expected(data, c.k));
  }
}

TEST_F(Transfer, ReportIdZeroGoesIntoEveryReport) {
  for (std::uint8_t id : {0, 255}) {
    ClearCalls();
    hid->SetReport(id, Pattern(130));
    ASSERT_EQ(Sent(kOut).size(), 3u);
    for (const THIDreport& r : Sent(kOut)) EXPECT_EQ(r.ReportID, id);
  }
}

TEST_F(Transfer, ABridgeTakingNothingGetsOneReportAndTheRestIsReported) {
  sim.SetSendTake(0);
  EXPECT_EQ(hid->SetReport(1, Pattern(10)), 10);  // bytes not sent
  EXPECT_EQ(Sent(kOut).size(), 1u);
  ClearCalls();
  EXPECT_EQ(hid->SetFeature(1, Pattern(10)), 0);
  EXPECT_EQ(Sent(kFeature).size(), 1u);
}

TEST_F(Transfer, ABridgeThatStopsPartWayLeavesTheUnsentCountAsTheResult) {
  {
    PostedAction stop([&] { sim.SetSendTake(0); });  // runs after the first report
    EXPECT_EQ(hid->SetReport(1, Pattern(200)), 136);
  }
  EXPECT_EQ(SentPayloads(kOut),
            (std::vector<std::string>{Payload(Pattern(200)), Payload(Pattern(136, 65))}));
  sim.SetSendTake(64);
  ClearCalls();
  {
    PostedAction stop([&] { sim.SetSendTake(0); });
    EXPECT_EQ(hid->SetFeature(1, Pattern(200)), 0);
  }
  EXPECT_EQ(Sent(kFeature).size(), 2u);
}

TEST_F(Transfer, AResultLargerThanWhatIsLeftEndsTheSend) {
  const std::string data = Pattern(68);
  EXPECT_EQ(hid->SetFeature(1, data), 64);  // the second report carried 4 bytes
  EXPECT_EQ(SentPayloads(kFeature), Expected(data, 64));
  ClearCalls();
  sim.SetSendTake(200);
  EXPECT_EQ(hid->SetFeature(1, Pattern(4)), 200);
  EXPECT_EQ(Sent(kFeature).size(), 1u);
}

TEST_F(Transfer, AResultAboveSixtyFourDropsNoByteThatWasNeverSent) {
  sim.SetSendTake(100);
  const std::string data = Pattern(200);
  EXPECT_EQ(hid->SetReport(1, data), 0);
  EXPECT_EQ(SentPayloads(kOut), Expected(data, 64));
  ClearCalls();
  EXPECT_EQ(hid->SetFeature(1, data), 100);
  EXPECT_EQ(SentPayloads(kFeature), Expected(data, 64));
}

TEST_F(Transfer, TheSendWorksOnItsOwnCopyOfTheString) {
  std::string data = Pattern(192);
  const std::string original = data;
  {
    // A handler run between reports replaces the caller's string.
    PostedAction change([&] {
      data.assign(1000, 'x');
      data.shrink_to_fit();
    });
    EXPECT_EQ(hid->SetReport(1, data), 0);
  }
  EXPECT_EQ(SentPayloads(kOut), Expected(original, 64));

  std::string kept = Pattern(100);
  hid->SetReport(1, kept);
  EXPECT_EQ(kept, Pattern(100));
}

TEST_F(Transfer, ASendStartedBetweenReportsRunsToItsEndWithItsOwnRecord) {
  const std::string outer = Pattern(192);
  const std::string inner = Pattern(100, 101);
  {
    PostedAction nested([&] { EXPECT_EQ(hid->SetReport(9, inner), 0); });
    EXPECT_EQ(hid->SetReport(1, outer), 0);
  }
  const std::vector<THIDreport> sent = Sent(kOut);
  ASSERT_EQ(sent.size(), 5u);
  const std::vector<std::uint8_t> ids = {sent[0].ReportID, sent[1].ReportID, sent[2].ReportID,
                                         sent[3].ReportID, sent[4].ReportID};
  EXPECT_EQ(ids, (std::vector<std::uint8_t>{1, 9, 9, 1, 1}));
  EXPECT_EQ(SentPayloads(kOut),
            (std::vector<std::string>{Payload(outer), Payload(inner), Payload(inner.substr(64)),
                                      Payload(outer.substr(64)), Payload(outer.substr(128))}));
}

TEST_F(Transfer, ARescanInTheMiddleSendsTheRestToTheDeviceOpenThen) {
  // A device-change message waits; when its scan has closed the device, the
  // device list changes so that the open device comes back as number 1.
  sim.FireDeviceChange();
  hid->OnDevClose = [&](rtl::TObject*) {
    log.Add("DevClose");
    SetDevices({kB, kA});
  };
  const std::string data = Pattern(192);
  EXPECT_EQ(hid->SetReport(1, data), 0);
  EXPECT_EQ(log.Take(), (Events{"DevClose", "DevOpen 1", "AfterDevScan 2"}));
  EXPECT_EQ(CallNames(), (Names{kOut, "HIDcloseDevice", "HIDscanForDevices", "HIDGetDeviceInfo",
                                "HIDGetDeviceInfo", "HIDopenDevice", kOut, kOut}));
  EXPECT_EQ(Calls()[5].Arg, 1);
  EXPECT_EQ(SentPayloads(kOut), Expected(data, 64));
  EXPECT_EQ(sim.OpenDevice(), 1);
}

TEST_F(Transfer, ADeviceRemovedInTheMiddleLeavesTheRestUnsent) {
  sim.FireDeviceChange();
  hid->OnDevClose = [&](rtl::TObject*) { SetDevices({kB}); };
  EXPECT_EQ(hid->SetReport(1, Pattern(192)), 128);
  EXPECT_EQ(Sent(kOut).size(), 2u);  // the second one found no device open
  EXPECT_FALSE(hid->Active);
}

TEST_F(Transfer, AnExceptionFromAHandlerBetweenReportsReachesTheCaller) {
  hid->OnDevClose = [](rtl::TObject*) { throw std::runtime_error("handler failed"); };
  sim.FireDeviceChange();
  // A large string: a working copy that leaked would show in the leak check.
  EXPECT_THROW(hid->SetReport(1, Pattern(1 << 20)), std::runtime_error);
  EXPECT_EQ(Sent(kOut).size(), 1u);

  // The component is still usable.
  hid->OnDevClose = nullptr;
  hid->Active = true;
  ClearCalls();
  EXPECT_EQ(hid->SetReport(1, Pattern(100)), 0);
  EXPECT_EQ(Sent(kOut).size(), 2u);
}

TEST_F(Transfer, AnExceptionFromTheBridgeReachesTheCaller) {
  sim.ScriptThrow(kFeature);
  EXPECT_THROW(hid->SetFeature(1, Pattern(300)), std::runtime_error);
  ClearCalls();
  EXPECT_EQ(hid->SetFeature(1, Pattern(10)), 64);
}

TEST_F(Transfer, AFetchClearsExactlyTheFirstSixtyThreeBytesAndFillsTheCallersRecord) {
  THIDreport stored{};
  stored.ReportID = 3;
  std::memcpy(stored.Data.Bytes, Pattern(64).data(), 64);
  sim.SetInputReport(&stored, 200);
  sim.SetFeatureReport(&stored, 201);

  using Fetch = std::int32_t (TVyHID::*)(THIDreport&);
  for (const auto& [fetch, entryPoint, result] :
       {std::tuple{Fetch{&TVyHID::GetReport}, "HIDGetInputReport", 200},
        std::tuple{Fetch{&TVyHID::GetFeature}, "HIDGetFeatureReport", 201}}) {
    SCOPED_TRACE(entryPoint);
    THIDreport report;
    std::memset(&report, 0xEE, sizeof report);
    report.ReportID = 3;
    report.Data[63] = 0xAA;
    ClearCalls();
    EXPECT_EQ((hid.get()->*fetch)(report), result);  // zero-extended

    ASSERT_EQ(CallNames(), Names{entryPoint});
    const THIDreport passed = Calls()[0].Report;
    EXPECT_EQ(passed.ReportID, 3);
    EXPECT_EQ(PayloadOf(passed), std::string(63, '\0') + '\xAA');
    // Filled in place.
    EXPECT_EQ(PayloadOf(report), PayloadOf(stored));
  }
}

TEST_F(Transfer, PayloadAsAByteString) {
  THIDreport rep{};
  rep.ReportID = 0x41;
  rep.Data[0] = 0x41;
  rep.Data[1] = 0x42;
  rep.Data[2] = 0x00;
  rep.Data[3] = 0x43;
  EXPECT_EQ(hid->GetStrFromBuffer(rep, 64), "AB");
  EXPECT_EQ(hid->GetStrFromBuffer(rep, 1), "A");
  EXPECT_EQ(hid->GetStrFromBuffer(rep, 0), "");
  EXPECT_EQ(hid->GetStrFromBuffer(rep, -5), "");

  rep.Data[0] = 0;
  EXPECT_EQ(hid->GetStrFromBuffer(rep, 64), "");

  // No zero byte: at most the 64 payload bytes, unchanged, whatever is asked.
  std::string high(64, '\0');
  for (int i = 0; i < 64; ++i) high[i] = static_cast<char>(0x80 + i * 2);
  std::memcpy(rep.Data.Bytes, high.data(), 64);
  EXPECT_EQ(hid->GetStrFromBuffer(rep, 64), high);
  EXPECT_EQ(hid->GetStrFromBuffer(rep, 65), high);
  EXPECT_EQ(hid->GetStrFromBuffer(rep, 1000), high);
  EXPECT_EQ(hid->GetStrFromBuffer(rep, 3), high.substr(0, 3));
  EXPECT_EQ(rep.ReportID, 0x41);
}

}  // namespace
}  // namespace vyhid_test
