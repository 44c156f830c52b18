// bench_enumerate: enumeration time on real hidraw devices, run as the
// application of the test VM (scripts/bench_vm.py).
//
// Four ways of listing (and a load) the same devices, timed in interleaved rounds so that
// they share whatever the machine is doing:
//   hidraw_bridge   the bridge's own work on a rescan: HIDscanForDevices, then
//                   HIDGetDeviceInfo for every device, through the entry
//                   points the component has bound (the devices are those of
//                   its previous scan, so it reads none of them again);
//   first_scan      the same on a bridge that has scanned nothing yet: a copy
//                   of the library loaded, used and unloaded every round;
//   bridge_load     that copy loaded and unloaded alone;
//   hid_enumerate   hidapi (hidraw backend): hid_enumerate(0, 0), then
//                   hid_free_enumeration;
//   component_scan  TVyHID::ScanForHIDdevices: the bridge's work plus the
//                   component's descriptions, search and events.
// Then the idle cost: device 0 open through the component and nothing
// happening for kIdle, the voluntary context switches of the program's
// threads, beside a thread blocked in hidapi's hid_read on the same device
// ("@@ BENCH IDLE ..."). Last, input lost across rescans: the uhid device
// sends kStream reports at about 1000 a second while the program rescans
// kRescans times, with the node kept open over each rescan (the component's
// ScanForHIDdevices) and with the node closed for real before each one
// ("@@ BENCH LOST ..."), and the rescan that first lists the uhid device
// made again after its removal, against hid_enumerate ("@@ BENCH ATTACH").
// Then reconnection: the open device unplugged and plugged back kReplugs
// times, the uhid device (destroyed and made again) and QEMU's keyboard (the
// host removes and adds it through QMP when the guest prints "@@ UNPLUG-KBD"
// and "@@ PLUG-KBD"), timed from the new node's appearance in /dev to
// OnDevOpen, beside one scan and one open of the same device
// ("@@ BENCH RECONNECT name=uhid|qmp ..."). Then input from a uhid device
// of the program's own, to OnGetHIDData and to hidapi's hid_read: what each
// gets of a burst, and the time from the write to the reader
// ("@@ BENCH INPUT ..."). Last, the growth with the number of devices
// ("@@ BENCH SCALE ...", "@@ BENCH ATTACH_MANY ...").
// Prints, for each, "@@ BENCH ENUM name=N entries=E rounds=R min_us=..
// median_us=.. mean_us=..", then "@@ BENCH RATIO name=value" lines (medians
// of the ratios within each round) and "@@ BENCH END". Exit status 0, or 1
// when something could not be measured.
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <hidapi.h>
#include <linux/uhid.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "Enumerate.h"
#include "UdevSystem.h"
#include "VyHID.h"
#include "vcl/Dialogs.h"
#include "vcl/Forms.h"

namespace {

using Clock = std::chrono::steady_clock;

// At least this many rounds, and more until the time budget is used up.
constexpr int kMinRounds = 20;
constexpr int kMaxRounds = 500;
constexpr std::chrono::seconds kBudget{20};
constexpr std::chrono::seconds kIdle{10};
constexpr int kStream = 2000;
constexpr int kRescans = 20;
constexpr int kAttachRounds = 10;
constexpr int kReplugs = 20;
constexpr int kBurst = 10000;
constexpr int kPaced = 300;
// Turns of the component and hidapi at the burst and the paced reports.
constexpr int kInputRounds = 3;
constexpr int kScale[] = {5, 8, 12, 16, 24, 32};
constexpr int kScaleAttach = 16;
constexpr int kScaleRounds = 10;
constexpr std::chrono::seconds kScaleBudget{4};
constexpr const char* kEchoControl = "/run/uhid-echo.ctl";
constexpr const char* kEchoProduct = "VyHID uhid echo";
constexpr const char* kKeyboardProduct = "QEMU USB Keyboard";
// The uhid device's 200-byte report 4 arrives in four pieces.
constexpr int kPiecesPerReport = 4;
constexpr std::uint8_t kStreamId = 4;

// Whether thread tid (0: not started) is asleep.
bool Sleeping(int tid) {
  if (tid == 0) return false;
  std::ifstream stat("/proc/self/task/" + std::to_string(tid) + "/stat");
  std::string line;
  std::getline(stat, line);
  const std::size_t end = line.rfind(')');
  return end != std::string::npos && end + 2 < line.size() && line[end + 2] == 'S';
}

// Voluntary context switches of every thread of this process, by thread id.
std::map<int, long> VoluntarySwitches() {
  std::map<int, long> switches;
  DIR* tasks = opendir("/proc/self/task");
  if (tasks == nullptr) return switches;
  while (const dirent* task = readdir(tasks)) {
    if (task->d_name[0] == '.') continue;
    std::ifstream status(std::string("/proc/self/task/") + task->d_name + "/status");
    for (std::string line; std::getline(status, line);) {
      if (line.rfind("voluntary_ctxt_switches:", 0) == 0) {
        switches[std::atoi(task->d_name)] = std::atol(line.c_str() + line.find(':') + 1);
      }
    }
  }
  closedir(tasks);
  return switches;
}

// When the bridge last reported a device change, and its last scan and open
// ran (steady clock ticks): stamped by the stand-ins that
// EnumerationProbe::StampEntryPoints puts before the bridge's own.
struct EntryStamps {
  std::atomic<std::int64_t> Heard{0}, ScanStart{0}, ScanEnd{0}, OpenStart{0}, OpenEnd{0};
  tHIDscanForDevices Scan = nullptr;
  tHIDopenDevice Open = nullptr;
};
EntryStamps gStamps;

std::int64_t Ticks() {
  return Clock::now().time_since_epoch().count();
}

// Reaches the bridge's entry points that the component has bound.
class EnumerationProbe : public TVyHID {
 public:
  using TVyHID::TVyHID;

  bool BridgeBound() const { return HIDscanForDevices != nullptr && HIDGetDeviceInfo != nullptr; }

  int BridgeEnumerate() {
    const int count = HIDscanForDevices();
    THIDdeviceInfo info{};
    for (int i = 0; i < count; ++i) HIDGetDeviceInfo(static_cast<std::uint8_t>(i), &info);
    return count;
  }

  void BridgeInfo(std::uint8_t nr, THIDdeviceInfo* info) { HIDGetDeviceInfo(nr, info); }

  // Closes a node kept open after a close for real, as a bridge without the
  // grace would have: opening another device ends the grace of the held one.
  void ReleaseHeld(std::uint8_t other) {
    HIDopenDevice(other);
    HIDcloseDevice();
  }

  // From now on the component's scans, opens and device-change callbacks
  // leave their times in gStamps.
  void StampEntryPoints() {
    gStamps.Scan = HIDscanForDevices;
    gStamps.Open = HIDopenDevice;
    HIDscanForDevices = []() -> std::uint8_t {
      gStamps.ScanStart = Ticks();
      const std::uint8_t n = gStamps.Scan();
      gStamps.ScanEnd = Ticks();
      return n;
    };
    HIDopenDevice = [](std::uint8_t nr) -> std::uint8_t {
      gStamps.OpenStart = Ticks();
      const std::uint8_t opened = gStamps.Open(nr);
      gStamps.OpenEnd = Ticks();
      return opened;
    };
    USBsetEventHandler([] {
      std::int64_t none = 0;
      gStamps.Heard.compare_exchange_strong(none, Ticks());  // the first since it was cleared
      CheckUSBevent();
    });
  }
  void UnstampEntryPoints() {
    HIDscanForDevices = gStamps.Scan;
    HIDopenDevice = gStamps.Open;
    USBsetEventHandler(CheckUSBevent);
  }

  // The file the component loaded the bridge from.
  std::string BridgeFile() const {
    Dl_info where{};
    if (dladdr(reinterpret_cast<void*>(HIDscanForDevices), &where) == 0) return {};
    return where.dli_fname != nullptr ? where.dli_fname : "";
  }
};

// The bridge's first scan: a copy of its library (another file, so another
// instance of the bridge), loaded, scanned, read and unloaded. -1 when it
// cannot be loaded.
int FirstScan(const std::string& copy, bool scan_too = true) {
  void* library = dlopen(copy.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) return -1;
  using Scan = std::uint8_t (*)();
  using Info = void (*)(std::uint8_t, THIDdeviceInfo*);
  auto* scan = reinterpret_cast<Scan>(dlsym(library, "HIDscanForDevices"));
  auto* info = reinterpret_cast<Info>(dlsym(library, "HIDGetDeviceInfo"));
  int count = -1;
  if (scan != nullptr && info != nullptr) {
    count = scan_too ? scan() : 0;
    THIDdeviceInfo record{};
    for (int i = 0; i < count; ++i) info(static_cast<std::uint8_t>(i), &record);
  }
  dlclose(library);
  return count;
}

// A uhid device of this program's own, for input at a rate and a time it
// chooses: report kBurstId carries a sequence number (bytes 0 to 3) and the
// time it was written (bytes 4 to 11, steady clock).
constexpr std::uint8_t kBurstId = 5;
constexpr std::size_t kBurstPayload = 16;
constexpr const char* kBurstProduct = "VyHID bench burst";
constexpr std::uint16_t kBurstPid = 0x0b05;
// The sequence number that tells a reader thread to end.
constexpr std::uint32_t kStopSeq = 0xffffffff;
// More devices of the same kind, to list.
constexpr const char* kFillerProduct = "VyHID bench filler";
constexpr std::uint16_t kFillerPid = 0x0b06;

class BurstDevice {
 public:
  bool Create(const char* product = kBurstProduct, std::uint16_t pid = kBurstPid) {
    fd_ = open("/dev/uhid", O_RDWR | O_CLOEXEC);
    if (fd_ < 0) return false;
    static const std::uint8_t descriptor[] = {
        0x06, 0x00,
        0xff,            // Usage Page (Vendor 0xFF00)
        0x09, 0x01,      // Usage (1)
        0xa1, 0x01,      // Collection (Application)
        0x85, kBurstId,  //   Report ID
        0x15, 0x00,      //   Logical Minimum (0)
        0x26, 0xff,
        0x00,                                            //   Logical Maximum (255)
        0x75, 0x08,                                      //   Report Size (8)
        0x95, static_cast<std::uint8_t>(kBurstPayload),  //   Report Count
        0x09, 0x01,                                      //   Usage (1)
        0x81, 0x02,                                      //   Input (Data, Variable, Absolute)
        0xc0,                                            // End Collection
    };
    uhid_event ev{};
    ev.type = UHID_CREATE2;
    std::snprintf(reinterpret_cast<char*>(ev.u.create2.name), sizeof ev.u.create2.name, "%s",
                  product);
    ev.u.create2.rd_size = sizeof descriptor;
    ev.u.create2.bus = BUS_USB;
    ev.u.create2.vendor = 0x1209;
    ev.u.create2.product = pid;
    std::memcpy(ev.u.create2.rd_data, descriptor, sizeof descriptor);
    if (write(fd_, &ev, sizeof ev) != static_cast<ssize_t>(sizeof ev)) return false;
    // Answers what the kernel asks of the device (no report is fetched or
    // set), so that nothing waits on it.
    stop_ = eventfd(0, EFD_CLOEXEC);
    if (stop_ < 0) return false;
    answer_ = std::thread([this] {
      uhid_event in{};
      pollfd fds[2] = {{fd_, POLLIN, 0}, {stop_, POLLIN, 0}};
      while (poll(fds, 2, -1) > 0 && (fds[1].revents & POLLIN) == 0 &&
             read(fd_, &in, sizeof in) > 0) {
        uhid_event reply{};
        if (in.type == UHID_GET_REPORT) {
          reply.type = UHID_GET_REPORT_REPLY;
          reply.u.get_report_reply.id = in.u.get_report.id;
          reply.u.get_report_reply.err = EIO;
        } else if (in.type == UHID_SET_REPORT) {
          reply.type = UHID_SET_REPORT_REPLY;
          reply.u.set_report_reply.id = in.u.set_report.id;
          reply.u.set_report_reply.err = EIO;
        } else {
          continue;
        }
        if (write(fd_, &reply, sizeof reply) < 0) break;
      }
    });
    return true;
  }

  // Report number seq, stamped with the time of the write.
  bool Send(std::uint32_t seq) {
    uhid_event ev{};
    ev.type = UHID_INPUT2;
    ev.u.input2.size = 1 + kBurstPayload;
    ev.u.input2.data[0] = kBurstId;
    const std::int64_t now = Clock::now().time_since_epoch().count();
    std::memcpy(ev.u.input2.data + 1, &seq, sizeof seq);
    std::memcpy(ev.u.input2.data + 1 + sizeof seq, &now, sizeof now);
    return write(fd_, &ev, sizeof ev) == static_cast<ssize_t>(sizeof ev);
  }

  ~BurstDevice() {
    if (fd_ < 0) return;
    uhid_event ev{};
    ev.type = UHID_DESTROY;
    if (write(fd_, &ev, sizeof ev) < 0) {
    }
    if (stop_ >= 0) eventfd_write(stop_, 1);
    if (answer_.joinable()) answer_.join();
    if (stop_ >= 0) close(stop_);
    close(fd_);
  }

 private:
  int fd_ = -1;
  int stop_ = -1;
  std::thread answer_;
};

// What a reader got of the burst device's reports: sequence numbers in the
// order they arrived and each one's time from its write, in microseconds.
struct Arrivals {
  std::mutex Mutex;
  std::condition_variable Arrived;
  std::vector<std::uint32_t> Seqs;
  std::vector<double> Micros;

  // The thread that delivered the first report since the last ForgetReader.
  std::atomic<int> Reader{0};

  void Add(const std::uint8_t* payload) {
    const std::int64_t now = Clock::now().time_since_epoch().count();
    if (Reader.load(std::memory_order_relaxed) == 0) Reader = static_cast<int>(gettid());
    std::uint32_t seq = 0;
    std::int64_t sent = 0;
    std::memcpy(&seq, payload, sizeof seq);
    std::memcpy(&sent, payload + sizeof seq, sizeof sent);
    {
      std::lock_guard lock(Mutex);
      Seqs.push_back(seq);
      Micros.push_back(
          std::chrono::duration<double, std::micro>(Clock::duration(now - sent)).count());
    }
    Arrived.notify_all();
  }
  void Clear() {
    std::lock_guard lock(Mutex);
    Seqs.clear();
    Micros.clear();
  }
  // Until count have arrived, or none for a second.
  void WaitFor(std::size_t count) {
    std::unique_lock lock(Mutex);
    for (std::size_t seen = Seqs.size(); Seqs.size() < count;) {
      Arrived.wait_for(lock, std::chrono::seconds(1), [&] { return Seqs.size() >= count; });
      if (Seqs.size() == seen) return;
      seen = Seqs.size();
    }
  }
  bool InOrder() {
    std::lock_guard lock(Mutex);
    return std::is_sorted(Seqs.begin(), Seqs.end()) &&
           std::adjacent_find(Seqs.begin(), Seqs.end()) == Seqs.end();
  }
};

// A thread's time on the processor (ns) and the times it was given it, from
// the scheduler's statistics: {-1, -1} when they cannot be read.
std::pair<long long, long long> RunTime(int tid) {
  std::ifstream stat("/proc/self/task/" + std::to_string(tid) + "/schedstat");
  long long run_ns = -1, waited_ns = -1, slices = -1;
  if (!(stat >> run_ns >> waited_ns >> slices)) return {-1, -1};
  return {run_ns, slices};
}

// The hidraw devices present as the bridge reads them straight from sysfs
// and as libudev shows them: true when both list the same devices with the
// same facts, field by field; otherwise says the first difference.
bool ReadersAgree(std::size_t& devices) {
  using vyhid::hidraw::DeviceFacts;
  const std::vector<DeviceFacts> direct =
      vyhid::hidraw::HidrawCache(vyhid::hidraw::MakeSysfsSystem()).Scan();
  const std::vector<DeviceFacts> udev =
      vyhid::hidraw::HidrawCache(vyhid::hidraw::MakeUdevSystem()).Scan();
  devices = direct.size();
  if (direct.size() != udev.size()) {
    std::printf("@@ ERROR sysfs lists %zu hidraw devices, libudev %zu\n", direct.size(),
                udev.size());
    return false;
  }
  for (std::size_t i = 0; i < direct.size(); ++i) {
    const DeviceFacts& a = direct[i];
    const DeviceFacts& b = udev[i];
    const std::pair<const char*, bool> fields[] = {
        {"devnode", a.devnode == b.devnode},
        {"bus", a.bus == b.bus},
        {"vendor_id", a.vendor_id == b.vendor_id},
        {"product_id", a.product_id == b.product_id},
        {"version", a.version == b.version},
        {"manufacturer", a.manufacturer == b.manufacturer},
        {"product", a.product == b.product},
        {"serial", a.serial == b.serial},
        {"interface_number", a.interface_number == b.interface_number},
        {"port_path", a.port_path == b.port_path},
        {"instance_name", a.instance_name == b.instance_name},
        {"report_descriptor", a.report_descriptor == b.report_descriptor},
        {"read_write", a.read_write == b.read_write},
    };
    for (const auto& [name, same] : fields) {
      if (!same) {
        std::printf("@@ ERROR %s: its %s read from sysfs differs from libudev's\n",
                    b.devnode.c_str(), name);
        return false;
      }
    }
    if (!(a == b)) {
      std::printf("@@ ERROR %s: read from sysfs differs from libudev\n", b.devnode.c_str());
      return false;
    }
  }
  return true;
}

int HidapiEnumerate() {
  hid_device_info* list = hid_enumerate(0, 0);
  int count = 0;
  for (const hid_device_info* d = list; d != nullptr; d = d->next) ++count;
  hid_free_enumeration(list);
  return count;
}

struct Method {
  const char* Name;
  std::function<int()> Run;
  std::vector<double> Micros;
  int Entries = -1;
};

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  const std::size_t n = v.size();
  return n % 2 != 0 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

double Mean(const std::vector<double>& v) {
  double sum = 0;
  for (double x : v) sum += x;
  return sum / static_cast<double>(v.size());
}

// Times the methods in interleaved rounds, at least min_rounds and then
// more until `until` or max_rounds, the order turning every round so that
// no method always runs first; each method must list what it listed before.
// The rounds run, or -1 when a method's count changed (said why).
int TimeInRounds(std::vector<Method>& methods, int min_rounds, int max_rounds,
                 Clock::time_point until) {
  int rounds = 0;
  while (rounds < min_rounds || (rounds < max_rounds && Clock::now() < until)) {
    for (std::size_t k = 0; k < methods.size(); ++k) {
      Method& m = methods[(k + static_cast<std::size_t>(rounds)) % methods.size()];
      const Clock::time_point t0 = Clock::now();
      const int entries = m.Run();
      const Clock::time_point t1 = Clock::now();
      m.Micros.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
      if (entries != m.Entries) {
        std::printf("@@ ERROR %s listed %d entries, then %d\n", m.Name, m.Entries, entries);
        return -1;
      }
    }
    // Device-change messages from the bridge's monitor would pile up.
    vcl::Application.ProcessMessages();
    ++rounds;
  }
  return rounds;
}

}  // namespace

int main() {
  vcl::SetMessagePresenter([](const rtl::String& text) {
    std::printf("@@ ERROR %s\n", rtl::StringToUtf8(text).c_str());
  });
  if (hid_init() != 0) {
    std::printf("@@ ERROR hid_init failed\n");
    return 1;
  }
  EnumerationProbe hid(nullptr);
  if (!hid.BridgeBound()) {
    std::printf("@@ ERROR the component did not bind HID_Bridge__.dll\n");
    return 1;
  }

  const std::string copy =
      "/tmp/first-scan-" + std::filesystem::path(hid.BridgeFile()).filename().string();
  std::error_code failed;
  std::filesystem::copy_file(hid.BridgeFile(), copy,
                             std::filesystem::copy_options::overwrite_existing, failed);
  if (failed) {
    std::printf("@@ ERROR copy of the bridge %s to %s: %s\n", hid.BridgeFile().c_str(),
                copy.c_str(), failed.message().c_str());
    return 1;
  }

  // The bridge reads what libudev would give, at every count of devices
  // below ("@@ BENCH READERS ...").
  std::size_t compared = 0;
  std::vector<std::size_t> compared_counts;
  const auto readers_agree = [&] {
    if (!ReadersAgree(compared)) return false;
    compared_counts.push_back(compared);
    return true;
  };
  if (!readers_agree()) return 1;

  std::vector<Method> methods;
  methods.push_back({"hidraw_bridge", [&] { return hid.BridgeEnumerate(); }, {}, -1});
  methods.push_back({"first_scan", [&] { return FirstScan(copy); }, {}, -1});
  methods.push_back({"hid_enumerate", [] { return HidapiEnumerate(); }, {}, -1});
  methods.push_back(
      {"component_scan", [&] { return static_cast<int>(hid.ScanForHIDdevices()); }, {}, -1});
  // The load and unload alone, to take from first_scan.
  methods.push_back({"bridge_load", [&] { return FirstScan(copy, false); }, {}, -1});

  // One untimed round: caches warm, the bridge's monitor started.
  for (Method& m : methods) m.Entries = m.Run();

  const int rounds = TimeInRounds(methods, kMinRounds, kMaxRounds, Clock::now() + kBudget);
  if (rounds < 0) return 1;

  for (const Method& m : methods) {
    std::printf(
        "@@ BENCH ENUM name=%s entries=%d rounds=%d min_us=%.1f median_us=%.1f mean_us=%.1f\n",
        m.Name, m.Entries, rounds, *std::min_element(m.Micros.begin(), m.Micros.end()),
        Median(m.Micros), Mean(m.Micros));
  }
  // Ratios within each round (the methods ran back to back), then their
  // median: drift of the machine's load over the run cancels out.
  const auto pairedRatio = [&](const Method& a, const Method& b) {
    std::vector<double> ratios;
    for (std::size_t i = 0; i < a.Micros.size(); ++i) ratios.push_back(a.Micros[i] / b.Micros[i]);
    return Median(ratios);
  };
  std::printf("@@ BENCH RATIO hidraw_bridge/hid_enumerate=%.3f\n",
              pairedRatio(methods[0], methods[2]));
  std::printf("@@ BENCH RATIO first_scan/hid_enumerate=%.3f\n",
              pairedRatio(methods[1], methods[2]));
  std::printf("@@ BENCH RATIO component_scan/hidraw_bridge=%.3f\n",
              pairedRatio(methods[3], methods[0]));
  std::vector<double> scan_alone;
  for (std::size_t i = 0; i < methods[1].Micros.size(); ++i) {
    scan_alone.push_back((methods[1].Micros[i] - methods[4].Micros[i]) / methods[2].Micros[i]);
  }
  std::printf("@@ BENCH RATIO first_scan_without_load/hid_enumerate=%.3f\n", Median(scan_alone));

  // Idle: the component's device open, the main thread asleep on its message
  // queue, a hidapi reader blocked on the same device; what wakes up.
  hid.CurrentDevNr = 0;
  hid.Active = true;
  vcl::Application.ProcessMessages();
  THIDdeviceInfo opened{};
  hid.BridgeInfo(0, &opened);
  hid_device* peer = nullptr;
  for (hid_device_info* d = hid_enumerate(opened.VID, opened.PID); d != nullptr && peer == nullptr;
       d = d->next) {
    peer = hid_open_path(d->path);
  }
  std::atomic<int> peer_tid{0};
  std::atomic<bool> peer_done{false};
  std::thread reader([&] {
    peer_tid = static_cast<int>(gettid());
    unsigned char buffer[65];
    if (peer != nullptr) {
      hid_read_timeout(peer, buffer, sizeof buffer,
                       static_cast<int>(std::chrono::milliseconds(kIdle).count()) + 2000);
    }
    peer_done = true;
  });
  pollfd queue{vcl::Application.EventFd(), POLLIN, 0};
  // Until the reader sleeps in its read.
  while (peer != nullptr && !peer_done && !Sleeping(peer_tid.load())) {
  }
  const std::map<int, long> before = VoluntarySwitches();
  const int woken = poll(&queue, 1, static_cast<int>(std::chrono::milliseconds(kIdle).count()));
  const std::map<int, long> after = VoluntarySwitches();
  reader.join();
  long component = 0, main_thread = 0, peer_switches = -1;
  int threads = 0;
  for (const auto& [tid, count] : after) {
    const auto was = before.find(tid);
    const long delta = count - (was != before.end() ? was->second : 0);
    if (tid == peer_tid) {
      peer_switches = delta;
    } else if (tid == getpid()) {
      main_thread = delta;
    } else {
      component += delta;
      ++threads;
    }
  }
  std::printf(
      "@@ BENCH IDLE seconds=%d bridge_threads=%d bridge_switches=%ld main_switches=%ld "
      "queue_woken=%d hid_read_switches=%ld\n",
      static_cast<int>(kIdle.count()), threads, component, main_thread, woken, peer_switches);
  if (peer != nullptr) hid_close(peer);
  hid.CloseHidDevice();

  // Lost input: the uhid device streams while the program rescans.
  int echo = -1;
  hid.ScanForHIDdevices();
  for (int i = 0; i < hid.DevCount && echo < 0; ++i) {
    THIDdeviceInfo d{};
    hid.BridgeInfo(static_cast<std::uint8_t>(i), &d);
    const std::string_view product = ReadShortString(d.ProductString);
    if (product == kEchoProduct) echo = i;
  }
  std::FILE* control = std::fopen(kEchoControl, "w");
  if (echo < 0 || control == nullptr) {
    std::printf("@@ ERROR the uhid device %s or its control %s is missing\n", kEchoProduct,
                kEchoControl);
    return 1;
  }
  std::mutex mutex;
  std::condition_variable arrived;
  int pieces = 0;
  const auto count_stream = [&](rtl::TObject*, THIDreport report, std::uint8_t) {
    if (report.ReportID != kStreamId) return;
    {
      std::lock_guard lock(mutex);
      ++pieces;
    }
    arrived.notify_all();
  };
  hid.OnGetHIDData = count_stream;
  const int other = echo == 0 ? 1 : 0;
  const auto stream = [&](const std::function<void()>& rescan) {
    {
      std::lock_guard lock(mutex);
      pieces = 0;
    }
    hid.CurrentDevNr = echo;
    hid.Active = true;
    std::thread sender([&] {
      Clock::time_point next = Clock::now();
      for (int i = 0; i < kStream; ++i) {
        std::fprintf(control, "input200 %d\n", i);
        std::fflush(control);
        next += std::chrono::milliseconds(1);
        std::this_thread::sleep_until(next);  // the pace of a device, not a wait for anything
      }
    });
    const Clock::time_point start = Clock::now();
    for (int k = 0; k < kRescans; ++k) {
      std::this_thread::sleep_until(start +
                                    std::chrono::milliseconds(kStream) * (k + 1) / (kRescans + 1));
      rescan();
    }
    sender.join();
    std::unique_lock lock(mutex);
    // The stream has been sent; what still arrives comes within a second.
    arrived.wait_for(lock, std::chrono::seconds(1),
                     [&] { return pieces >= kStream * kPiecesPerReport; });
    const int received = pieces / kPiecesPerReport;
    lock.unlock();
    hid.CloseHidDevice();
    return kStream - received;
  };
  const int lost_held = stream([&] { hid.ScanForHIDdevices(); });
  const int lost_closed = stream([&] {
    // Opening another device closes the held node for real: the close of
    // a bridge without the grace.
    hid.CloseHidDevice();
    hid.CurrentDevNr = other;
    hid.Active = true;
    hid.CloseHidDevice();
    hid.ScanForHIDdevices();
    hid.CurrentDevNr = echo;
    hid.Active = true;
  });

  // Rescan after an attach: the uhid device removed and made again, then the
  // scan that first lists it again timed, for the bridge and hid_enumerate
  // in turn.
  const auto attached = [&](Method& m) {
    std::fprintf(control, "destroy\n");
    std::fflush(control);
    while (m.Run() == m.Entries) {
    }
    std::fprintf(control, "create\n");
    std::fflush(control);
    for (;;) {
      const Clock::time_point t0 = Clock::now();
      const int entries = m.Run();
      const Clock::time_point t1 = Clock::now();
      if (entries == m.Entries) return std::chrono::duration<double, std::micro>(t1 - t0).count();
    }
  };
  std::vector<double> attach_bridge, attach_hidapi, attach_ratio;
  for (int round = 0; round < kAttachRounds; ++round) {
    attach_bridge.push_back(attached(methods[0]));
    attach_hidapi.push_back(attached(methods[2]));
    attach_ratio.push_back(attach_bridge.back() / attach_hidapi.back());
    vcl::Application.ProcessMessages();
  }
  std::printf("@@ BENCH ATTACH rounds=%d bridge_median_us=%.0f hid_enumerate_median_us=%.0f\n",
              kAttachRounds, Median(attach_bridge), Median(attach_hidapi));
  std::printf("@@ BENCH RATIO attach_rescan/hid_enumerate=%.3f\n", Median(attach_ratio));

  // Reconnection: the open uhid device destroyed and made again; from the
  // moment its node appears in /dev (an inotify watch on its own thread) to
  // OnDevOpen, with the main thread waiting on the component's queue as an
  // application's message loop does. Beside it, one scan and one real open
  // of the same device.
  const int watch = inotify_init1(IN_CLOEXEC);
  const int stop = eventfd(0, EFD_CLOEXEC);
  if (watch < 0 || stop < 0 || inotify_add_watch(watch, "/dev", IN_CREATE) < 0) {
    std::printf("@@ ERROR inotify on /dev\n");
    return 1;
  }
  std::atomic<std::int64_t> node_created{0};
  std::thread watcher([&] {
    alignas(inotify_event) char buffer[4096];
    pollfd fds[2] = {{watch, POLLIN, 0}, {stop, POLLIN, 0}};
    while (poll(fds, 2, -1) > 0 && (fds[1].revents & POLLIN) == 0) {
      const std::int64_t now = Clock::now().time_since_epoch().count();
      const ssize_t n = read(watch, buffer, sizeof buffer);
      for (ssize_t at = 0; at < n;) {
        const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
        if (event->len > 0 && std::string_view(event->name).rfind("hidraw", 0) == 0) {
          node_created = now;
          node_created.notify_all();
        }
        at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
      }
    }
  });
  std::atomic<std::int64_t> opened_at{0};
  // The reopening scan's stamps, taken at its OnDevOpen.
  std::int64_t heard = 0, scan_start = 0, scan_end = 0, open_start = 0, open_end = 0;
  hid.OnGetHIDData = nullptr;
  hid.OnDevOpen = [&](rtl::TObject*, std::int32_t, TVyHIDDevInfo) {
    opened_at = Ticks();
    heard = gStamps.Heard;
    scan_start = gStamps.ScanStart;
    scan_end = gStamps.ScanEnd;
    open_start = gStamps.OpenStart;
    open_end = gStamps.OpenEnd;
  };
  hid.StampEntryPoints();
  // Scans from the plug to the reopen, the one that reopens included.
  int scans_seen = 0;
  hid.OnAfterDevScan = [&](rtl::TObject*, std::int32_t, THIDinfoArray&) { ++scans_seen; };
  // The message loop until done() or the deadline; false on the deadline.
  const auto pump = [&](const std::function<bool()>& done) {
    const Clock::time_point deadline = Clock::now() + std::chrono::seconds(10);
    while (!done()) {
      if (Clock::now() >= deadline) return false;
      pollfd wake{vcl::Application.EventFd(), POLLIN, 0};
      poll(&wake, 1, 100);
      vcl::Application.ProcessMessages();
    }
    return true;
  };
  const auto find = [&](std::string_view product) {
    for (int i = 0; i < hid.DevCount; ++i) {
      THIDdeviceInfo d{};
      hid.BridgeInfo(static_cast<std::uint8_t>(i), &d);
      if (ReadShortString(d.ProductString) == product) return i;
    }
    return -1;
  };
  const auto p95 = [](std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, (v.size() * 95 + 99) / 100 - 1)];
  };
  const auto micros = [](std::int64_t from, std::int64_t to) {
    return std::chrono::duration<double, std::micro>(Clock::duration(to - from)).count();
  };
  // kReplugs rounds of: the device unplugged and plugged back while closed,
  // and the first scan that lists it again with one open of it timed; one
  // scan and one open of the device (its node closed for real first, by
  // opening another device); then the device unplugged and plugged back
  // while open, timed from its new node to OnDevOpen, and that time split at
  // the bridge's device-change callback, the scan's start and end in the
  // bridge, the open's start and end in the bridge.
  const auto replugs = [&](const char* name, std::string_view product,
                           const std::function<void()>& unplug, const std::function<void()>& plug) {
    std::vector<double> reconnect, scan_open, attach_open, scans;
    std::vector<double> to_heard, to_scan, in_scan, to_open, in_open, to_event;
    hid.AutoConnect = true;
    hid.ScanForHIDdevices();
    const int listed = hid.DevCount;
    for (int round = 0; round < kReplugs; ++round) {
      hid.CloseHidDevice();
      unplug();
      if (!pump([&] { return hid.DevCount < listed; })) {
        std::printf("@@ ERROR %s: the removal was not seen\n", name);
        return false;
      }
      node_created = 0;
      plug();
      node_created.wait(0);
      // The device-change message waits until the timed scan has listed it.
      const Clock::time_point a0 = Clock::now();
      while (hid.ScanForHIDdevices() < listed) {
      }
      hid.CurrentDevNr = find(product);
      hid.Active = true;
      attach_open.push_back(std::chrono::duration<double, std::micro>(Clock::now() - a0).count());
      if (!hid.Active) {
        std::printf("@@ ERROR %s: the open after the attach failed\n", name);
        return false;
      }
      vcl::Application.ProcessMessages();

      hid.CloseHidDevice();
      hid.CurrentDevNr = find(product) == 0 ? 1 : 0;
      hid.Active = true;
      hid.CloseHidDevice();
      const Clock::time_point s0 = Clock::now();
      hid.ScanForHIDdevices();
      hid.CurrentDevNr = find(product);
      hid.Active = true;
      const Clock::time_point s1 = Clock::now();
      scan_open.push_back(std::chrono::duration<double, std::micro>(s1 - s0).count());
      vcl::Application.ProcessMessages();

      unplug();
      if (!pump([&] { return hid.DevCount < listed; })) {
        std::printf("@@ ERROR %s: the removal was not seen\n", name);
        return false;
      }
      node_created = 0;
      opened_at = 0;
      scans_seen = 0;
      gStamps.Heard = 0;
      plug();
      if (!pump([&] { return opened_at != 0 && node_created != 0; })) {
        std::printf("@@ ERROR %s: the device was not reopened\n", name);
        return false;
      }
      reconnect.push_back(micros(node_created, opened_at));
      to_heard.push_back(micros(node_created, heard));
      to_scan.push_back(micros(heard, scan_start));
      in_scan.push_back(micros(scan_start, scan_end));
      to_open.push_back(micros(scan_end, open_start));
      in_open.push_back(micros(open_start, open_end));
      to_event.push_back(micros(open_end, opened_at));
      scans.push_back(scans_seen);
    }
    hid.CloseHidDevice();
    hid.AutoConnect = false;
    std::printf(
        "@@ BENCH RECONNECT name=%s replugs=%d median_us=%.0f p95_us=%.0f "
        "scan_open_median_us=%.0f attach_open_median_us=%.0f scans_median=%.1f scans_max=%.0f "
        "heard_us=%.0f loop_us=%.0f scan_us=%.0f describe_us=%.0f open_us=%.0f event_us=%.0f\n",
        name, kReplugs, Median(reconnect), p95(reconnect), Median(scan_open), Median(attach_open),
        Median(scans), *std::max_element(scans.begin(), scans.end()), Median(to_heard),
        Median(to_scan), Median(in_scan), Median(to_open), Median(in_open), Median(to_event));
    return true;
  };
  const bool replugged = replugs(
                             "uhid", kEchoProduct,
                             [&] {
                               std::fprintf(control, "destroy\n");
                               std::fflush(control);
                             },
                             [&] {
                               std::fprintf(control, "create\n");
                               std::fflush(control);
                             }) &&
                         // The host unplugs and plugs the keyboard through QMP on these lines.
                         replugs(
                             "qmp", kKeyboardProduct,
                             [] {
                               std::printf("@@ UNPLUG-KBD\n");
                               std::fflush(stdout);
                             },
                             [] {
                               std::printf("@@ PLUG-KBD\n");
                               std::fflush(stdout);
                             });
  hid.UnstampEntryPoints();
  hid.OnDevOpen = nullptr;
  hid.OnAfterDevScan = nullptr;
  eventfd_write(stop, 1);
  watcher.join();
  close(watch);
  close(stop);
  if (!replugged) return 1;

  // Lost input while another device comes and goes: a uhid device of the
  // program's own made and destroyed kRescans times during the stream, each
  // change heard by the component, which rescans by itself (AutoConnect),
  // closing and reopening the streaming device. Beside it the same with the
  // node closed for real at each of those closes, as a bridge without the
  // grace closes it: the OnDevClose handler, which runs inside the scan right
  // after the close, opens and closes another device through the bridge.
  hid.OnGetHIDData = count_stream;
  hid.AutoConnect = true;
  hid.ScanForHIDdevices();
  const int listed_alone = hid.DevCount;
  bool close_for_real = false;
  int plug_closes = 0;
  hid.OnDevClose = [&](rtl::TObject*) {
    ++plug_closes;
    if (close_for_real) hid.ReleaseHeld(static_cast<std::uint8_t>(find(kEchoProduct) == 0 ? 1 : 0));
  };
  bool plugged = true;
  const auto plug_and_unplug = [&] {
    {
      BurstDevice visitor;
      plugged = plugged && visitor.Create(kFillerProduct, kFillerPid) &&
                pump([&] { return hid.DevCount > listed_alone; });
    }
    plugged = plugged && pump([&] { return hid.DevCount == listed_alone; });
  };
  echo = find(kEchoProduct);
  const int lost_plug_held = stream(plug_and_unplug);
  const int closes_held = plug_closes;
  plug_closes = 0;
  close_for_real = true;
  echo = find(kEchoProduct);
  const int lost_plug_closed = stream(plug_and_unplug);
  const int closes_closed = plug_closes;
  hid.OnDevClose = nullptr;
  hid.OnGetHIDData = nullptr;
  hid.AutoConnect = false;
  if (!plugged) {
    std::printf("@@ ERROR the other uhid device was not seen to come and go\n");
    return 1;
  }
  std::printf(
      "@@ BENCH LOST_PLUG reports=%d plugs=%d lost_held=%d closes_held=%d lost_closed=%d "
      "closes_closed=%d\n",
      kStream, kRescans, lost_plug_held, closes_held, lost_plug_closed, closes_closed);

  std::printf("@@ BENCH LOST reports=%d rescans=%d lost_held=%d lost_closed=%d\n", kStream,
              kRescans, lost_held, lost_closed);

  // Input from a device of this program's own: a burst of kBurst reports
  // written as fast as uhid takes them, then kPaced reports one every 2 ms
  // timed from the write to the handler; to the component's OnGetHIDData,
  // then to a thread blocked in hidapi's hid_read on the same device.
  BurstDevice burst;
  if (!burst.Create()) {
    std::printf("@@ ERROR no uhid device of its own\n");
    return 1;
  }
  if (!pump([&] {
        hid.ScanForHIDdevices();
        return find(kBurstProduct) >= 0;
      })) {
    std::printf("@@ ERROR the component does not list %s\n", kBurstProduct);
    return 1;
  }
  Arrivals arrivals;
  const auto send = [&](int count, bool paced) {
    Clock::time_point next = Clock::now();
    for (int i = 0; i < count; ++i) {
      if (!burst.Send(static_cast<std::uint32_t>(i))) return false;
      if (paced) {
        next += std::chrono::milliseconds(2);
        std::this_thread::sleep_until(next);  // the pace of a device
      }
    }
    return true;
  };
  struct Result {
    std::size_t Delivered = 0;
    bool InOrder = false;
    std::vector<double> Micros;
    // The reader thread's processor time per report delivered (us) and its
    // time slices, over a burst.
    double CpuMicros = 0;
    long long Slices = 0;
    // The writer's (this thread's) processor time per report written.
    double WriterMicros = 0;
  };
  // One report first, which names the reader thread and is then forgotten;
  // the reader's processor time is taken before and after the reports.
  const auto measure = [&](int count, bool paced, Result& r) {
    arrivals.Clear();
    arrivals.Reader = 0;
    if (!send(1, false)) return false;
    arrivals.WaitFor(1);
    arrivals.Clear();
    const auto before = RunTime(arrivals.Reader);
    const int writer = static_cast<int>(gettid());
    const auto written_before = RunTime(writer);
    if (!send(count, paced)) return false;
    const auto written_after = RunTime(writer);
    arrivals.WaitFor(static_cast<std::size_t>(count));
    const auto after = RunTime(arrivals.Reader);
    r.Delivered = arrivals.Seqs.size();
    r.InOrder = arrivals.InOrder();
    r.Micros = arrivals.Micros;
    r.CpuMicros = static_cast<double>(after.first - before.first) / 1000.0 /
                  static_cast<double>(std::max<std::size_t>(r.Delivered, 1));
    r.Slices = after.second - before.second;
    r.WriterMicros =
        static_cast<double>(written_after.first - written_before.first) / 1000.0 / count;
    return true;
  };
  // What each reader got over the rounds: the burst's count and order, the
  // processor time per report and the paced reports' latencies.
  struct Totals {
    std::vector<double> Delivered, Cpu, Slices, Micros, Writer;
    bool InOrder = true;
    void Add(const Result& burst, const Result& paced) {
      Writer.push_back(burst.WriterMicros);
      Delivered.push_back(static_cast<double>(burst.Delivered));
      InOrder = InOrder && burst.InOrder && paced.InOrder;
      Cpu.push_back(burst.CpuMicros);
      Slices.push_back(static_cast<double>(burst.Slices));
      Micros.insert(Micros.end(), paced.Micros.begin(), paced.Micros.end());
    }
  };
  Totals through_component, through_hidapi;
  hid.OnGetHIDData = [&](rtl::TObject*, THIDreport report, std::uint8_t) {
    if (report.ReportID == kBurstId) arrivals.Add(report.Data.Bytes);
  };
  // Through the component, then a hid_read loop, in turns; each reader has
  // the device alone (the component's node is closed for real, by opening
  // another device, before hidapi opens it).
  const auto component_round = [&](Totals& totals) {
    Result burst_result, paced_result;
    hid.CurrentDevNr = find(kBurstProduct);
    hid.Active = true;
    const bool sent = measure(kBurst, false, burst_result) && measure(kPaced, true, paced_result);
    hid.CloseHidDevice();
    hid.CurrentDevNr = find(kBurstProduct) == 0 ? 1 : 0;
    hid.Active = true;
    hid.CloseHidDevice();
    totals.Add(burst_result, paced_result);
    return sent;
  };
  const auto hidapi_round = [&] {
    hid_device* reader_device = nullptr;
    hid_device_info* listed_burst = hid_enumerate(0x1209, kBurstPid);
    if (listed_burst != nullptr) reader_device = hid_open_path(listed_burst->path);
    hid_free_enumeration(listed_burst);
    if (reader_device == nullptr) {
      std::printf("@@ ERROR hidapi cannot open %s\n", kBurstProduct);
      return false;
    }
    // One reader thread for the burst and the paced reports, as the
    // component has one read thread for both.
    Result results[2];
    std::atomic<int> reader_tid{0};
    std::thread reading([&] {
      reader_tid = static_cast<int>(gettid());
      unsigned char buffer[65];
      // Blocking reads until the report that says stop, or a failure.
      for (int n; (n = hid_read(reader_device, buffer, sizeof buffer)) >= 0;) {
        if (n < static_cast<int>(1 + kBurstPayload) || buffer[0] != kBurstId) continue;
        if (std::memcmp(buffer + 1, &kStopSeq, sizeof kStopSeq) == 0) break;
        arrivals.Add(buffer + 1);
      }
    });
    // Until the reader sleeps in its read.
    while (!Sleeping(reader_tid.load())) {
    }
    const bool sent = measure(kBurst, false, results[0]) && measure(kPaced, true, results[1]);
    // The reader, with nothing queued before it, gets this one; without it
    // the reader stays blocked and the program ends on the failure.
    if (!burst.Send(kStopSeq)) {
      reading.detach();
      return false;
    }
    reading.join();
    hid_close(reader_device);
    through_hidapi.Add(results[0], results[1]);
    return sent;
  };
  for (int round = 0; round < kInputRounds; ++round) {
    const bool sent = component_round(through_component);
    if (!sent || !hidapi_round()) {
      std::printf("@@ ERROR the uhid write failed\n");
      return 1;
    }
  }
  hid.OnGetHIDData = nullptr;
  std::printf(
      "@@ BENCH INPUT burst=%d rounds=%d component_delivered=%.0f component_delivered_min=%.0f "
      "component_in_order=%d hid_read_delivered=%.0f hid_read_delivered_min=%.0f "
      "hid_read_in_order=%d paced=%d component_median_us=%.1f component_p95_us=%.1f "
      "hid_read_median_us=%.1f hid_read_p95_us=%.1f component_cpu_us=%.1f "
      "component_slices=%.0f hid_read_cpu_us=%.1f hid_read_slices=%.0f "
      "component_writer_us=%.1f hid_read_writer_us=%.1f\n",
      kBurst, kInputRounds, Median(through_component.Delivered),
      *std::min_element(through_component.Delivered.begin(), through_component.Delivered.end()),
      through_component.InOrder ? 1 : 0, Median(through_hidapi.Delivered),
      *std::min_element(through_hidapi.Delivered.begin(), through_hidapi.Delivered.end()),
      through_hidapi.InOrder ? 1 : 0, kPaced, Median(through_component.Micros),
      p95(through_component.Micros), Median(through_hidapi.Micros), p95(through_hidapi.Micros),
      Median(through_component.Cpu), Median(through_component.Slices), Median(through_hidapi.Cpu),
      Median(through_hidapi.Slices), Median(through_component.Writer),
      Median(through_hidapi.Writer));

  // Growth with the number of devices: more uhid devices made until the
  // component lists each count of kScale, and at each count the rescan, the
  // first scan (without the library's load) and hid_enumerate timed in
  // interleaved rounds as above; at kScaleAttach devices also the rescan
  // after an attach ("@@ BENCH SCALE ...", "@@ BENCH ATTACH_MANY ...").
  std::vector<std::unique_ptr<BurstDevice>> fillers;
  for (const int devices : kScale) {
    if (hid.ScanForHIDdevices() > devices) continue;
    for (int listed_now = hid.DevCount; listed_now < devices; ++listed_now) {
      fillers.push_back(std::make_unique<BurstDevice>());
      if (!fillers.back()->Create(kFillerProduct, kFillerPid)) {
        std::printf("@@ ERROR no uhid device %zu\n", fillers.size());
        return 1;
      }
    }
    if (!pump([&] { return hid.ScanForHIDdevices() == devices; })) {
      std::printf("@@ ERROR the component lists %d devices, not %d\n",
                  static_cast<int>(hid.DevCount), devices);
      return 1;
    }
    if (!readers_agree()) return 1;
    for (Method& m : methods) {
      m.Entries = m.Run();
      m.Micros.clear();
    }
    const int done = TimeInRounds(methods, kScaleRounds, std::numeric_limits<int>::max(),
                                  Clock::now() + kScaleBudget);
    if (done < 0) return 1;
    std::vector<double> full;
    for (std::size_t i = 0; i < methods[1].Micros.size(); ++i) {
      full.push_back(methods[1].Micros[i] - methods[4].Micros[i]);
    }
    std::printf(
        "@@ BENCH SCALE devices=%d hid_entries=%d rounds=%d rescan_us=%.1f full_us=%.1f "
        "hid_enumerate_us=%.1f component_us=%.1f rescan_ratio=%.3f full_ratio=%.3f\n",
        devices, methods[2].Entries, done, Median(methods[0].Micros), Median(full),
        Median(methods[2].Micros), Median(methods[3].Micros), pairedRatio(methods[0], methods[2]),
        pairedRatio(methods[1], methods[2]));
    if (devices == kScaleAttach) {
      std::vector<double> bridge_many, hidapi_many, ratio_many;
      for (int round = 0; round < kAttachRounds; ++round) {
        bridge_many.push_back(attached(methods[0]));
        hidapi_many.push_back(attached(methods[2]));
        ratio_many.push_back(bridge_many.back() / hidapi_many.back());
        vcl::Application.ProcessMessages();
      }
      std::printf(
          "@@ BENCH ATTACH_MANY devices=%d rounds=%d bridge_median_us=%.0f "
          "hid_enumerate_median_us=%.0f ratio=%.3f\n",
          devices, kAttachRounds, Median(bridge_many), Median(hidapi_many), Median(ratio_many));
    }
  }
  fillers.clear();
  std::fclose(control);
  std::printf("@@ BENCH READERS identical=1 scans=%zu fewest=%zu most=%zu\n",
              compared_counts.size(),
              *std::min_element(compared_counts.begin(), compared_counts.end()),
              *std::max_element(compared_counts.begin(), compared_counts.end()));

  std::printf("@@ BENCH END\n");
  std::fflush(stdout);
  hid_exit();
  return 0;
}
