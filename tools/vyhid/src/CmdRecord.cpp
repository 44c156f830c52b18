// vyhid record: a device's report descriptor and every input report it sends,
// in the hid-recorder text format, until stopped:
//
//   R: <descriptor length> <descriptor bytes in hex>
//   N: <name>
//   P: <physical path>
//   I: <bus> <vendor> <product>          (hex)
//   E: <seconds>.<microseconds> <length> <report bytes in hex>
//
// Each E: line holds one report as the device sent it: its report ID byte
// first when the device numbers its reports, and its whole payload, put back
// together from the 64-byte pieces the component hands out.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "Assembler.h"
#include "Commands.h"
#include "DeviceDescriptor.h"
#include "Error.h"
#include "Hex.h"
#include "Platform.h"
#include "Session.h"
#include "descriptor/ReportDescriptor.h"

namespace vyhid {
namespace {

// The bus the recording names. The component's device record does not carry
// the bus a device is on; USB is what the bridges mostly serve.
constexpr unsigned kRecordedBus = 0x03;

// "R:" and "E:" lines: a count, then the bytes in hex.
std::string CountedHex(std::string_view bytes) {
  return std::to_string(bytes.size()) + (bytes.empty() ? "" : " " + FormatHex(bytes));
}

// A device name as the kernel makes one for a USB device: the manufacturer,
// then the product unless it already starts with it.
std::string DeviceName(const TVyHIDdeviceInfo& info) {
  std::string manufacturer = ShortStringUtf8(info.ManufacturerString);
  std::string product = ShortStringUtf8(info.ProductString);
  if (manufacturer.empty() || product.rfind(manufacturer, 0) == 0) return product;
  if (product.empty()) return manufacturer;
  return manufacturer + " " + product;
}

// Writes each input report as an E: line, put back together from the pieces
// OnGetHIDData brings (on the bridge's thread).
class ReportRecorder {
 public:
  ReportRecorder(LineWriter& out, vyhid::descriptor::ReportDescriptor descriptor)
      : out_(out),
        descriptor_(std::move(descriptor)),
        assembler_(descriptor_, [this](std::string_view bytes) { Write(bytes); }) {}

  void OnGetHIDData(rtl::TObject*, THIDreport report, std::uint8_t bytes_count) {
    std::lock_guard lock(mutex_);
    assembler_.Add(report, bytes_count);
  }

  // Writes a report still in progress, as far as it came.
  void Flush() {
    std::lock_guard lock(mutex_);
    assembler_.Flush();
  }

 private:
  void Write(std::string_view bytes) {
    const auto now = std::chrono::steady_clock::now();
    if (!started_) {
      start_ = now;
      started_ = true;
    }
    const auto us = static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::microseconds>(now - start_).count());
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "%06" PRIu64 ".%06" PRIu64, us / 1000000, us % 1000000);
    out_.Line("E: " + std::string(stamp) + " " + CountedHex(bytes));
  }

  LineWriter& out_;
  const vyhid::descriptor::ReportDescriptor descriptor_;
  ReportAssembler assembler_;
  std::mutex mutex_;
  bool started_ = false;
  std::chrono::steady_clock::time_point start_;
};

// The file named with -o, or standard output. The recording is written to a
// new file beside it, which takes the name only when the recording is
// complete: a record that fails leaves no file behind, and an existing file
// of that name stays as it was.
class RecordingFile {
 public:
  RecordingFile(const std::optional<std::string>& path, LineWriter& standard_output)
      : out_(&standard_output) {
    if (!path) return;
    if (path->empty()) throw CliError(kExitUsage, "'-o' needs a file name");
    path_ = *path;
    struct stat st {};
    if (::stat(path_.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
      throw CliError(kExitUsage, "cannot write " + path_ + ": it is a directory");
    }
    // Named by this process, made new (O_EXCL), with the mode a new file
    // gets under the user's umask.
    temporary_ = path_ + ".vyhid-" + std::to_string(::getpid()) + ".part";
    fd_ = ::open(temporary_.c_str(), O_WRONLY | O_CREAT | O_EXCL | kOpenFlags, 0644);
    if (fd_ < 0) {
      const int error = errno;
      const std::string tried = temporary_;
      temporary_.clear();
      throw CliError(kExitUsage,
                     "cannot write " + path_ + ": open(" + tried + "): " + std::strerror(error));
    }
    file_ = std::make_unique<LineWriter>(fd_);
    out_ = file_.get();
  }
  ~RecordingFile() {
    if (fd_ >= 0) ::close(fd_);
    if (!temporary_.empty()) ::unlink(temporary_.c_str());
  }
  RecordingFile(const RecordingFile&) = delete;
  RecordingFile& operator=(const RecordingFile&) = delete;

  LineWriter& Out() { return *out_; }
  // Closes the file and gives it its name; throws when a write, the close or
  // the rename failed (the file is then removed).
  void Finish() {
    if (out_->Failed()) {
      throw CliError(kExitFailure, "cannot write " +
                                       (path_.empty() ? std::string("the output") : path_) +
                                       ": the recording is incomplete");
    }
    if (fd_ < 0) return;
    const int closed = ::close(fd_);
    fd_ = -1;
    if (closed != 0) {
      throw CliError(kExitFailure, "cannot write " + path_ + ": close: " + std::strerror(errno));
    }
    if (const std::string why = RenameReplacing(temporary_, path_); !why.empty()) {
      throw CliError(kExitFailure, "cannot write " + path_ + ": " + why);
    }
    temporary_.clear();
  }

 private:
  LineWriter* out_;
  std::unique_ptr<LineWriter> file_;
  int fd_ = -1;
  std::string path_;
  std::string temporary_;  // the file being written; "" once it has its name
};

}  // namespace

int RunRecord(CommandContext& c) {
  RecordingFile file(c.args.output, c.out);
  std::unique_ptr<ReportRecorder> recorder;  // outlives the component: see monitor
  {
    Session session(c.bridge);
    const int nr = session.SelectDevice(c.args.device);
    const std::vector<std::uint8_t> descriptor = RequiredDescriptorBytes(session, nr, "record");
    const TVyHIDdeviceInfo& info = session.Slot(nr).VyHIDinfo;
    LineWriter& out = file.Out();
    out.Line("# " + session.Label(nr));
    out.Line("R: " + CountedHex(std::string_view(reinterpret_cast<const char*>(descriptor.data()),
                                                 descriptor.size())));
    out.Line("N: " + DeviceName(info));
    out.Line("P: " + session.Path(nr));
    char ids[32];
    std::snprintf(ids, sizeof ids, "I: %x %04x %04x", kRecordedBus, info.VID, info.PID);
    out.Line(ids);

    recorder = std::make_unique<ReportRecorder>(out, vyhid::descriptor::Parse(descriptor));
    session.Hid().OnGetHIDData = TOnGetHIDData(recorder.get(), &ReportRecorder::OnGetHIDData);
    session.Open(nr);
    if (c.err.IsTerminal()) c.err.Line("vyhid: recording; press Ctrl-C to stop");
    RunUntilStopped(c.stop_fd);
    session.Hid().CloseHidDevice();
  }
  recorder->Flush();
  file.Finish();
  // Like a monitor, only an interrupt ends a recording.
  return kExitInterrupted;
}

}  // namespace vyhid
