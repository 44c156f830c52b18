// Opens one HID device and prints its input reports until Ctrl-C. When the
// device is unplugged and plugged in again, the component reopens it
// (AutoConnect) and the reports go on.
//
//   monitor [FILTER]     the first device whose description contains FILTER
//                        (default: device 0)
//
// The component's thread runs its message loop (rescans after attach and
// removal, timers); input reports arrive on the bridge's thread. Here both
// wait in one poll(): the loop's descriptor and a signalfd for Ctrl-C.
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "VyHID.h"
#include "vcl/Forms.h"

namespace {

void PrintReport(rtl::TObject*, THIDreport report, std::uint8_t bytesCount) {
  // Called on the bridge's thread. One printf per line: stdio locks the
  // stream for each call, so lines from both threads never mix.
  char line[16 + 64 * 3];
  int length = std::snprintf(line, sizeof line, "report id %u:", report.ReportID);
  for (int i = 0; i < bytesCount && i < 64; ++i) {
    length += std::snprintf(line + length, sizeof line - length, " %02x", report.Data[i]);
  }
  std::printf("%s\n", line);
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  // Block the signals before the bridge starts its threads, so that they
  // arrive only through the signalfd.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  const int signalFd = signalfd(-1, &signals, SFD_CLOEXEC);

  if (const char* bridge = std::getenv("VYHID_BRIDGE"))
    rtl::LoadLibraryW(rtl::Utf8ToString(bridge));
  TVyHID hid(nullptr);
  hid.OnGetHIDData = PrintReport;
  bool open = false;  // both handlers run on this thread
  hid.OnDevOpen = [&open](rtl::TObject*, std::int32_t nr, TVyHIDDevInfo) {
    open = true;
    std::printf("device %d open\n", static_cast<int>(nr));
  };
  hid.OnDevClose = [&open](rtl::TObject*) {
    // Every rescan fires this, open or not; say so only for an open device.
    if (open) std::printf("device closed\n");
    open = false;
  };

  if (argc > 1) {
    hid.Filter = rtl::Utf8ToString(argv[1]);
  } else {
    hid.ScanForHIDdevices();
  }
  int chosen = -1;
  for (int nr = 0; nr < hid.DevCount && nr < static_cast<int>(vyhid::kDeviceSlots) && chosen < 0;
       ++nr) {
    if (hid.HIDinfoArray[nr].HIDstringsInfo->Count() > 0) chosen = nr;
  }
  if (chosen < 0) {
    std::fprintf(stderr, "no device found\n");
    return 1;
  }
  hid.CurrentDevNr = chosen;
  hid.Active = true;
  if (!hid.Active) {
    std::fprintf(stderr, "cannot open device %d\n", chosen);
    return 1;
  }

  pollfd fds[2] = {{vcl::Application.EventFd(), POLLIN, 0}, {signalFd, POLLIN, 0}};
  while (fds[1].revents == 0) {
    vcl::Application.ProcessMessages();
    poll(fds, 2, -1);
  }
  hid.CloseHidDevice();
  close(signalFd);
  return 0;
}
