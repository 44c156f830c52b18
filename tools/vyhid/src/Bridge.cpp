#include "Bridge.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "Error.h"
#include "Platform.h"

namespace vyhid {
namespace {

namespace fs = std::filesystem;

constexpr char kBridgeFile[] = "HID_Bridge__.dll";

bool IsFile(const std::string& path) {
  std::error_code ec;
  return !path.empty() && fs::is_regular_file(path, ec);
}

// The first of the paths that is a file, or "".
std::string FirstFile(const std::vector<std::string>& paths) {
  for (const std::string& path : paths) {
    if (IsFile(path)) return path;
  }
  return "";
}

std::string Join(const std::string& dir, const std::string& rest) {
  return (fs::path(dir) / rest).lexically_normal().string();
}

// Returns the text of a device file, or throws kExitUsage with the reason: the
// system's, or a directory or an empty file where a device file should be (a
// file that lists no device has at least a comment saying so).
std::string ReadDeviceFile(const std::string& path) {
  const std::string cannot = "cannot read device file " + path + ": ";
  std::error_code ec;
  if (fs::is_directory(path, ec)) throw CliError(kExitUsage, cannot + "it is a directory");
  std::ifstream in(path, std::ios::binary);
  if (!in) throw CliError(kExitUsage, cannot + std::strerror(errno));
  std::ostringstream text;
  text << in.rdbuf();
  if (in.bad()) throw CliError(kExitUsage, cannot + std::strerror(errno));
  if (text.str().empty()) {
    throw CliError(kExitUsage, cannot +
                                   "it is empty (a device file that lists no device says so "
                                   "in a comment)");
  }
  return text.str();
}

}  // namespace

std::vector<std::string> InstallPaths::BridgeCandidates(const std::string& kind) {
  std::vector<std::string> candidates;
  const std::string exe_dir = ExecutableDir();
#ifdef VYHID_SYSTEM_BRIDGE_FROM_BIN
  // Where the system's bridge lies beside the programs (Windows), as the
  // component finds it by its bare name.
  if (kind != "sim" && !exe_dir.empty())
    candidates.push_back(Join(exe_dir, VYHID_SYSTEM_BRIDGE_FROM_BIN));
#endif
  if (!exe_dir.empty()) {
    candidates.push_back(
        Join(exe_dir, std::string(VYHID_BRIDGE_DIR_FROM_BIN) + "/" + kind + "/" + kBridgeFile));
  }
  // Build tree: the bridges as the build left them.
#ifdef VYHID_BUILD_HIDRAW_BRIDGE
  if (kind == "hidraw") candidates.push_back(VYHID_BUILD_HIDRAW_BRIDGE);
#endif
#ifdef VYHID_SIM_BRIDGE_PATH
  if (kind == "sim") candidates.push_back(VYHID_SIM_BRIDGE_PATH);
#endif
  return candidates;
}

std::string InstallPaths::FindBridge(const std::string& kind) {
  return FirstFile(BridgeCandidates(kind));
}

std::vector<std::string> InstallPaths::SimDeviceCandidates(const std::string& bridge_path) {
  std::vector<std::string> candidates;
  candidates.push_back(Join(fs::path(bridge_path).parent_path().string(), "devices/default.txt"));
#ifdef VYHID_SIM_DEFAULT_DEVICES_PATH
  candidates.push_back(VYHID_SIM_DEFAULT_DEVICES_PATH);
#endif
  return candidates;
}

std::string InstallPaths::UdevRule() {
  const std::string exe_dir = ExecutableDir();
  if (!exe_dir.empty()) {
    std::string installed = Join(exe_dir, VYHID_UDEV_RULE_FROM_BIN);
    if (IsFile(installed)) return installed;
  }
#ifdef VYHID_SOURCE_UDEV_RULE
  if (IsFile(VYHID_SOURCE_UDEV_RULE)) return VYHID_SOURCE_UDEV_RULE;
#endif
  return "70-vyhid-hidraw.rules";
}

std::unique_ptr<LoadedBridge> LoadedBridge::Load(const BridgeRequest& request) {
  const std::string kind = request.simulate ? "sim" : "hidraw";
  std::string path;
  if (request.path) {
    path = *request.path;
  } else if (request.env_path && !request.env_path->empty()) {
    path = *request.env_path;
  } else {
    path = InstallPaths::FindBridge(kind);
    if (path.empty()) {
      std::string looked;
      for (const std::string& candidate : InstallPaths::BridgeCandidates(kind))
        looked += "\n  " + candidate;
      throw CliError(kExitNoBridge, "no " + kind + " bridge found; looked for:" + looked +
                                        "\nbuild it, or name one with --bridge PATH");
    }
  }
  if (!IsFile(path)) throw CliError(kExitNoBridge, "no bridge at " + path);
  rtl::HMODULE module = 0;
  SimBridge sim;
  if (request.simulate) {
    std::string why;
    if (!LoadSimBridge(rtl::Utf8ToString(path), sim, module, &why)) {
      throw CliError(kExitNoBridge, why);
    }
  } else {
    module = rtl::LoadLibraryW(rtl::Utf8ToString(path));
    if (module == 0) {
      throw CliError(kExitNoBridge, "cannot load bridge " + path + ": " +
                                        rtl::StringToUtf8(rtl::LastLibraryError()));
    }
  }
  std::unique_ptr<LoadedBridge> bridge(new LoadedBridge(module, path, request.simulate, sim));
  if (request.simulate) {
    std::string file = request.simulate_file;
    if (file.empty()) {
      file = FirstFile(InstallPaths::SimDeviceCandidates(path));
      if (file.empty()) {
        throw CliError(kExitUsage,
                       "the bundled device file of the simulated bridge is missing; name one "
                       "with --simulate=FILE");
      }
    }
    bridge->LoadDeviceFile(file);
  }
  return bridge;
}

LoadedBridge::LoadedBridge(rtl::HMODULE module, std::string path, bool simulated,
                           const SimBridge& sim)
    : module_(module),
      last_error_(reinterpret_cast<tHIDlastError>(rtl::GetProcAddress(module, kLastErrorExport))),
      path_(std::move(path)),
      simulated_(simulated),
      sim_(sim) {}

std::optional<LoadedBridge::Failure> LoadedBridge::LastFailure() const {
  if (last_error_ == nullptr) return std::nullopt;
  char text[512] = {};
  const std::int32_t code = last_error_(text, sizeof text);
  if (code == 0) return std::nullopt;
  return Failure{code, text};
}

void LoadedBridge::LoadDeviceFile(const std::string& file) {
  const std::string text = ReadDeviceFile(file);
  char error[256] = {};
  if (sim_.LoadDeviceText(text.c_str(), error, sizeof error) < 0) {
    throw CliError(kExitUsage, file + ": " + error);
  }
  device_file_ = file;
}

LoadedBridge::~LoadedBridge() {
  rtl::FreeLibrary(module_);
}

}  // namespace vyhid
