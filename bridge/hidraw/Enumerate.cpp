#include "Enumerate.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <climits>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "FactsOf.h"
#include "Failure.h"
#include "Node.h"
#include "UniqueFd.h"

namespace vyhid::hidraw {
namespace {

// A failure that costs one device a fact but not the scan: noted, not
// recorded as the reason of the call.
void NoteSystemError(std::string_view call, std::string_view object, int error) {
  abi::DebugNote(abi::SystemErrorText(call, object, error));
}

}  // namespace

std::vector<std::uint8_t> ReadFile(const std::string& path, std::size_t limit) {
  std::vector<std::uint8_t> bytes;
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) {
    NoteSystemError("open", path, errno);
    return bytes;
  }
  bytes.resize(limit);
  std::size_t used = 0;
  while (used < limit) {
    const ssize_t n = ::read(fd.get(), bytes.data() + used, limit - used);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) NoteSystemError("read", path, errno);
    if (n <= 0) break;
    used += static_cast<std::size_t>(n);
  }
  bytes.resize(used);
  return bytes;
}

std::vector<std::uint8_t> ReadDescriptorFromNode(const std::string& devnode) {
  UniqueFd fd(::open(devnode.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  if (!fd) {
    NoteSystemError("open", devnode, errno);
    return {};
  }
  return ReadReportDescriptor(fd.get(), devnode, NoteSystemError)
      .value_or(std::vector<std::uint8_t>());
}

bool CanReadWrite(const std::string& devnode) {
  return !devnode.empty() && ::access(devnode.c_str(), R_OK | W_OK) == 0;
}

namespace {

// A device read straight from sysfs: its directory and its uevent's
// properties. The same texts as libudev's for the same device, at a
// fraction of the cost: no device objects, no database lookups.
class SysfsDevice {
 public:
  // Nothing when syspath has no readable uevent (gone, or not a device).
  static std::optional<SysfsDevice> At(std::string syspath);

  std::string Devnode() const {
    std::string name = Property("DEVNAME");
    if (name.empty() || name[0] == '/') return name;
    return "/dev/" + name;
  }
  const std::string& Syspath() const { return syspath_; }
  // The last part of the path, with '!' read as '/' as libudev does.
  std::string Sysname() const {
    std::string name = syspath_.substr(syspath_.rfind('/') + 1);
    std::replace(name.begin(), name.end(), '!', '/');
    return name;
  }
  std::string Property(const char* name) const;
  // As libudev gives an attribute: its text without trailing line ends, up
  // to any NUL; empty when it cannot be read.
  std::string Attribute(const char* name) const;
  std::optional<SysfsDevice> Parent(const char* subsystem, const char* devtype) const;
  // The device number from MAJOR and MINOR; 0 without them.
  dev_t Number() const;

 private:
  SysfsDevice(std::string syspath, std::string uevent)
      : syspath_(std::move(syspath)), uevent_(std::move(uevent)) {}

  std::string syspath_;
  std::string uevent_;  // KEY=VALUE lines
};

// Reads a small text file of sysfs whole; nothing when it cannot be opened or
// read.
std::optional<std::string> ReadText(const std::string& path) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) return std::nullopt;
  std::string text;
  char chunk[4096];
  for (;;) {
    const ssize_t n = ::read(fd.get(), chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return std::nullopt;
    if (n == 0) return text;
    text.append(chunk, static_cast<std::size_t>(n));
  }
}

std::optional<SysfsDevice> SysfsDevice::At(std::string syspath) {
  std::optional<std::string> uevent = ReadText(syspath + "/uevent");
  if (!uevent) return std::nullopt;
  return SysfsDevice(std::move(syspath), std::move(*uevent));
}

std::string SysfsDevice::Property(const char* name) const {
  const std::string_view key(name);
  std::string_view rest(uevent_);
  while (!rest.empty()) {
    const std::size_t end = std::min(rest.find('\n'), rest.size());
    const std::string_view line = rest.substr(0, end);
    rest.remove_prefix(std::min(end + 1, rest.size()));
    if (line.size() > key.size() && line.substr(0, key.size()) == key && line[key.size()] == '=') {
      return std::string(line.substr(key.size() + 1));
    }
  }
  return {};
}

std::string SysfsDevice::Attribute(const char* name) const {
  std::optional<std::string> text = ReadText(syspath_ + "/" + name);
  if (!text) return {};
  while (!text->empty() && (text->back() == '\n' || text->back() == '\r' || text->back() == '\0')) {
    text->pop_back();
  }
  return text->substr(0, text->find('\0'));
}

std::optional<SysfsDevice> SysfsDevice::Parent(const char* subsystem, const char* devtype) const {
  // Every directory above this one under /sys/devices that has a uevent
  // file is a device, as libudev walks them.
  constexpr std::string_view kDevices = "/sys/devices/";
  std::string path = syspath_;
  std::vector<char> target(PATH_MAX);
  for (;;) {
    path.resize(path.rfind('/'));
    if (path.size() <= kDevices.size() || path.compare(0, kDevices.size(), kDevices) != 0) {
      return std::nullopt;
    }
    const std::string link = path + "/subsystem";
    const ssize_t n = ::readlink(link.c_str(), target.data(), target.size());
    if (n <= 0 || static_cast<std::size_t>(n) >= target.size()) continue;
    const std::string_view linked(target.data(), static_cast<std::size_t>(n));
    if (linked.substr(linked.rfind('/') + 1) != subsystem) continue;
    std::optional<SysfsDevice> parent = At(path);
    if (!parent) continue;
    if (devtype != nullptr && parent->Property("DEVTYPE") != devtype) continue;
    return parent;
  }
}

dev_t SysfsDevice::Number() const {
  const auto number = [](const std::string& text) {
    unsigned value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return error == std::errc() && end == text.data() + text.size() ? value : 0U;
  };
  return makedev(number(Property("MAJOR")), number(Property("MINOR")));
}

// Lists the hidraw devices from the class directory; how each is read is
// the subclass's.
class ClassDirSystem : public HidrawSystem {
 public:
  std::vector<std::string> List() override;
  std::optional<dev_t> NodeNumber(const std::string& devnode) override {
    struct stat node {};
    if (::stat(devnode.c_str(), &node) != 0 || !S_ISCHR(node.st_mode)) return std::nullopt;
    return node.st_rdev;
  }
  bool ReadWrite(const std::string& devnode) override { return CanReadWrite(devnode); }

 private:
  static constexpr const char* kClassDir = "/sys/class/hidraw";
};

class SysfsSystem final : public ClassDirSystem {
 public:
  std::optional<Read> ReadDevice(const std::string& syspath) override {
    const std::optional<SysfsDevice> device = SysfsDevice::At(syspath);
    if (!device) {  // gone since the listing
      NoteSystemError("open", syspath + "/uevent", errno);
      return std::nullopt;
    }
    Read read{FactsOf(*device), device->Number()};
    if (read.facts.devnode.empty()) return std::nullopt;
    return read;
  }
};

// The class directory lists every hidraw device as a link to its sysfs path;
// read directly, a listing costs one readlink per device, where libudev's
// enumeration builds a device object for each.
std::vector<std::string> ClassDirSystem::List() {
  std::vector<std::string> syspaths;
  const std::filesystem::path dir = kClassDir;
  std::unique_ptr<DIR, int (*)(DIR*)> listing(::opendir(kClassDir), ::closedir);
  if (!listing) {
    // Without the hidraw module there is no class directory and no device.
    if (errno != ENOENT) RecordSystemError("opendir", kClassDir, errno);
    return syspaths;
  }
  std::vector<char> target(PATH_MAX);
  errno = 0;
  while (const dirent* entry = ::readdir(listing.get())) {
    if (entry->d_name[0] == '.') continue;
    const std::string link = (dir / entry->d_name).string();
    const ssize_t n = ::readlink(link.c_str(), target.data(), target.size());
    if (n <= 0 || static_cast<std::size_t>(n) >= target.size()) {  // gone since the listing
      NoteSystemError("readlink", link, n < 0 ? errno : ENAMETOOLONG);
      continue;
    }
    syspaths.push_back(
        (dir / std::string_view(target.data(), static_cast<std::size_t>(n))).lexically_normal());
    errno = 0;
  }
  if (errno != 0) {
    RecordSystemError("readdir", kClassDir, errno);
    syspaths.clear();
    return syspaths;
  }
  std::sort(syspaths.begin(), syspaths.end());  // libudev's order
  return syspaths;
}

}  // namespace

std::unique_ptr<HidrawSystem> MakeSysfsSystem() {
  return std::make_unique<SysfsSystem>();
}

std::vector<DeviceFacts> HidrawCache::Scan() {
  std::lock_guard lock(mutex_);
  std::vector<DeviceFacts> devices;
  std::map<std::string, Kept> kept;
  last_reads_ = 0;
  for (std::string& syspath : system_->List()) {
    const auto old = kept_.find(syspath);
    if (old != kept_.end()) {
      Kept& entry = old->second;
      // The same node still there: only its access may have changed.
      if (system_->NodeNumber(entry.facts.devnode) == entry.number) {
        entry.facts.read_write = system_->ReadWrite(entry.facts.devnode);
        devices.push_back(entry.facts);
        kept.emplace(std::move(syspath), std::move(entry));
        continue;
      }
    }
    ++last_reads_;
    std::optional<HidrawSystem::Read> read = system_->ReadDevice(syspath);
    if (!read) continue;
    devices.push_back(read->facts);
    kept.emplace(std::move(syspath), Kept{std::move(read->facts), read->number});
  }
  kept_ = std::move(kept);
  return devices;
}

std::size_t HidrawCache::LastReads() const {
  std::lock_guard lock(mutex_);
  return last_reads_;
}

}  // namespace vyhid::hidraw
