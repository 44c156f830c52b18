#include "Bridge.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <numeric>
#include <string>
#include <utility>

#include "BridgeThreads.h"
#include "Diagnostics.h"
#include "Enumerate.h"
#include "RecordBuilder.h"

namespace vyhid::hidraw {
namespace {

// Whether an opened node holds the device the scan listed under it. hidraw
// numbers freed by an unplug go to the next device attached, lowest first,
// which may come between the scan and the open.
bool HoldsListed(const NodeIdentity& node, const DeviceFacts& listed) {
  if (listed.bus != 0 && node.bus != listed.bus) return false;
  if (node.vendor_id != listed.vendor_id || node.product_id != listed.product_id) return false;
  if (!node.instance_name.empty() && !listed.instance_name.empty() &&
      node.instance_name != listed.instance_name)
    return false;
  return listed.report_descriptor.empty() || node.report_descriptor == listed.report_descriptor;
}

}  // namespace

using vyhid::ReportKind;

// Rescans read again only the devices whose node changed since the last one.
Bridge::Bridge()
    : Bridge([cache = std::make_shared<HidrawCache>(MakeSysfsSystem())] { return cache->Scan(); },
             OpenUdevListener, ReadNodeIdentity) {}

Bridge::Bridge(Enumerator enumerate, ListenerSource source, NodeProbe probe)
    : enumerate_(std::move(enumerate)),
      probe_(std::move(probe)),
      owner_(::getpid()),
      monitor_(std::move(source)) {}

bool Bridge::InForkedChild() const {
  return ForkedFrom(owner_);
}

std::uint8_t Bridge::Scan() {
  // Enumeration reads sysfs and may be slow: done outside the lock.
  std::vector<DeviceFacts> found = enumerate_();
  const std::vector<std::string> identities = AssignIdentities(found);
  std::vector<std::size_t> order(found.size());
  std::iota(order.begin(), order.end(), std::size_t{0});
  std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
    if (identities[a] != identities[b]) return identities[a] < identities[b];
    return found[a].devnode < found[b].devnode;
  });
  if (order.size() > kMaxBridgeDevices) order.resize(kMaxBridgeDevices);

  std::vector<Listed> listed;
  listed.reserve(order.size());
  for (const std::size_t i : order) {
    Listed entry;
    entry.descriptor = descriptor::Parse(found[i].report_descriptor);
    if (!entry.descriptor.ok()) {
      // The reports declared before the failing item are still used.
      abi::DebugNote(found[i].devnode + ": report descriptor (" +
                     std::to_string(found[i].report_descriptor.size()) +
                     " bytes): " + descriptor::Describe(entry.descriptor.error) + " at byte " +
                     std::to_string(entry.descriptor.error_offset));
    }
    entry.info = BuildDeviceInfo(found[i], identities[i], entry.descriptor,
                                 static_cast<std::uint32_t>(listed.size()));
    entry.facts = std::move(found[i]);
    listed.push_back(std::move(entry));
  }
  std::lock_guard lock(mutex_);
  devices_ = std::move(listed);
  return static_cast<std::uint8_t>(devices_.size());
}

void Bridge::DeviceInfo(std::uint8_t nr, THIDdeviceInfo& info) {
  std::lock_guard lock(mutex_);
  if (nr < devices_.size()) info = devices_[nr].info;
}

std::int32_t Bridge::ReportDescriptor(std::uint8_t nr, std::uint8_t* buffer, std::uint32_t size) {
  std::lock_guard lock(mutex_);
  if (nr >= devices_.size()) {
    abi::SetNotListed(nr, devices_.size());
    return -1;
  }
  const DeviceFacts& facts = devices_[nr].facts;
  if (facts.report_descriptor.empty()) {
    // Enumeration recorded why when debugging is on; the node itself may
    // have refused the read.
    abi::SetLastError(EIO, facts.devnode + ": the scan could not read its report descriptor");
    return -1;
  }
  return abi::CopyReportDescriptor(facts.report_descriptor, buffer, size);
}

bool Bridge::Reopen(std::uint8_t nr) {
  if (OnBridgeThread() || InForkedChild()) return false;
  bool resumed = false;
  {
    // Taken up, resumed and made the open device in one step: a close, an
    // open or the grace's end on another thread comes before or after.
    std::lock_guard lock(mutex_);
    if (!held_.node || open_node_ || nr >= devices_.size() ||
        !(devices_[nr].facts == held_.facts)) {
      return false;
    }
    Held held = std::exchange(held_, Held{});
    grace_.Disarm();
    resumed = !held.node->HungUp() && held.node->Resume();
    if (!resumed) {
      held.node->RequestStop();
      parked_.push_back(std::move(held.thread));
    } else {
      open_node_ = std::move(held.node);
      open_info_ = held.info;
      open_facts_ = std::move(held.facts);
      read_thread_ = std::move(held.thread);
    }
  }
  JoinParked();
  return resumed;
}

bool Bridge::Open(std::uint8_t nr) {
  if (Reopen(nr)) return true;
  std::string devnode;
  DeviceFacts facts;
  descriptor::ReportDescriptor report_descriptor;
  THIDdeviceInfo info;
  std::thread previous;
  bool listed;
  std::size_t count;
  {
    std::lock_guard lock(mutex_);
    previous = DetachOpenLocked();
    count = devices_.size();
    listed = nr < count;
    if (listed) {
      devnode = devices_[nr].facts.devnode;
      facts = devices_[nr].facts;
      report_descriptor = devices_[nr].descriptor;
      info = devices_[nr].info;
    }
  }
  JoinOrPark(std::move(previous));
  JoinParked();
  if (!listed) {
    abi::SetNotListed(nr, count);
    return false;
  }

  // Opening may wait for a node being set up: outside the lock. Each failure
  // below has recorded its reason.
  bool read_write = false;
  UniqueFd fd = OpenNode(devnode, read_write);
  if (!fd) return false;
  if (probe_) {
    const std::optional<NodeIdentity> holds = probe_(fd.get(), devnode);
    if (!holds) return false;
    if (!HoldsListed(*holds, facts)) {
      // The device change that came with the swap brings a rescan.
      abi::SetLastError(ENOENT, devnode + " now holds another device");
      return false;
    }
  }
  auto node =
      std::make_shared<Node>(devnode, std::move(fd), read_write, std::move(report_descriptor));
  if (!node->valid()) return false;
  info.HasReadWriteAccess = read_write ? 1 : 0;

  std::thread replaced;
  {
    std::lock_guard lock(mutex_);
    replaced = DetachOpenLocked();  // another open that won the race meanwhile
    open_node_ = node;
    open_info_ = info;
    open_facts_ = facts;
    if (nr < devices_.size() && devices_[nr].facts.devnode == devnode) {
      devices_[nr].info.HasReadWriteAccess = info.HasReadWriteAccess;
    }
    read_thread_ = std::thread(&Bridge::ReadThread, this, node);
  }
  JoinOrPark(std::move(replaced));
  return true;
}

bool Bridge::Close(bool hold) {
  std::thread reader;
  std::shared_ptr<Node> held;
  bool was_open;
  {
    std::lock_guard lock(mutex_);
    was_open = open_node_ != nullptr;
    hold = hold && was_open && !OnBridgeThread() && !InForkedChild();
    reader = DetachOpenLocked(hold);
    held = held_.node;
  }
  JoinOrPark(std::move(reader));
  JoinParked();
  if (held) {
    // Outside the lock: a report being delivered may call back into the
    // bridge. None is delivered after this returns.
    held->AwaitDeliveries();
  } else if (!InForkedChild()) {  // the timer's thread is the parent's
    JoinOrPark(grace_.Stop());    // nothing is held
  }
  return was_open;
}

std::thread Bridge::DetachOpenLocked(bool hold) {
  // A node held earlier closes for real: its thread is joined with the
  // parked ones.
  if (held_.node) {
    held_.node->RequestStop();
    if (held_.thread.joinable()) parked_.push_back(std::move(held_.thread));
    held_ = Held{};
    grace_.Disarm();
  }
  // Held and its grace armed in the same step as the close, so that an open
  // on another thread finds it held or not at all.
  const auto deadline = std::chrono::steady_clock::now() + kReopenGrace;
  if (hold && open_node_->Hold(deadline) && grace_.Arm(open_node_, deadline)) {
    held_ =
        Held{std::move(open_node_), std::move(read_thread_), std::move(open_facts_), open_info_};
  } else if (open_node_) {
    open_node_->RequestStop();  // also a node whose grace could not be armed
  }
  open_node_.reset();
  open_info_ = THIDdeviceInfo{};
  open_facts_ = DeviceFacts{};
  return std::move(read_thread_);
}

void Bridge::JoinOrPark(std::thread thread) {
  if (!thread.joinable()) return;
  if (InForkedChild()) {
    thread.detach();  // it runs in the parent; this process has no such thread
    return;
  }
  if (!OnBridgeThread()) {
    thread.join();
    return;
  }
  // A callback stopped a thread of the bridge (perhaps its own): joining
  // could wait for ever, the other thread being inside a callback that waits
  // for this one. It ends by itself and is joined later.
  std::lock_guard lock(mutex_);
  parked_.push_back(std::move(thread));
}

void Bridge::JoinParked() {
  if (OnBridgeThread() || InForkedChild()) return;
  std::vector<std::thread> parked;
  {
    std::lock_guard lock(mutex_);
    parked.swap(parked_);
  }
  for (std::thread& thread : parked) thread.join();
}

void Bridge::ReadThread(const std::shared_ptr<Node>& node) {
  MarkBridgeThread();
  // However the loop ends (a stop ends it inside its read by unwinding this
  // thread): a held node whose grace ended is released here, its thread
  // joined by the next call from the application.
  struct ReleaseHeld {
    Bridge& bridge;
    const std::shared_ptr<Node>& node;
    ~ReleaseHeld() {
      std::lock_guard lock(bridge.mutex_);
      if (bridge.held_.node == node) {
        bridge.parked_.push_back(std::move(bridge.held_.thread));
        bridge.held_ = Held{};
        bridge.grace_.Disarm();  // its thread ends: nothing is held
      }
    }
  } release{*this, node};
  node->ReadLoop([this](const THIDreport& report, std::uint8_t count) {
    if (THIDcallBack handler = input_handler_.load()) handler(report, count);
    return true;
  });
}

void Bridge::SetDeviceChangeHandler(TUSBcallBack handler) {
  change_handler_.store(handler);
  std::thread stopped;
  bool started = true;
  {
    // Held only to start or stop, never while joining: the monitor thread
    // may be inside a callback that changes the handler.
    std::lock_guard lock(monitor_mutex_);
    if (handler == nullptr) {
      stopped = monitor_.Stop();
    } else {
      started = monitor_.Start([this] {
        if (TUSBcallBack h = change_handler_.load()) h();
      });
    }
  }
  JoinOrPark(std::move(stopped));
  JoinParked();
  // A monitor that cannot start has recorded why; the handler stays
  // installed, and the application learns of changes only by rescanning.
  if (!started) {
    abi::DebugNote("the hotplug monitor did not start: attach and removal go unnoticed");
  }
}

void Bridge::SetInputHandler(THIDcallBack handler) {
  input_handler_.store(handler);
}

std::uint8_t Bridge::ReportSize(ReportKind kind) {
  std::lock_guard lock(mutex_);
  if (!open_node_ || open_node_->gone()) return 0;
  return abi::ByteResult(BufferSize(open_info_, kind));
}

namespace {

// Runs a transfer on the open node without holding the bridge's lock, so a
// slow device does not block the other entry points.
template <typename Transfer>
std::uint8_t OnNode(std::mutex& mutex, const std::shared_ptr<Node>& open, Transfer transfer) {
  std::shared_ptr<Node> node;
  {
    std::lock_guard lock(mutex);
    node = open;
  }
  if (!node) {
    abi::SetNoDeviceOpen();
    return 0;
  }
  return transfer(*node);
}

}  // namespace

std::uint8_t Bridge::GetReport(ReportKind kind, THIDreport& report) {
  return OnNode(mutex_, open_node_, [&](Node& n) {
    return kind == ReportKind::kFeature ? n.FetchFeature(report) : n.FetchInput(report);
  });
}

std::uint8_t Bridge::SetReport(ReportKind kind, const THIDreport& report) {
  return OnNode(mutex_, open_node_, [&](Node& n) {
    return kind == ReportKind::kFeature ? n.SendFeature(report) : n.SendOutput(report);
  });
}

bool Bridge::Shutdown() {
  change_handler_.store(nullptr);
  std::thread monitor;
  {
    std::lock_guard lock(monitor_mutex_);
    monitor = monitor_.Stop();
  }
  JoinOrPark(std::move(monitor));
  Close(false);
  if (!OnBridgeThread() && !InForkedChild()) {
    JoinParked();
    return true;
  }
  // On a bridge thread, as when a callback calls exit(): every thread has
  // been asked to end, and none may be waited for (this one among them). In
  // a forked child they are the parent's.
  std::vector<std::thread> parked;
  {
    std::lock_guard lock(mutex_);
    parked.swap(parked_);
  }
  for (std::thread& thread : parked) thread.detach();
  return false;
}

void UnloadBridge(Bridge*& bridge) {
  if (bridge == nullptr || bridge->InForkedChild()) return;
  if (!bridge->Shutdown()) return;  // threads let go may still use it
  delete bridge;
  bridge = nullptr;
}

}  // namespace vyhid::hidraw
