// Stress: device changes from several threads while input flows and the
// application sends; components destroyed while the bridge delivers input;
// devices unplugged in the middle of long sends. Bounded in count; every
// test checks that nothing leaked (StressTest).
#include <atomic>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "StressSupport.h"
#include "vcl/Forms.h"

namespace vyhid_test {
namespace {

using Stress = StressTest;

// n bytes 1, 2, ... 255, 1, ... : never 0, so every byte tells its place.
std::string Pattern(std::size_t n) {
  std::string s(n, '\0');
  for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<char>(i % 255 + 1);
  return s;
}

TEST_F(Stress, TenThousandDeviceChangesFromTwoThreadsWhileInputFlowsAndTheApplicationSends) {
  constexpr int kPerThread = 5000;
  constexpr int kChanges = 2 * kPerThread;
  const THIDdeviceInfo kept = MakeSimpleDevice("/dev/stress-kept");
  const THIDdeviceInfo used = MakeSimpleDevice("/dev/stress-used");
  SetDevices({kept, used});

  TVyHID hid(nullptr);
  ASSERT_EQ(hid.ScanForHIDdevices(), 2);
  hid.CurrentDevNr = 1;
  hid.Active = true;
  ASSERT_TRUE(hid.Active);

  // Every scan must find both devices and end with the used one reopened.
  int scans = 0;
  std::atomic<int> scansDone{0};
  int badScans = 0;
  int reopens = 0;
  hid.OnAfterDevScan = [&](rtl::TObject*, std::int32_t n, THIDinfoArray&) {
    if (n != 2 || !hid.Active) ++badScans;
    scansDone = ++scans;
    scansDone.notify_all();
  };
  hid.OnDevOpen = [&](rtl::TObject*, std::int32_t nr, TVyHIDDevInfo) { reopens += nr == 1; };

  // Input at full rate on the bridge's thread, each report checked whole.
  const THIDreport report = NumberedReport(9);
  std::atomic<std::uint64_t> received{0};
  std::atomic<std::uint64_t> damaged{0};
  hid.OnGetHIDData = [&](rtl::TObject* sender, THIDreport r, std::uint8_t count) {
    if (sender != &hid || count != 64 || std::memcmp(&r, &report, sizeof r) != 0) ++damaged;
    received.fetch_add(1);
    received.notify_all();
  };
  sim.StartInputStream(&report, 64, kEndlessStream);
  WaitAtLeast(received, std::uint64_t{1});

  // The changers keep a few changes waiting for their scans, so that the
  // scans spread over many sends instead of running in one go.
  constexpr int kWaiting = 16;
  std::atomic<int> fired{0};
  std::vector<std::thread> changers;
  for (int t = 0; t < 2; ++t) {
    changers.emplace_back([&] {
      for (int i = 0; i < kPerThread; ++i) {
        for (int done = scansDone.load(); fired.load() - done >= kWaiting;
             done = scansDone.load()) {
          scansDone.wait(done);
        }
        fired.fetch_add(1);
        sim.FireDeviceChange();
      }
    });
  }
  // The application sends, short strings one after another, while the scans
  // come; each send lets the pending scans run between its reports, and must
  // still deliver every byte, since each scan reopens the device before the
  // next report.
  const std::string payload = Pattern(100);
  int sends = 0;
  int incompleteSends = 0;
  while (scans < kChanges) {
    if (hid.SetReport(1, payload) != 0) ++incompleteSends;
    ++sends;
  }
  for (std::thread& t : changers) t.join();
  Pump();
  sim.Reset();  // ends the stream
  const std::uint64_t reports = received.load();

  EXPECT_EQ(scans, kChanges);
  EXPECT_EQ(badScans, 0);
  EXPECT_EQ(reopens, kChanges);
  EXPECT_GT(sends, 0);
  EXPECT_EQ(incompleteSends, 0);
  EXPECT_GT(reports, 0u);
  EXPECT_EQ(damaged.load(), 0u);
  Figure("device changes", kChanges);
  Figure("sends of 100 bytes", sends);
  Figure("input reports", static_cast<long long>(reports));
}

// Components created and destroyed while the bridge's thread delivers input
// and another thread reports device changes, which meet each component while
// it is being constructed.
TEST_F(Stress, ThousandComponentsDestroyedWhileTheBridgeDeliversInput) {
  constexpr int kGenerations = 1000;
  constexpr int kChangesPerGeneration = 10;
  const THIDdeviceInfo device = MakeSimpleDevice("/dev/stress0");
  const THIDreport report = NumberedReport(1);

  // One record per component, kept to the end, so that a report reaching a
  // destroyed component is counted rather than written into freed memory.
  struct Generation {
    std::atomic<bool> alive{true};
    std::atomic<int> reports{0};
  };
  std::vector<std::unique_ptr<Generation>> generations;
  std::atomic<int> lateReports{0};
  std::atomic<int> wrongSender{0};

  // Fires a burst of device changes as each component is being created; it
  // may lag behind, so that its bursts meet the components at any point of
  // their lives.
  std::atomic<int> go{0};
  std::thread changer([&] {
    for (int g = 1; g <= kGenerations; ++g) {
      WaitAtLeast(go, g);
      for (int i = 0; i < kChangesPerGeneration; ++i) sim.FireDeviceChange();
    }
  });
  int scans = 0;
  int explicitScans = 0;

  for (int g = 0; g < kGenerations; ++g) {
    generations.push_back(std::make_unique<Generation>());
    Generation& gen = *generations.back();
    SetDevices({device});

    go = g + 1;
    go.notify_all();
    auto hid = std::make_unique<TVyHID>(nullptr);
    hid->OnAfterDevScan = [&scans](rtl::TObject*, std::int32_t, THIDinfoArray&) { ++scans; };
    EXPECT_EQ(aVyHID.load(), hid.get());
    // The handler is in place before the stream starts: assigning an event
    // is not synchronised with the bridge's thread.
    hid->OnGetHIDData = [&gen, &lateReports, &wrongSender, raw = hid.get()](
                            rtl::TObject* sender, THIDreport, std::uint8_t) {
      if (!gen.alive.load()) ++lateReports;
      // A virtual call through the sender: on a destroyed component this is
      // a use-after-free for AddressSanitizer and a race with the
      // destructor for ThreadSanitizer.
      const auto* component = dynamic_cast<const TVyHID*>(sender);
      if (component != raw || component->ClassName() != u"TVyHID") ++wrongSender;
      gen.reports.fetch_add(1);
      gen.reports.notify_all();
    };
    if (g % 4 == 1) {
      // Some of them with a device open, as an application would have it.
      hid->ScanForHIDdevices();
      ++explicitScans;
      hid->CurrentDevNr = 0;
      hid->Active = true;
    }
    sim.StartInputStream(&report, 64, kEndlessStream);
    WaitAtLeast(gen.reports, 1);
    Pump();       // the changes that reached this component scan now
    hid.reset();  // while the bridge's thread goes on delivering
    gen.alive = false;
    sim.Reset();  // drops the rest of the stream, waiting for the report in hand
  }

  changer.join();
  Pump();  // changes posted to destroyed components go nowhere

  long long reports = 0;
  for (const auto& gen : generations) reports += gen->reports.load();
  EXPECT_EQ(lateReports.load(), 0);
  EXPECT_EQ(wrongSender.load(), 0);
  // At most one scan per device change, plus the ones asked for.
  EXPECT_LE(scans, kGenerations * kChangesPerGeneration + explicitScans);
  Figure("components", kGenerations);
  Figure("device changes", kGenerations * kChangesPerGeneration);
  Figure("scans", scans);
  Figure("input reports", reports);
}

// A device unplugged on another thread while a long send runs: the removal
// comes once the bridge has echoed kAfter reports back, at whatever point the
// send has then reached, and at the latest before report kLatest.
TEST_F(Stress, UnpluggedFromAnotherThreadDuringALongSend) {
  constexpr int kRounds = 20;
  constexpr int kAfter = 50;
  constexpr int kLatest = 2000;
  const THIDdeviceInfo unplugged = MakeSimpleDevice("/dev/stress-unplugged");
  const THIDdeviceInfo other = MakeSimpleDevice("/dev/stress-other");
  const std::string data = Pattern(1 << 20);

  for (int round = 0; round < kRounds; ++round) {
    SetDevices({unplugged, other});
    sim.SetEcho(1);
    TVyHID hid(nullptr);
    hid.ScanForHIDdevices();
    hid.CurrentDevNr = 0;
    hid.Active = true;
    ASSERT_TRUE(hid.Active);

    std::atomic<int> echoes{0};
    hid.OnGetHIDData = [&](rtl::TObject*, THIDreport, std::uint8_t) {
      echoes.fetch_add(1);
      echoes.notify_all();
    };
    std::atomic<bool> removed{false};
    std::thread unplugger([&] {
      WaitAtLeast(echoes, kAfter);
      sim.RemoveDevice(0);
      removed = true;
      removed.notify_all();
    });
    // Keeps the send from finishing before the removal has happened.
    LoopTurnHook gate(kLatest, [&] { removed.wait(false); });

    ClearCalls();
    const std::int32_t notSent = hid.SetReport(3, data);
    unplugger.join();

    // Every report the bridge took is accounted for; the rest is reported.
    long long taken = 0;
    for (const SimCall& call : Calls()) {
      if (std::strcmp(call.Name, "HIDSetOutputReport") == 0) taken += call.Result;
    }
    EXPECT_GT(notSent, 0);
    EXPECT_EQ(notSent + taken, static_cast<long long>(data.size()));

    // The rescan has run and left the device lost; plugged in again, it is
    // reopened and takes a whole send.
    Pump();
    EXPECT_FALSE(hid.Active);
    EXPECT_EQ(hid.DevCount, 1);
    sim.AddDevice(&unplugged);
    Pump();
    EXPECT_TRUE(hid.Active);
    EXPECT_EQ(hid.SetReport(3, Pattern(300)), 0);
    sim.SetEcho(0);
    sim.WaitInputStream();
  }
  Figure("rounds of a 1 MiB send", kRounds);
}

// A device unplugged by the application's own code between two reports of a
// send, at several points: when it is the device being sent to, the rest of
// the send is dropped and reported; when it is another one, the rescan moves
// the open device to its new number and the send goes on to its end.
TEST_F(Stress, UnpluggedBetweenTheReportsOfALongSend) {
  const THIDdeviceInfo first = MakeSimpleDevice("/dev/stress-first");
  const THIDdeviceInfo second = MakeSimpleDevice("/dev/stress-second");
  const std::string data = Pattern(256 * 1024);  // 4096 reports
  int rounds = 0;

  for (const int at : {1, 2, 63, 64, 1000, 4095}) {
    for (const bool unplugTheOpenOne : {true, false}) {
      SetDevices({first, second});
      TVyHID hid(nullptr);
      hid.ScanForHIDdevices();
      hid.CurrentDevNr = 1;
      hid.Active = true;
      ASSERT_TRUE(hid.Active);
      int scans = 0;
      hid.OnAfterDevScan = [&](rtl::TObject*, std::int32_t, THIDinfoArray&) { ++scans; };

      LoopTurnHook hook(at, [&] { sim.RemoveDevice(unplugTheOpenOne ? 1 : 0); });
      const std::int32_t notSent = hid.SetReport(5, data);

      if (unplugTheOpenOne) {
        // Report `at` was the last one taken; the next one found no device.
        EXPECT_EQ(notSent, static_cast<std::int32_t>(data.size()) - 64 * at) << "at " << at;
        EXPECT_FALSE(hid.Active);
      } else {
        EXPECT_EQ(notSent, 0) << "at " << at;
        EXPECT_TRUE(hid.Active);
        EXPECT_EQ(sim.OpenDevice(), 0);
      }
      EXPECT_EQ(scans, 1) << "at " << at;
      ++rounds;
    }
  }
  Figure("rounds of a 256 KiB send", rounds);
}

}  // namespace
}  // namespace vyhid_test
