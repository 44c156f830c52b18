// The tool's operating-system services on POSIX systems: SIGINT and SIGTERM
// become a byte on a pipe that the tool polls together with the component's
// message loop.
#include "Platform.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "Commands.h"
#include "Error.h"
#include "vcl/Forms.h"

namespace vyhid {
namespace {

int stop_pipe[2] = {-1, -1};
volatile sig_atomic_t signals_seen = 0;

void OnSignal(int signal) {
  if (signals_seen != 0) {
    ::signal(signal, SIG_DFL);
    raise(signal);
    return;
  }
  signals_seen = 1;
  const char byte = 1;
  [[maybe_unused]] const ssize_t n = write(stop_pipe[1], &byte, 1);
}

}  // namespace

int InstallStopHandler() {
  if (pipe2(stop_pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
    std::perror("vyhid: pipe2");
    return -1;
  }
  struct sigaction action = {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  return stop_pipe[0];
}

void RunUntilStopped(int stop_fd) {
  pollfd fds[2] = {{vcl::Application.EventFd(), POLLIN, 0}, {stop_fd, POLLIN, 0}};
  const nfds_t count = stop_fd >= 0 ? 2 : 1;
  for (;;) {
    vcl::Application.ProcessMessages();
    if (poll(fds, count, -1) < 0) {
      if (errno == EINTR) continue;
      throw CliError(kExitFailure, std::string("poll: ") + std::strerror(errno));
    }
    if (count == 2 && (fds[1].revents & (POLLIN | POLLHUP | POLLERR)) != 0) return;
  }
}

bool StopRequested(int stop_fd) {
  if (stop_fd < 0) return false;
  pollfd fd{stop_fd, POLLIN, 0};
  return poll(&fd, 1, 0) > 0 && (fd.revents & (POLLIN | POLLHUP | POLLERR)) != 0;
}

bool WaitReadable(int fd, int stop_fd) {
  for (;;) {
    pollfd fds[2] = {{fd, POLLIN, 0}, {stop_fd, POLLIN, 0}};
    const int ready = poll(fds, stop_fd >= 0 ? 2 : 1, -1);
    if (StopRequested(stop_fd)) return false;
    if (ready >= 0 || errno != EINTR) return true;
  }
}

const int kOpenFlags = O_CLOEXEC;

void SetBinary(int) {}

std::string ExecutableDir() {
  std::error_code ec;
  const std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  return ec ? std::string() : exe.parent_path().string();
}

std::tm LocalTime(std::time_t t) {
  std::tm local{};
  localtime_r(&t, &local);
  return local;
}

std::string RenameReplacing(const std::string& from, const std::string& to) {
  if (std::rename(from.c_str(), to.c_str()) == 0) return {};
  return "rename(" + from + "): " + std::strerror(errno);
}

}  // namespace vyhid
