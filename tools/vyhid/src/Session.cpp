#include "Session.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <optional>
#include <regex>
#include <sstream>
#include <utility>

namespace vyhid {
namespace {

std::string JoinMessages(const std::vector<std::string>& messages) {
  std::string text;
  for (const std::string& m : messages) {
    if (!text.empty()) text += "; ";
    text += m;
  }
  return text;
}

// Collapses the component's multi-line message box text into one line.
std::string OneLine(const std::string& text) {
  std::string line;
  for (char c : text) {
    if (c == '\r' || c == '\n') {
      if (!line.empty() && line.back() != ' ') line.push_back(' ');
    } else {
      line.push_back(c);
    }
  }
  while (!line.empty() && line.back() == ' ') line.pop_back();
  return line;
}

// The IDs of "VID:046d PID:c52b" (either or both; -1: not given), or nothing
// when the text is not of that form.
std::optional<std::pair<int, int>> ParseIds(const std::string& spec) {
  static const std::regex word(R"((VID|PID):(?:0x)?([0-9A-F]{1,4}))", std::regex::icase);
  std::pair<int, int> ids{-1, -1};
  std::istringstream words(spec);
  for (std::string w; words >> w;) {
    std::smatch m;
    if (!std::regex_match(w, m, word)) return std::nullopt;
    (std::toupper(w[0]) == 'V' ? ids.first : ids.second) = std::stoi(m[2], nullptr, 16);
  }
  return ids;
}

}  // namespace

std::string IdsText(const TVyHIDdeviceInfo& info) {
  char ids[32];
  std::snprintf(ids, sizeof ids, "VID:%04X PID:%04X", info.VID, info.PID);
  return ids;
}

std::string ShortStringUtf8(const TShortString& s) {
  return rtl::StringToUtf8(rtl::Utf8ToString(ReadShortString(s)));
}

Session::MessageCollector::MessageCollector(std::vector<std::string>& messages)
    : previous_(vcl::SetMessagePresenter([&messages](const rtl::String& text) {
        messages.push_back(OneLine(rtl::StringToUtf8(text)));
      })) {}

Session::MessageCollector::~MessageCollector() {
  vcl::SetMessagePresenter(previous_);
}

Session::Session(const BridgeRequest& request) : bridge_(LoadedBridge::Load(request)) {
  hid_ = std::make_unique<TVyHID>(nullptr);
  if (aVyHID.load() != hid_.get()) {
    // Refused by the one-instance rule: it is inert and has said why.
    const std::string why = JoinMessages(messages_);
    throw CliError(kExitFailure,
                   "another TVyHID is live in this process" + (why.empty() ? "" : ": " + why));
  }
  if (hid_->ScanForHIDdevices() < 0) {
    const std::string why = JoinMessages(messages_);
    throw CliError(kExitNoBridge, "the bridge " + bridge_->Path() +
                                      " could not be bound: " + (why.empty() ? "unknown" : why));
  }
}

Session::~Session() = default;

int Session::DeviceCount() const {
  const int count = hid_->DevCount;
  return std::clamp(count, 0, static_cast<int>(vyhid::kDeviceSlots));
}

int Session::SelectDevice(const std::string& spec) {
  if (spec.find_first_not_of(" \t") == std::string::npos) {
    throw CliError(kExitUsage,
                   "DEVICE is empty: give a device number, VID:xxxx PID:xxxx or a "
                   "text ('vyhid list' shows the devices)");
  }
  const int count = DeviceCount();
  bool numeric = true;
  for (char c : spec) numeric = numeric && c >= '0' && c <= '9';
  if (numeric) {
    const int nr = spec.size() > 3 ? 1000 : std::stoi(spec);
    if (nr >= count) {
      throw CliError(kExitNoDevice, "no device " + spec + " (" + std::to_string(count) +
                                        " found; 'vyhid list' shows them)");
    }
    return nr;
  }
  if (const std::optional<std::pair<int, int>> ids = ParseIds(spec)) {
    for (int nr = 0; nr < count; ++nr) {
      const TVyHIDdeviceInfo& info = Slot(nr).VyHIDinfo;
      if ((ids->first < 0 || ids->first == info.VID) &&
          (ids->second < 0 || ids->second == info.PID)) {
        return nr;
      }
    }
  } else {
    hid_->Filter = rtl::Utf8ToString(spec);
    for (int nr = 0; nr < DeviceCount(); ++nr) {
      if (Slot(nr).HIDstringsInfo->Count() > 0) return nr;
    }
  }
  throw CliError(kExitNoDevice, "no device matches '" + spec + "' (" +
                                    std::to_string(DeviceCount()) +
                                    " found; 'vyhid list' shows them)");
}

std::string Session::Path(int nr) const {
  return ShortStringUtf8(Slot(nr).HIDinfo.SymLink);
}

std::string Session::Label(int nr) const {
  const TVyHIDdeviceInfo& info = Slot(nr).VyHIDinfo;
  return IdsText(info) + " " + ShortStringUtf8(info.ProductString) + " (" +
         ShortStringUtf8(info.ManufacturerString) + ")";
}

void Session::Open(int nr) {
  const std::string path = Path(nr);
  hid_->CurrentDevNr = nr;
  hid_->Active = true;
  if (hid_->Active) return;
  throw BridgeFailure("cannot open device " + std::to_string(nr) + ": " + Label(nr) +
                      (path.empty() ? "" : " at " + path));
}

CliError Session::BridgeFailure(const std::string& what) const {
  const std::optional<LoadedBridge::Failure> failure = bridge_->LastFailure();
  if (!failure) return CliError(kExitFailure, what);
  const std::string reason = failure->reason.empty() ? "" : ": " + failure->reason;
  switch (failure->code) {
    case EACCES:
      return CliError(kExitPermission,
                      what + ": permission denied" + reason + "\n" + PermissionFix());
    case EBUSY:
      return CliError(kExitFailure, what + ": device busy" + reason);
    case ENOENT:
      return CliError(kExitNoDevice, what + ": no such device" + reason);
    default:
      return CliError(kExitFailure, what + reason);
  }
}

void Session::RequireWritable(int nr) const {
  if (Slot(nr).HIDinfo.HasReadWriteAccess != 0) return;
  const std::string path = Path(nr);
  const std::string what = "permission denied: device " + std::to_string(nr) +
                           (path.empty() ? "" : " (" + path + ")") + " is read-only";
  if (bridge_->Simulated()) {
    throw CliError(kExitPermission, what + ": the device file " + bridge_->DeviceFile() +
                                        " says so ('access ro'); 'access rw' makes it writable");
  }
  throw CliError(kExitPermission, what + " for this user\n" + PermissionFix());
}

std::string Session::PermissionFix() const {
  const std::string rule = InstallPaths::UdevRule();
  // The trigger re-applies the rules to the nodes already there and --settle
  // returns once it has: the devices plugged in now need no replug. Group
  // membership counts from the next login only.
  return "fix: install the udev rule that grants access to hidraw devices (to the user at the "
         "seat and the group plugdev); it takes effect at once, no replug needed:\n"
         "  sudo install -m 644 " +
         rule +
         " /etc/udev/rules.d/\n"
         "  sudo udevadm control --reload-rules && sudo udevadm trigger --settle "
         "--subsystem-match=hidraw\n"
         "(a user neither at the seat nor in plugdev: sudo usermod -aG plugdev $USER, then log "
         "in again)";
}

}  // namespace vyhid
