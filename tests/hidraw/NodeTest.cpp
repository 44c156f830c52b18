// Report framing, and an open node's read loop and transfers against a
// stand-in for a hidraw node: a SOCK_SEQPACKET socket pair, which like hidraw
// hands over one whole report per read and hangs up when the other end goes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

#include "Diagnostics.h"
#include "GraceTimer.h"
#include "Node.h"
#include "ProcessCounts.h"
#include "Reports.h"

extern "C" int __real_pthread_mutex_unlock(pthread_mutex_t* mutex);

namespace vyhid::hidraw {
namespace {

using descriptor::Parse;
using Bytes = std::vector<std::uint8_t>;

struct Piece {
  std::uint8_t id;
  Bytes data;  // the first count bytes
  bool rest_zero;
};

std::vector<Piece> Split(const Bytes& raw, bool numbered) {
  std::vector<Piece> pieces;
  SplitInputReport(raw, numbered, [&](const THIDreport& r, std::uint8_t count) {
    Piece p{r.ReportID, Bytes(r.Data.Bytes, r.Data.Bytes + count), true};
    for (std::size_t i = count; i < kPayloadBytes; ++i) p.rest_zero &= r.Data[i] == 0;
    pieces.push_back(std::move(p));
    return true;
  });
  return pieces;
}

Bytes Sequence(std::size_t n, std::uint8_t first = 1) {
  Bytes b(n);
  for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(first + i);
  return b;
}

TEST(SplitInputReport, NumberedReportsCarryTheirIdAndLongOnesComeInPieces) {
  Bytes raw = {7};
  const Bytes payload = Sequence(130);
  raw.insert(raw.end(), payload.begin(), payload.end());
  const std::vector<Piece> pieces = Split(raw, true);
  ASSERT_EQ(pieces.size(), 3u);
  EXPECT_EQ(pieces[0].data, Bytes(payload.begin(), payload.begin() + 64));
  EXPECT_EQ(pieces[1].data, Bytes(payload.begin() + 64, payload.begin() + 128));
  EXPECT_EQ(pieces[2].data, Bytes(payload.begin() + 128, payload.end()));
  for (const Piece& p : pieces) {
    EXPECT_EQ(p.id, 7);
    EXPECT_TRUE(p.rest_zero);
  }
}

TEST(SplitInputReport, UnnumberedReportsAreAllPayload) {
  const std::vector<Piece> pieces = Split({0x05, 0x00, 0x03}, false);
  ASSERT_EQ(pieces.size(), 1u);
  EXPECT_EQ(pieces[0].id, 0);
  EXPECT_EQ(pieces[0].data, (Bytes{0x05, 0x00, 0x03}));
  EXPECT_TRUE(pieces[0].rest_zero);
  // Exactly 64 bytes: one piece, no empty tail.
  EXPECT_EQ(Split(Sequence(64), false).size(), 1u);
}

TEST(SplitInputReport, EmptyPayloadIsOnePieceOfNothing) {
  const std::vector<Piece> pieces = Split({9}, true);
  ASSERT_EQ(pieces.size(), 1u);
  EXPECT_EQ(pieces[0].id, 9);
  EXPECT_TRUE(pieces[0].data.empty());
}

TEST(SplitInputReport, SinkCanStopTheRest) {
  int calls = 0;
  SplitInputReport(Sequence(200), false, [&](const THIDreport&, std::uint8_t) {
    ++calls;
    return false;
  });
  EXPECT_EQ(calls, 1);
}

TEST(OutgoingReport, IdByteThenPayloadPaddedToTheReportLength) {
  THIDreport report{};
  report.ReportID = 3;
  for (std::size_t i = 0; i < kPayloadBytes; ++i) report.Data[i] = static_cast<std::uint8_t>(i + 1);
  Bytes bytes = BuildOutgoing(report, 4);
  EXPECT_EQ(bytes, (Bytes{3, 1, 2, 3, 4}));
  EXPECT_EQ(TakenBytes(4), 4);
  bytes = BuildOutgoing(report, 100);  // longer than a record: zeros after 64
  ASSERT_EQ(bytes.size(), 101u);
  EXPECT_EQ(bytes[64], 64);
  EXPECT_EQ(bytes[65], 0);
  EXPECT_EQ(bytes[100], 0);
  EXPECT_EQ(TakenBytes(100), 64);
}

TEST(FetchedReport, PayloadAfterTheIdByteAndZerosAfterIt) {
  THIDreport report;
  std::memset(&report, 0xEE, sizeof report);
  EXPECT_EQ(StoreFetched(report, Bytes{5, 0xA, 0xB}), 2);
  EXPECT_EQ(report.ReportID, 0xEE);  // left as the caller set it
  EXPECT_EQ(report.Data[0], 0xA);
  EXPECT_EQ(report.Data[1], 0xB);
  EXPECT_EQ(report.Data[2], 0);
  EXPECT_EQ(report.Data[63], 0);
  Bytes big(1 + 200, 0x11);
  EXPECT_EQ(StoreFetched(report, big), 64);
}

// A device with input report 1 (8 bytes), output report 2 (4 bytes) and
// feature report 3 (2 bytes).
const Bytes kNumberedDevice = {0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x75, 0x08,
                               0x85, 0x01, 0x95, 0x08, 0x09, 0x01, 0x81, 0x02, 0x85,
                               0x02, 0x95, 0x04, 0x09, 0x02, 0x91, 0x02, 0x85, 0x03,
                               0x95, 0x02, 0x09, 0x03, 0xB1, 0x02, 0xC0};

// Run once, on its thread, right after that thread's next unlock of a
// mutex: the test binary is linked with pthread_mutex_unlock wrapped, so that
// a test can step in between two steps of the code under test.
thread_local const std::function<void()>* tAfterUnlock = nullptr;

// One end of a socket pair as the node, the other as the device.
struct FakeNode {
  FakeNode() {
    int fds[2];
    EXPECT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds), 0);
    node = std::make_shared<Node>("fake-node", UniqueFd(fds[0]), true, Parse(kNumberedDevice));
    device.Reset(fds[1]);
  }
  void Send(const Bytes& b) {
    ASSERT_EQ(::write(device.get(), b.data(), b.size()), ssize_t(b.size()));
  }

  std::shared_ptr<Node> node;
  UniqueFd device;
};

// Collects delivered pieces and lets a test wait for a number of them.
struct Collector {
  std::mutex mutex;
  std::condition_variable arrived;
  std::vector<Piece> pieces;

  PieceSink Sink() {
    return [this](const THIDreport& r, std::uint8_t count) {
      std::lock_guard lock(mutex);
      pieces.push_back(Piece{r.ReportID, Bytes(r.Data.Bytes, r.Data.Bytes + count), true});
      arrived.notify_all();
      return true;
    };
  }
  bool WaitFor(std::size_t n) {
    std::unique_lock lock(mutex);
    return arrived.wait_for(lock, std::chrono::seconds(10), [&] { return pieces.size() >= n; });
  }
};

TEST(Node, ReadLoopDeliversReportsUntilStopped) {
  FakeNode fake;
  ASSERT_TRUE(fake.node->valid());
  Collector collector;
  std::thread reader([&] { fake.node->ReadLoop(collector.Sink()); });
  fake.Send({1, 10, 11, 12, 13, 14, 15, 16, 17});
  Bytes long_report = {1};
  const Bytes payload = Sequence(100);
  long_report.insert(long_report.end(), payload.begin(), payload.end());
  fake.Send(long_report);
  ASSERT_TRUE(collector.WaitFor(3));
  fake.node->RequestStop();
  reader.join();  // returns: the stop event woke the loop
  EXPECT_FALSE(fake.node->gone());
  ASSERT_EQ(collector.pieces.size(), 3u);
  EXPECT_EQ(collector.pieces[0].data, (Bytes{10, 11, 12, 13, 14, 15, 16, 17}));
  EXPECT_EQ(collector.pieces[1].data.size(), 64u);
  EXPECT_EQ(collector.pieces[2].data.size(), 36u);
  EXPECT_EQ(collector.pieces[2].id, 1);
}

TEST(Node, ReadLoopEndsQuietlyWhenTheDeviceGoes) {
  FakeNode fake;
  Collector collector;
  std::thread reader([&] { fake.node->ReadLoop(collector.Sink()); });
  fake.Send({1, 1, 2, 3, 4, 5, 6, 7, 8});
  ASSERT_TRUE(collector.WaitFor(1));
  fake.device.Reset();  // unplugged: the node hangs up
  reader.join();
  EXPECT_TRUE(fake.node->gone());
  EXPECT_EQ(collector.pieces.size(), 1u);
  // Calls on a gone device fail with 0. (The socket standing in for the
  // node would raise SIGPIPE, which a hidraw node does not.)
  std::signal(SIGPIPE, SIG_IGN);
  THIDreport report{};
  report.ReportID = 2;
  EXPECT_EQ(fake.node->SendOutput(report), 0);
}

// A queue that filled while the loop waited is read report after report, in
// order; emptied, the loop waits again, where a stop reaches it.
TEST(Node, AQueuedBurstArrivesWholeAndInOrder) {
  FakeNode fake;
  for (std::uint8_t i = 0; i < 100; ++i) fake.Send({1, i, 0, 0, 0, 0, 0, 0, 0});
  Collector collector;
  std::thread reader([&] { fake.node->ReadLoop(collector.Sink()); });
  ASSERT_TRUE(collector.WaitFor(100));
  fake.node->RequestStop();
  reader.join();
  ASSERT_EQ(collector.pieces.size(), 100u);
  for (std::uint8_t i = 0; i < 100; ++i) EXPECT_EQ(collector.pieces[i].data[0], i);
}

// A stop cancels the read thread inside its read only: a callback that
// waits (a cancellation point) while the stop comes runs to its end.
TEST(Node, AStopDuringACallbackLetsTheCallbackFinish) {
  FakeNode fake;
  std::mutex mutex;
  std::condition_variable changed;
  bool entered = false, stop_sent = false, finished = false;
  std::thread reader([&] {
    fake.node->ReadLoop([&](const THIDreport&, std::uint8_t) {
      std::unique_lock lock(mutex);
      entered = true;
      changed.notify_all();
      changed.wait(lock, [&] { return stop_sent; });
      finished = true;
      return true;
    });
  });
  fake.Send({1, 1, 2, 3, 4, 5, 6, 7, 8});
  std::unique_lock lock(mutex);
  changed.wait(lock, [&] { return entered; });
  fake.node->RequestStop();
  stop_sent = true;
  changed.notify_all();
  lock.unlock();
  reader.join();
  EXPECT_TRUE(finished);
}

TEST(Node, NothingIsDeliveredAfterAStopRequest) {
  FakeNode fake;
  fake.Send({1, 1, 2, 3, 4, 5, 6, 7, 8});
  fake.node->RequestStop();
  int calls = 0;
  fake.node->ReadLoop([&](const THIDreport&, std::uint8_t) { return ++calls, true; });
  EXPECT_EQ(calls, 0);
}

// A hold ends only when due. A resume that comes as it ends, at the first
// moment the ending thread lets a lock go, fails: an open never takes up a
// node whose loop is ending.
TEST(Node, AHoldEndsWhenDueAndAResumeAsItEndsFails) {
  const auto due = std::chrono::steady_clock::now();
  FakeNode fake;
  ASSERT_TRUE(fake.node->Hold(due));
  EXPECT_FALSE(fake.node->EndHoldIfDue(due - std::chrono::milliseconds(1)));
  std::optional<bool> resumed;
  const std::function<void()> open = [&] { resumed = fake.node->Resume(); };
  tAfterUnlock = &open;  // between whatever steps the end of the hold takes
  EXPECT_TRUE(fake.node->EndHoldIfDue(due));
  EXPECT_EQ(resumed, false) << "a node whose hold was ending was resumed";
}

// The grace timer's thread runs only while a node is held: armed for a node
// released before it first looks, it ends.
TEST(GraceTimer, ItsThreadEndsWhenNothingIsHeld) {
  const int threads = Threads();
  GraceTimer timer;
  ASSERT_TRUE(
      timer.Arm(std::weak_ptr<Node>(), std::chrono::steady_clock::now() + std::chrono::hours(1)));
  EXPECT_TRUE(ThreadsFallTo(threads));
  std::thread stopped = timer.Stop();
  if (stopped.joinable()) stopped.join();
}

TEST(Node, OutputReportsAreFramedToTheirLength) {
  FakeNode fake;
  THIDreport report{};
  report.ReportID = 2;
  for (std::size_t i = 0; i < kPayloadBytes; ++i)
    report.Data[i] = static_cast<std::uint8_t>(0x40 + i);
  EXPECT_EQ(fake.node->SendOutput(report), 4);
  Bytes received(100);
  const ssize_t n = ::read(fake.device.get(), received.data(), received.size());
  ASSERT_EQ(n, 5);
  received.resize(5);
  EXPECT_EQ(received, (Bytes{2, 0x40, 0x41, 0x42, 0x43}));

  report.ReportID = 1;  // an input report, not an output one
  EXPECT_EQ(fake.node->SendOutput(report), 0);
  report.ReportID = 9;  // no such report
  EXPECT_EQ(fake.node->SendOutput(report), 0);
}

TEST(Node, ReadOnlyNodeRefusesOutput) {
  int fds[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds), 0);
  UniqueFd device(fds[1]);
  Node node{"fake-node", UniqueFd(fds[0]), false, Parse(kNumberedDevice)};
  THIDreport report{};
  report.ReportID = 2;
  EXPECT_EQ(node.SendOutput(report), 0);
}

TEST(Node, FeatureAndInputFetchFailOnANodeThatIsNotHidraw) {
  // The ioctls are refused by a socket: the failure shows as 0 and the
  // record's data is left alone.
  FakeNode fake;
  THIDreport report;
  std::memset(&report, 0x5A, sizeof report);
  report.ReportID = 3;
  EXPECT_EQ(fake.node->FetchFeature(report), 0);
  EXPECT_EQ(fake.node->SendFeature(report), 0);
  report.ReportID = 1;
  EXPECT_EQ(fake.node->FetchInput(report), 0);
  EXPECT_EQ(report.Data[0], 0x5A);
}

// A device that waits interruptibly (uhid, Bluetooth): every other call is
// interrupted by a signal, the next one succeeds and, for a fetch, answers
// with a payload of 0x42 bytes after the ID byte.
int InterruptedEveryOtherCall(int, unsigned long request, void* argument) {
  static thread_local bool interrupt = true;
  if (std::exchange(interrupt, !interrupt)) {
    errno = EINTR;
    return -1;
  }
  const auto size = static_cast<int>(_IOC_SIZE(request));
  std::memset(static_cast<std::uint8_t*>(argument) + 1, 0x42, static_cast<std::size_t>(size - 1));
  return size;
}

TEST(Node, FeatureAndInputTransfersInterruptedBySignalsAreRetried) {
  FakeNode fake;
  fake.node->UseIoctl(InterruptedEveryOtherCall);
  THIDreport report{};
  report.ReportID = 3;
  EXPECT_EQ(fake.node->SendFeature(report), 2);
  EXPECT_EQ(fake.node->FetchFeature(report), 2);
  EXPECT_EQ(report.Data[1], 0x42);
  report.ReportID = 1;
  EXPECT_EQ(fake.node->FetchInput(report), 8);
}

class OpenNodeTest : public testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/vyhid-node-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  std::filesystem::path dir_;
};

TEST_F(OpenNodeTest, OpensReadWrite) {
  const std::string path = dir_ / "hidraw0";
  UniqueFd(::open(path.c_str(), O_CREAT | O_WRONLY, 0666));
  bool read_write = false;
  EXPECT_TRUE(OpenNode(path, read_write));
  EXPECT_TRUE(read_write);
}

TEST_F(OpenNodeTest, MissingNodeFailsAfterTheSettleTime) {
  bool read_write = false;
  const UniqueFd fd = OpenNode(dir_ / "hidraw9", read_write, std::chrono::milliseconds(50));
  EXPECT_FALSE(fd);
  EXPECT_EQ(errno, ENOENT);
}

TEST_F(OpenNodeTest, WaitsForANodeThatAppears) {
  const std::string path = dir_ / "hidraw1";
  bool read_write = false;
  std::atomic<bool> opened{false};
  std::thread opener(
      [&] { opened = static_cast<bool>(OpenNode(path, read_write, std::chrono::seconds(20))); });
  // The node appears while the open waits (or before it starts: either way
  // the open must succeed, and well before its bound).
  UniqueFd(::open(path.c_str(), O_CREAT | O_WRONLY, 0666));
  opener.join();
  EXPECT_TRUE(opened);
}

TEST_F(OpenNodeTest, OtherErrorsFailAtOnce) {
  bool read_write = false;
  // A directory cannot be opened for writing: EISDIR, not worth waiting for.
  EXPECT_FALSE(OpenNode(dir_.string(), read_write, std::chrono::seconds(20)));
  EXPECT_EQ(errno, EISDIR);
}

// Every failure leaves its reason for HIDlastError: the call, the node and
// the system's text, under the code a caller acts on.
TEST_F(OpenNodeTest, FailuresRecordTheCallTheNodeAndTheReason) {
  bool read_write = false;
  const std::string missing = dir_ / "hidraw7";
  EXPECT_FALSE(OpenNode(missing, read_write, std::chrono::milliseconds(0)));
  EXPECT_EQ(abi::LastError().code, ENOENT);
  EXPECT_EQ(std::string(abi::LastError().text), "open(" + missing + "): " + std::strerror(ENOENT));

  // /dev/null opens like a node but refuses the hidraw ioctls.
  UniqueFd fd = OpenNode("/dev/null", read_write);
  ASSERT_TRUE(fd);
  Node node("/dev/null", std::move(fd), read_write, Parse(kNumberedDevice));
  THIDreport report{};
  report.ReportID = 3;
  EXPECT_EQ(node.FetchFeature(report), 0);
  EXPECT_EQ(abi::LastError().code, ENOTTY);
  EXPECT_EQ(std::string(abi::LastError().text),
            std::string("ioctl HIDIOCGFEATURE(/dev/null): ") + std::strerror(ENOTTY));
  report.ReportID = 9;
  EXPECT_EQ(node.FetchInput(report), 0);
  EXPECT_EQ(abi::LastError().code, EINVAL);
  EXPECT_NE(std::string(abi::LastError().text).find("no input report with ID 9"),
            std::string::npos);
}

}  // namespace
}  // namespace vyhid::hidraw

extern "C" int __wrap_pthread_mutex_unlock(pthread_mutex_t* mutex) {
  const int result = __real_pthread_mutex_unlock(mutex);
  if (const auto* step = std::exchange(vyhid::hidraw::tAfterUnlock, nullptr)) (*step)();
  return result;
}
