// hostile-app: an application on TVyHID and the hidraw bridge, under attack
// from the device fuzzer (uhid-fuzz.c), which it starts and outlives.
//
// Environment: HOSTILE_SEED and HOSTILE_SECONDS (from the kernel's command
// line), HOSTILE_DESCRIPTORS (the fuzzer's descriptor folder).
//
// While the fuzzer runs it keeps scanning, opens the fuzzer's devices with
// AutoConnect, sends output and feature reports of random lengths and fetches
// input and feature reports. Every input piece it receives is checked against
// the fuzzer's side channel (hostile.h) by the component's rules: the report
// ID byte taken off when the device numbers its reports, the rest in pieces
// of 64 bytes, zero-filled, in the order sent. A piece that matches no report
// the open device sent, or that skips back, is a finding. A watchdog aborts
// the program when a call has not returned within kCallBound. Every report
// that never arrived is tied to a cause (LossCause); one with none is a
// finding. When the open device is destroyed, the other threads' CPU time
// is measured while the application does nothing: a thread still busy on a
// device that is gone is a finding. Descriptors and threads are counted
// after the start and at the end. The figures and the findings are printed
// as "@@ HOSTILE-..." lines.
#include <dirent.h>
#include <fcntl.h>
#include <linux/uhid.h>
#include <poll.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <bitset>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "VyHID.h"
#include "hostile.h"
#include "rtl/DynLib.h"
#include "vcl/Forms.h"

namespace {

constexpr const char* kBridge = "/opt/vyhid/lib/HID_Bridge__.dll";
constexpr const char* kFuzzer = "/opt/vyhid/bin/uhid-fuzz";
// The kernel waits 5 s for a uhid device's answer; a send of three feature
// reports to a device that never answers waits three times. The rest is
// room for a machine emulated without acceleration and shared with others.
constexpr auto kCallBound = std::chrono::seconds(60);
constexpr auto kKernelAnswerWait = std::chrono::seconds(5);
// How long the fuzzer may outlive its time before it counts as hung.
constexpr auto kFuzzerGrace = std::chrono::seconds(60);
constexpr std::size_t kPiece = 64;
constexpr int kFindingsShown = 20;
// Reports kept after they were received or passed over, to tell a piece
// delivered twice or out of order from one never sent.
constexpr std::size_t kHistory = 256;
// The kernel keeps a ring of 64 reports for each reader of a hidraw node,
// one slot always free: a report that arrives while 63 wait is dropped.
constexpr std::size_t kReaderQueue = 64;
// While the open device's destruction is checked, the application does
// nothing for this long. In its last kSpinTail, once the reader has
// delivered what the kernel still held, no other thread may use more than
// kSpinShare of the processor without a piece being delivered meanwhile.
constexpr auto kSpinWindow = std::chrono::milliseconds(300);
constexpr auto kSpinTail = std::chrono::milliseconds(150);
constexpr double kSpinShare = 0.5;
constexpr std::uint64_t kNever = UINT64_MAX;
// The side channel's memory is given back in steps of this many bytes read.
constexpr std::size_t kReleaseStep = std::size_t{1} << 20;

// Why a report the fuzzer announced never reached the application.
enum class LossCause {
  kNotOpen,         // it arrived while the application did not have the device
                    // open (before the open, after a close, across a reopen) or
                    // was still in the node's queue at the close, which drops it
  kDestroyed,       // the device was destroyed before the report could be read
  kKernelQueue,     // the reader's queue in the kernel was full when it arrived
  kKernelEmpty,     // zero bytes: the kernel's HID core drops an empty report
  kKernelNoReport,  // its report ID is not an input report of the descriptor,
                    // which the kernel's HID core drops
  kKernelShort,     // shorter than the descriptor declares its report: the
                    // kernel's HID core drops it (the guest's kernel among
                    // those that no longer fill the rest with zeros)
  kRefused,         // uhid refused it (the fuzzer logs that)
  kUnexplained,     // none of these: a finding
  kCount
};
constexpr std::array<const char*, static_cast<std::size_t>(LossCause::kCount)> kLossNames = {
    "not_open",     "destroyed", "kernel_queue", "kernel_empty", "kernel_no_such_report",
    "kernel_short", "refused",   "unexplained"};

[[gnu::format(printf, 1, 2)]] void Say(const char* fmt, ...) {
  char buf[1024];
  int n = snprintf(buf, sizeof buf, "@@ ");
  va_list ap;
  va_start(ap, fmt);
  n += vsnprintf(buf + n, sizeof buf - static_cast<std::size_t>(n) - 1, fmt, ap);
  va_end(ap);
  n = std::min(n, static_cast<int>(sizeof buf) - 2);
  buf[n++] = '\n';
  if (write(STDOUT_FILENO, buf, static_cast<std::size_t>(n)) < 0) std::abort();
}

// Processor time (ns) of each thread of this process but the calling one,
// from the scheduler's statistics.
std::map<int, long long> OtherThreadsCpu() {
  std::map<int, long long> cpu;
  DIR* d = opendir("/proc/self/task");
  if (!d) {
    Say("ERROR opendir(/proc/self/task): %s", strerror(errno));
    return cpu;
  }
  const int self = static_cast<int>(gettid());
  while (const dirent* e = readdir(d)) {
    const int tid = std::atoi(e->d_name);
    if (tid <= 0 || tid == self) continue;
    const std::string path = std::string("/proc/self/task/") + e->d_name + "/schedstat";
    long long ns = 0;
    if (FILE* f = fopen(path.c_str(), "r")) {
      if (fscanf(f, "%lld", &ns) == 1) cpu[tid] = ns;
      fclose(f);
    }
  }
  closedir(d);
  return cpu;
}

int CountEntries(const char* dir) {
  DIR* d = opendir(dir);
  if (!d) {
    Say("ERROR opendir(%s): %s", dir, strerror(errno));
    return -1;
  }
  int n = 0;
  while (const dirent* e = readdir(d))
    if (e->d_name[0] != '.') ++n;
  closedir(d);
  return n;
}

// One report as the side channel announced it.
struct Sent {
  std::uint32_t len, first, key;
  char kind;
  std::uint64_t seq;   // its place among all the reports announced
  std::uint64_t t_us;  // when it was announced (HostileNowUs)
  bool announced_before_open = false;
  bool refused = false;
};

// The fuzzer's devices and what each sent, read from the side channel as it
// grows, and the pieces received, matched against them.
class Checker {
 public:
  // Takes the side channel's descriptor, and closes it.
  explicit Checker(int log_fd) : log_fd_(log_fd) {}
  Checker(const Checker&) = delete;
  Checker& operator=(const Checker&) = delete;
  ~Checker() { close(log_fd_); }

  // The device about to be opened: its reports so far were sent before the
  // open and are not expected, except the last one announced. The fuzzer
  // announces a report before it writes it, so that one may reach the kernel
  // only after the open, and then the new reader receives it. It is kept,
  // marked: received, it counts as written after the open; passed over, as
  // written before it.
  void Opening(const std::string& serial) {
    const std::lock_guard lock(mutex_);
    Tail();
    Stream& s = streams_[serial];
    // What is left from an earlier time this device was open; the last
    // report announced stays expected.
    const bool keep = s.announced && !s.last.refused;
    for (std::size_t k = 0; k < s.reports.size(); ++k)
      if (!keep || s.reports[k].seq != s.last.seq) Lost(s, s.reports[k], k == 0 ? s.piece : 0);
    s.reports.clear();
    if (keep) {
      Sent last = s.last;
      last.announced_before_open = true;
      s.reports.push_back(last);
    }
    s.piece = 0;
    s.opened = true;
    s.open_seq = kNever;
    s.closed.clear();
    s.receipts.clear();
    s.received_seq = 0;
    current_ = serial;
  }

  // The open device opened, by the application or again by a scan: the
  // reports announced from now on reach its reader.
  void Opened() {
    const std::lock_guard lock(mutex_);
    Tail();
    if (current_.empty()) return;
    Stream& s = streams_[current_];
    if (s.open_seq == kNever)
      s.open_seq = seq_;
    else if (!s.closed.empty() && s.closed.back().to == kNever)
      s.closed.back().to = seq_;
  }

  // The open device closed (by the application or a scan): what it sent
  // after the last report received and before it is open again is gone with
  // the node's queue, or came while no reader was there.
  void Closed() {
    const std::lock_guard lock(mutex_);
    Tail();
    if (current_.empty()) return;
    Stream& s = streams_[current_];
    s.closed.push_back(Window{s.received_seq, seq_, kNever});
  }

  // True once for each destruction of the device open now, seen on the side
  // channel before the application closed it.
  bool OpenDeviceDestroyed() {
    const std::lock_guard lock(mutex_);
    Tail();
    auto it = streams_.find(current_);
    if (it == streams_.end()) return false;
    Stream& s = it->second;
    const bool open = s.open_seq != kNever && (s.closed.empty() || s.closed.back().to != kNever);
    if (!s.destroyed || s.spin_checked || !open) return false;
    s.spin_checked = true;
    return true;
  }

  std::string Current() {
    const std::lock_guard lock(mutex_);
    return current_;
  }

  // On the bridge's thread: one piece of an input report.
  void Received(const THIDreport& report, std::uint8_t count) {
    const std::lock_guard lock(mutex_);
    ++pieces_;
    Tail();
    auto it = streams_.find(current_);
    if (it == streams_.end())
      return Finding("a piece while no fuzzer device is open", report, count);
    Stream& s = it->second;
    std::size_t piece = s.piece;
    for (std::size_t r = 0; r < s.reports.size(); ++r, piece = 0) {
      for (; piece < Pieces(s, s.reports[r]); ++piece) {
        if (!Matches(s, s.reports[r], piece, report, count)) continue;
        if (s.reports[r].announced_before_open && piece == 0) Late(s.reports[r]);
        for (std::size_t k = 0; k < r; ++k) Lost(s, s.reports[k], k == 0 ? s.piece : 0);
        if (s.received_seq != s.reports[r].seq) {
          s.receipts.push_back(Receipt{s.reports[r].t_us, HostileNowUs()});
          if (s.receipts.size() > kHistory) s.receipts.pop_front();
          s.received_seq = s.reports[r].seq;
        }
        for (std::size_t k = 0; k < r; ++k) Done(s, s.reports[k]);
        s.reports.erase(s.reports.begin(), s.reports.begin() + static_cast<std::ptrdiff_t>(r));
        if (piece > s.piece && r == 0) lost_pieces_ += piece - s.piece;
        s.piece = piece + 1;
        if (s.piece == Pieces(s, s.reports.front())) {
          Done(s, s.reports.front());
          s.reports.pop_front();
          s.piece = 0;
        }
        ++matched_;
        return;
      }
    }
    for (const Sent& r : s.done)
      for (std::size_t k = 0; k < Pieces(s, r); ++k)
        if (Matches(s, r, k, report, count))
          return Finding("a piece delivered again, or after a later one", report, count);
    for (const auto& [serial, other] : streams_) {
      for (const Sent& r : other.reports)
        for (std::size_t k = 0; k < Pieces(other, r); ++k)
          if (&other != &s && Matches(other, r, k, report, count))
            return Finding(("a piece another device sent: " + serial).c_str(), report, count);
    }
    Finding("a piece no device sent", report, count);
  }

  // The end: every report left unreceived is lost, by its kind.
  void Finish() {
    const std::lock_guard lock(mutex_);
    Tail();
    for (auto& [serial, s] : streams_) {
      if (!s.opened) {
        never_opened_ += s.reports.size();
        continue;
      }
      for (std::size_t k = 0; k < s.reports.size(); ++k)
        Lost(s, s.reports[k], k == 0 ? s.piece : 0);
    }
    Say("HOSTILE-RECEIVED pieces=%lu matched=%lu findings=%lu devices=%zu sent=%lu "
        "before_open=%lu never_opened=%lu written_after_open=%lu",
        pieces_, matched_, findings_, streams_.size(), sent_, before_open_, never_opened_,
        written_after_open_);
    std::string causes;
    for (std::size_t c = 0; c < kLossNames.size(); ++c)
      causes += std::string(" ") + kLossNames[c] + "=" + std::to_string(lost_[c]);
    std::string kinds;
    for (const auto& [kind, n] : lost_by_kind_)
      kinds += " " + std::string(1, kind) + "=" + std::to_string(n);
    Say("HOSTILE-LOST%s pieces_inside_reports=%lu by_kind:%s", causes.c_str(), lost_pieces_,
        kinds.c_str());
  }

  unsigned long findings() {
    const std::lock_guard lock(mutex_);
    return findings_;
  }

  // The most memory the side channel held, and its length, in KiB.
  std::pair<std::size_t, std::size_t> LogKib() {
    const std::lock_guard lock(mutex_);
    return {most_held_ / 1024, read_ / 1024};
  }

  void Finding(const char* what, const std::string& detail) {
    const std::lock_guard lock(mutex_);
    Note(what, detail);
  }

  bool Ended() {
    const std::lock_guard lock(mutex_);
    Tail();
    return ended_;
  }

 private:
  // Reports announced from after `from` (the last one received before a
  // close, at `close`) to `to` (the reopen) found no reader.
  struct Window {
    std::uint64_t from, close, to;
  };
  // When a report the kernel queued was announced and when it was received.
  struct Receipt {
    std::uint64_t announced_us, received_us;
  };
  struct Stream {
    std::string serial;
    bool numbered = false;
    bool opened = false;
    bool announced = false;  // last holds the latest report announced
    bool destroyed = false;
    bool spin_checked = false;
    std::bitset<256> input_ids;                    // the report IDs of its Input items
    std::array<std::uint32_t, 256> input_bytes{};  // their lengths, the ID byte apart
    Sent last{};
    std::deque<Sent> reports;
    std::size_t piece = 0;  // pieces of the front report already received
    std::deque<Sent> done;  // the latest reports received or passed over
    std::uint64_t destroyed_seq = 0;
    // Since the application's open: when it completed (kNever before), the
    // closes, the last report received and the latest receipts.
    std::uint64_t open_seq = kNever;
    std::vector<Window> closed;
    std::uint64_t received_seq = 0;
    std::deque<Receipt> receipts;
  };

  static void Done(Stream& s, const Sent& r) {
    s.done.push_back(r);
    if (s.done.size() > kHistory) s.done.pop_front();
  }

  static std::size_t Payload(const Stream& s, const Sent& r) {
    return s.numbered ? (r.len > 0 ? r.len - 1 : 0) : r.len;
  }
  static std::size_t Pieces(const Stream& s, const Sent& r) {
    return std::max<std::size_t>(1, (Payload(s, r) + kPiece - 1) / kPiece);
  }

  static bool Matches(const Stream& s, const Sent& r, std::size_t piece, const THIDreport& got,
                      std::uint8_t count) {
    const std::size_t offset = piece * kPiece;
    const std::size_t want = std::min(kPiece, Payload(s, r) - offset);
    if (count != want || got.ReportID != (s.numbered && r.len > 0 ? r.first : 0)) return false;
    for (std::size_t i = 0; i < kPiece; ++i) {
      const std::size_t raw = offset + i + (s.numbered ? 1 : 0);
      const std::uint8_t expected = i >= want ? 0
                                    : raw == 0
                                        ? static_cast<std::uint8_t>(r.first)
                                        : HostileByte(r.key, static_cast<std::uint32_t>(raw));
      if (got.Data.Bytes[i] != expected) return false;
    }
    return true;
  }

  // Reports before r the reader had not yet taken when r was announced:
  // received later than that (a receipt comes after the read, so this
  // counts the one being read too, never too few).
  static std::size_t Waiting(const Stream& s, const Sent& r) {
    std::size_t n = 0;
    for (auto it = s.receipts.rbegin(); it != s.receipts.rend(); ++it) {
      if (it->announced_us >= r.t_us) continue;
      if (it->received_us < r.t_us) break;
      ++n;
    }
    return n;
  }

  // The length below which the kernel drops an input report: the declared
  // one, capped at uhid's largest report (less the ID byte when numbered).
  static std::size_t KernelReportBytes(const Stream& s, std::uint32_t id) {
    const std::size_t most = std::size_t{UHID_DATA_MAX} - (s.numbered ? 1 : 0);
    return std::min<std::size_t>(s.input_bytes[id], most);
  }

  static LossCause Cause(const Stream& s, const Sent& r, bool partial) {
    if (r.refused) return LossCause::kRefused;
    if (r.seq <= s.open_seq) return LossCause::kNotOpen;
    if (!partial && r.len == 0) return LossCause::kKernelEmpty;
    const std::uint32_t id = s.numbered ? r.first : 0;
    if (!partial && !s.input_ids.test(id)) return LossCause::kKernelNoReport;
    if (!partial && Payload(s, r) < KernelReportBytes(s, id)) return LossCause::kKernelShort;
    for (const Window& w : s.closed)
      if (w.from <= r.seq && r.seq <= w.to)
        return s.destroyed && s.destroyed_seq <= w.close ? LossCause::kDestroyed
                                                         : LossCause::kNotOpen;
    if (!partial && Waiting(s, r) >= kReaderQueue - 1) return LossCause::kKernelQueue;
    if (s.destroyed && r.seq > s.received_seq) return LossCause::kDestroyed;
    return LossCause::kUnexplained;
  }

  void Lost(const Stream& s, const Sent& r, std::size_t pieces_received) {
    if (r.announced_before_open && pieces_received == 0) {
      ++before_open_;
      return;
    }
    const LossCause cause = Cause(s, r, pieces_received != 0);
    ++lost_[static_cast<std::size_t>(cause)];
    if (pieces_received != 0)
      ++lost_pieces_;
    else
      ++lost_by_kind_[r.kind];
    if (cause != LossCause::kUnexplained) return;
    char detail[200];
    snprintf(detail, sizeof detail,
             "serial=%s seq=%llu len=%u first=%u kind=%c pieces_received=%zu waiting=%zu "
             "closes=%zu destroyed=%d",
             s.serial.c_str(), static_cast<unsigned long long>(r.seq), r.len, r.first, r.kind,
             pieces_received, Waiting(s, r), s.closed.size(), s.destroyed ? 1 : 0);
    Note("a report lost with no known cause", detail);
  }

  void Finding(const char* what, const THIDreport& report, std::uint8_t count) {
    char head[96];
    snprintf(head, sizeof head, "serial=%s id=%u count=%u data=", current_.c_str(), report.ReportID,
             count);
    std::string detail = head;
    for (std::size_t i = 0; i < kPiece; ++i) {
      char hex[3];
      snprintf(hex, sizeof hex, "%02x", report.Data.Bytes[i]);
      detail += hex;
    }
    Note(what, detail);
  }

  // A report announced before the open reached the new reader: the case the
  // checker once took for a piece no device sent.
  void Late(const Sent& r) {
    const std::chrono::duration<double> t = std::chrono::steady_clock::now() - start_;
    if (++written_after_open_ <= kFindingsShown)
      Say("HOSTILE-AFTER-OPEN t=%.1fs serial=%s len=%u first=%u key=%u kind=%c", t.count(),
          current_.c_str(), r.len, r.first, r.key, r.kind);
  }

  void Note(const char* what, const std::string& detail) {
    const std::chrono::duration<double> t = std::chrono::steady_clock::now() - start_;
    if (++findings_ <= kFindingsShown)
      Say("HOSTILE-FINDING t=%.1fs %s: %s", t.count(), what, detail.c_str());
  }

  // Reads the lines the fuzzer has added since the last call.
  void Tail() {
    char buf[65536];
    for (;;) {
      const ssize_t n = read(log_fd_, buf, sizeof buf);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        Say("ERROR read(%s): %s", HOSTILE_LOG, strerror(errno));
        std::abort();
      }
      if (n == 0) break;
      pending_.append(buf, static_cast<std::size_t>(n));
      read_ += static_cast<std::size_t>(n);
    }
    Release();
    std::size_t start = 0;
    for (std::size_t nl; (nl = pending_.find('\n', start)) != std::string::npos; start = nl + 1)
      Line(pending_.c_str() + start);
    pending_.erase(0, start);
  }

  // Gives back the memory of what has been read: the side channel lives in
  // the guest's RAM and grows by some 40 MiB in a quarter of an hour, which
  // would fill it during a long run.
  void Release() {
    const std::size_t upto = read_ / kReleaseStep * kReleaseStep;
    if (upto <= released_) return;
    if (fallocate(log_fd_, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE,
                  static_cast<off_t>(released_), static_cast<off_t>(upto - released_)) != 0) {
      Say("ERROR fallocate(%s, punch hole): %s", HOSTILE_LOG, strerror(errno));
      std::abort();
    }
    released_ = upto;
    struct stat st {};
    if (fstat(log_fd_, &st) == 0)
      most_held_ = std::max(most_held_, static_cast<std::size_t>(st.st_blocks) * 512);
  }

  void Line(const char* line) {
    char serial[64];
    int numbered = 0;
    Sent r{};
    unsigned long long t = 0;
    int used = 0, count = 0;
    if (sscanf(line, "I %63s %u %u %u %c %llu", serial, &r.len, &r.first, &r.key, &r.kind, &t) ==
        6) {
      ++sent_;
      Stream& s = streams_[serial];
      r.seq = ++seq_;
      r.t_us = t;
      s.last = r;
      s.announced = true;
      if (s.opened) s.reports.push_back(r);
    } else if (sscanf(line, "X %63s", serial) == 1) {
      Stream& s = streams_[serial];
      s.last.refused = true;
      if (s.opened && !s.reports.empty() && s.reports.back().seq == s.last.seq)
        s.reports.back().refused = true;
    } else if (sscanf(line, "D %63s %llu", serial, &t) == 2) {
      Stream& s = streams_[serial];
      s.destroyed = true;
      s.destroyed_seq = seq_;
    } else if (sscanf(line, "C %63s %d %d%n", serial, &numbered, &count, &used) == 3) {
      Stream& s = streams_[serial];
      s.serial = serial;
      s.numbered = numbered != 0;
      const char* ids = line + used;
      unsigned id = 0, bytes = 0;
      for (int k = 0, n = 0; k < count && sscanf(ids, "%u:%u%n", &id, &bytes, &n) == 2;
           ++k, ids += n) {
        s.input_ids.set(id & 0xff);
        s.input_bytes[id & 0xff] = bytes;
      }
    } else if (line[0] == 'E') {
      ended_ = true;
    }
  }

  std::mutex mutex_;
  const std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
  const int log_fd_;
  std::string pending_;
  std::size_t read_ = 0, released_ = 0, most_held_ = 0;  // bytes of the side channel
  std::map<std::string, Stream> streams_;
  std::string current_;
  std::array<unsigned long, kLossNames.size()> lost_{};
  std::map<char, unsigned long> lost_by_kind_;
  std::uint64_t seq_ = 0;
  unsigned long pieces_ = 0, matched_ = 0, findings_ = 0, sent_ = 0, before_open_ = 0,
                never_opened_ = 0, lost_pieces_ = 0, written_after_open_ = 0;
  bool ended_ = false;
};

// Aborts the process when one call has run longer than kCallBound: a hang
// is a finding, and the abort's stack says where.
class Watchdog {
 public:
  Watchdog() : thread_(&Watchdog::Run, this) {}
  Watchdog(const Watchdog&) = delete;
  Watchdog& operator=(const Watchdog&) = delete;
  ~Watchdog() {
    {
      const std::lock_guard lock(mutex_);
      stop_ = true;
    }
    wake_.notify_one();
    thread_.join();
  }

  // Runs fn as the call named what, timed; returns how long it took.
  template <class Fn>
  std::chrono::milliseconds Time(const char* what, Fn&& fn) {
    const auto start = std::chrono::steady_clock::now();
    {
      const std::lock_guard lock(mutex_);
      call_ = what;
      started_ = start;
    }
    fn();
    const auto took = std::chrono::steady_clock::now() - start;
    const std::lock_guard lock(mutex_);
    call_ = nullptr;
    longest_ = std::max(longest_, std::chrono::duration_cast<std::chrono::milliseconds>(took));
    return std::chrono::duration_cast<std::chrono::milliseconds>(took);
  }

  long long Longest() {
    const std::lock_guard lock(mutex_);
    return static_cast<long long>(longest_.count());
  }

 private:
  void Run() {
    std::unique_lock lock(mutex_);
    while (!stop_) {
      wake_.wait_for(lock, std::chrono::seconds(1));
      if (call_ != nullptr && std::chrono::steady_clock::now() - started_ > kCallBound) {
        Say("HOSTILE-FINDING hang: %s has not returned after %lld s", call_,
            static_cast<long long>(kCallBound.count()));
        std::abort();
      }
    }
  }

  std::mutex mutex_;
  std::condition_variable wake_;
  const char* call_ = nullptr;
  std::chrono::steady_clock::time_point started_;
  std::chrono::milliseconds longest_{0};
  bool stop_ = false;
  std::thread thread_;
};

class App {
 public:
  App(std::uint64_t seed, Checker& checker)
      : rng_(seed * 0x9e3779b97f4a7c15ull + 7), checker_(checker), hid_(nullptr) {
    hid_.OnGetHIDData = TOnGetHIDData(this, &App::GetHIDData);
    hid_.OnDevOpen = TOnDevOpen(this, &App::DevOpen);
    hid_.OnDevClose = TNotifyEvent(this, &App::DevClose);
    hid_.OnAfterDevScan = TOnAfterDevScan(this, &App::AfterDevScan);
    hid_.AutoConnect = true;
  }

  // One random step of the application.
  void Step() {
    vcl::Application.ProcessMessages();
    if (checker_.OpenDeviceDestroyed()) CheckNoSpin();
    const std::uint32_t roll = Below(100);
    if (roll < 5 || devices_.empty()) {
      dog_.Time("ScanForHIDdevices", [&] { hid_.ScanForHIDdevices(); });
      ++scans_;
    } else if (!hid_.Active || roll < 8) {
      OpenOne();
    } else if (roll < 30) {
      Send(false);
    } else if (roll < 45) {
      Send(true);
    } else if (roll < 60) {
      Fetch(roll < 52);
    } else if (roll < 62) {
      dog_.Time("CloseHidDevice", [&] { hid_.CloseHidDevice(); });
    } else {
      // Input flows on the bridge's thread; here the message loop waits
      // for the next device change, at most a few milliseconds.
      pollfd fd{vcl::Application.EventFd(), POLLIN, 0};
      poll(&fd, 1, static_cast<int>(Below(20)));
    }
  }

  void End() {
    dog_.Time("CloseHidDevice", [&] { hid_.CloseHidDevice(); });
    dog_.Time("ScanForHIDdevices", [&] { hid_.ScanForHIDdevices(); });
    vcl::Application.ProcessMessages();
    Say("HOSTILE-CALLS scans=%lu opens=%lu sends=%lu fetches=%lu timed_out=%lu longest_ms=%lld "
        "spin_checks=%lu busiest_share=%.2f",
        scans_, opens_, sends_, fetches_, timed_out_, dog_.Longest(), spin_checks_, busiest_share_);
  }

 private:
  std::uint32_t Below(std::uint32_t n) {
    return static_cast<std::uint32_t>(HostileNext(&rng_) % n);
  }

  void GetHIDData(rtl::TObject*, THIDreport Report, std::uint8_t BytesCount) {
    pieces_delivered_.fetch_add(1, std::memory_order_relaxed);
    checker_.Received(Report, BytesCount);
  }

  void DevOpen(rtl::TObject*, std::int32_t, TVyHIDDevInfo DevInfo) {
    checker_.Opened();
    const std::string serial(ReadShortString(DevInfo.HIDinfo.SerialNumberString));
    if (serial != checker_.Current())
      checker_.Finding("opened a device other than the one asked for",
                       serial + " instead of " + checker_.Current());
  }

  void DevClose(rtl::TObject*) { checker_.Closed(); }

  void AfterDevScan(rtl::TObject*, std::int32_t DevCount, THIDinfoArray& slots) {
    devices_.clear();
    for (std::int32_t i = 0; i < DevCount && i < static_cast<std::int32_t>(slots.size()); ++i) {
      const std::string serial(
          ReadShortString(slots[static_cast<std::size_t>(i)].HIDinfo.SerialNumberString));
      if (serial.rfind(HOSTILE_SERIAL_PREFIX, 0) == 0) devices_[i] = serial;
    }
  }

  // The open device has just been destroyed. The application stays out of
  // the component for kSpinWindow (no message is handled, so no scan closes
  // the device) and measures each of its other threads' processor time in
  // the window's last kSpinTail: the bridge's reader must notice the device
  // is gone and stop, not spin until the application happens to close it.
  // A tail in which pieces were still delivered is not judged: the reader
  // was draining the kernel's queue, and this checker's matching runs on its
  // thread. The waits are the measured intervals themselves.
  void CheckNoSpin() {
    std::this_thread::sleep_for(kSpinWindow - kSpinTail);
    const unsigned long pieces = pieces_delivered_.load(std::memory_order_relaxed);
    const std::map<int, long long> before = OtherThreadsCpu();
    const auto start = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(kSpinTail);
    const std::chrono::duration<double> wall = std::chrono::steady_clock::now() - start;
    const std::map<int, long long> after = OtherThreadsCpu();
    if (pieces_delivered_.load(std::memory_order_relaxed) != pieces) return;
    int busiest = 0;
    double share = 0;
    for (const auto& [tid, ns] : after) {
      const auto was = before.find(tid);
      const double used = static_cast<double>(ns - (was == before.end() ? 0 : was->second)) * 1e-9;
      if (used / wall.count() > share) {
        share = used / wall.count();
        busiest = tid;
      }
    }
    ++spin_checks_;
    busiest_share_ = std::max(busiest_share_, share);
    if (share > kSpinShare) {
      char detail[160];
      snprintf(detail, sizeof detail,
               "%s: thread %d used %.0f ms of CPU in %.0f ms, %.0f ms after its destruction",
               checker_.Current().c_str(), busiest, share * wall.count() * 1e3, wall.count() * 1e3,
               std::chrono::duration<double, std::milli>(kSpinWindow - kSpinTail).count());
      checker_.Finding("a thread kept busy while the open device is gone", detail);
    }
  }

  void OpenOne() {
    if (devices_.empty()) return;
    auto it = devices_.begin();
    std::advance(it, Below(static_cast<std::uint32_t>(devices_.size())));
    const auto [nr, serial] = *it;
    // Closing first: assigning Active, even false, opens CurrentDevNr, and
    // that number may name another device since the last scan.
    dog_.Time("CloseHidDevice", [&] { hid_.CloseHidDevice(); });
    checker_.Opening(serial);
    dog_.Time("open", [&] {
      hid_.CurrentDevNr = nr;
      hid_.Active = true;
    });
    ++opens_;
  }

  rtl::RawByteString RandomBytes() {
    rtl::RawByteString bytes(Below(4) == 0 ? Below(200) : Below(65), '\0');
    for (char& c : bytes) c = static_cast<char>(HostileNext(&rng_));
    return bytes;
  }

  void Send(bool feature) {
    const auto id = static_cast<std::uint8_t>(Below(8));
    const rtl::RawByteString bytes = RandomBytes();
    dog_.Time(feature ? "SetFeature" : "SetReport", [&] {
      if (feature)
        hid_.SetFeature(id, bytes);
      else
        hid_.SetReport(id, bytes);
    });
    ++sends_;
  }

  void Fetch(bool feature) {
    THIDreport report{};
    report.ReportID = static_cast<std::uint8_t>(Below(8));
    std::int32_t rc = 0;
    const auto took = dog_.Time(feature ? "GetFeature" : "GetReport", [&] {
      rc = feature ? hid_.GetFeature(report) : hid_.GetReport(report);
    });
    ++fetches_;
    if (took >= kKernelAnswerWait && rc <= 0) ++timed_out_;
  }

  std::uint64_t rng_;
  Checker& checker_;
  Watchdog dog_;
  std::map<std::int32_t, std::string> devices_;  // number -> serial, the fuzzer's only
  unsigned long scans_ = 0, opens_ = 0, sends_ = 0, fetches_ = 0, timed_out_ = 0, spin_checks_ = 0;
  double busiest_share_ = 0;
  std::atomic<unsigned long> pieces_delivered_{0};
  TVyHID hid_;
};

pid_t StartFuzzer(const std::string& seed, const std::string& seconds, const char* descriptors) {
  std::string a0 = kFuzzer, a1 = seed, a2 = seconds, a3 = descriptors;
  char* argv[] = {a0.data(), a1.data(), a2.data(), a3.data(), nullptr};
  pid_t pid = -1;
  const int rc = posix_spawn(&pid, kFuzzer, nullptr, nullptr, argv, environ);
  if (rc != 0) {
    Say("ERROR posix_spawn(%s): %s", kFuzzer, strerror(rc));
    return -1;
  }
  return pid;
}

int Run(rtl::HMODULE) {
  const char* seed_text = std::getenv("HOSTILE_SEED");
  const char* seconds_text = std::getenv("HOSTILE_SECONDS");
  const char* descriptors = std::getenv("HOSTILE_DESCRIPTORS");
  if (!seed_text || !seconds_text || !descriptors) {
    Say("ERROR HOSTILE_SEED, HOSTILE_SECONDS and HOSTILE_DESCRIPTORS must be set");
    return 1;
  }
  const std::uint64_t seed = std::strtoull(seed_text, nullptr, 10);
  // Read-write: the checker gives back what it has read (Checker::Release).
  const int log_fd = open(HOSTILE_LOG, O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (log_fd < 0) {
    Say("ERROR open(%s): %s", HOSTILE_LOG, strerror(errno));
    return 1;
  }
  Checker checker(log_fd);
  App app(seed, checker);
  const int fds_before = CountEntries("/proc/self/fd");
  const int threads_before = CountEntries("/proc/self/task");
  Say("HOSTILE seed=%llu seconds=%s fds=%d threads=%d", static_cast<unsigned long long>(seed),
      seconds_text, fds_before, threads_before);
  const pid_t fuzzer = StartFuzzer(seed_text, seconds_text, descriptors);
  if (fuzzer < 0) return 1;
  const auto give_up = std::chrono::steady_clock::now() +
                       std::chrono::seconds(std::atoi(seconds_text)) + kFuzzerGrace;
  int status = 0;
  pid_t done = 0;
  while (done == 0) {
    app.Step();
    done = waitpid(fuzzer, &status, WNOHANG);
    if (done == 0 && std::chrono::steady_clock::now() > give_up) {
      checker.Finding("hang", "the fuzzer outlived its time; killed");
      kill(fuzzer, SIGKILL);
      done = waitpid(fuzzer, &status, 0);
    }
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
    checker.Finding("the fuzzer failed", "status " + std::to_string(status));
  if (!checker.Ended()) checker.Finding("the side channel", "has no end line");
  app.End();
  checker.Finish();
  // The same objects live as at the first count: the component, the
  // watchdog, the side channel; the devices are closed and gone.
  const int fds_after = CountEntries("/proc/self/fd");
  const int threads_after = CountEntries("/proc/self/task");
  const auto [held_kib, log_kib] = checker.LogKib();
  Say("HOSTILE-RESULT findings=%lu fds=%d->%d threads=%d->%d log_kib=%zu most_held_kib=%zu",
      checker.findings(), fds_before, fds_after, threads_before, threads_after, log_kib, held_kib);
  return 0;
}

}  // namespace

int main() {
  // Loading the bridge by path first makes the component's load by bare
  // name return this library.
  rtl::HMODULE module = rtl::LoadLibraryW(rtl::Utf8ToString(kBridge));
  if (module == 0) {
    Say("ERROR cannot load %s: %s", kBridge, rtl::StringToUtf8(rtl::LastLibraryError()).c_str());
    return 1;
  }
  const int rc = Run(module);
  rtl::FreeLibrary(module);
  return rc;
}
