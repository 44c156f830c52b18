// The tool's operating-system services on Windows. The console's Ctrl-C,
// Ctrl-Break and close come on a thread of their own: the handler writes a
// byte on a pipe, which is the stop descriptor, and ends the component's
// message loop (TApplication::Terminate is safe from any thread).
#include "Platform.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <string>

#include "Commands.h"
#include "vcl/Forms.h"

namespace vyhid {
namespace {

int stop_pipe[2] = {-1, -1};
std::atomic<bool> stop_seen{false};

BOOL WINAPI OnConsoleEvent(DWORD) {
  // A second interrupt: the default handler ends the process.
  if (stop_seen.exchange(true)) return FALSE;
  const char byte = 1;
  [[maybe_unused]] const int n = _write(stop_pipe[1], &byte, 1);
  vcl::Application.Terminate();
  return TRUE;
}

}  // namespace

int InstallStopHandler() {
  if (_pipe(stop_pipe, 64, _O_BINARY | _O_NOINHERIT) != 0) {
    std::perror("vyhid: _pipe");
    return -1;
  }
  if (!SetConsoleCtrlHandler(OnConsoleEvent, TRUE)) {
    std::fprintf(stderr, "vyhid: SetConsoleCtrlHandler: error %lu\n", GetLastError());
    return -1;
  }
  return stop_pipe[0];
}

void RunUntilStopped(int stop_fd) {
  // Without a stop descriptor nothing calls Terminate: the loop runs for ever.
  if (stop_fd < 0) {
    for (;;) vcl::Application.HandleMessage();
  }
  vcl::Application.Run();
}

bool StopRequested(int stop_fd) {
  if (stop_fd < 0) return false;
  DWORD available = 0;
  const auto pipe = reinterpret_cast<HANDLE>(_get_osfhandle(stop_fd));
  return PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr) && available > 0;
}

bool WaitReadable(int, int stop_fd) {
  return !StopRequested(stop_fd);
}

const int kOpenFlags = _O_BINARY | _O_NOINHERIT;

void SetBinary(int fd) {
  _setmode(fd, _O_BINARY);
}

std::string ExecutableDir() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (length == 0) return "";
    if (length < path.size()) {
      path.resize(length);
      break;
    }
    path.resize(path.size() * 2);
  }
  return std::filesystem::path(path).parent_path().string();
}

std::tm LocalTime(std::time_t t) {
  std::tm local{};
  localtime_s(&local, &t);
  return local;
}

std::string RenameReplacing(const std::string& from, const std::string& to) {
  if (MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING)) return {};
  return "MoveFileExA(" + from + "): error " + std::to_string(GetLastError());
}

}  // namespace vyhid
