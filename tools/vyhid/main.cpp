// vyhid: the command-line tool. SIGINT and SIGTERM become a byte on a pipe
// that the tool polls together with the component's message loop; a second
// signal ends the process at once.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>

#include "vyhid/Cli.h"

namespace {

int stopPipe[2] = {-1, -1};
volatile sig_atomic_t signalsSeen = 0;

void OnSignal(int signal) {
  if (signalsSeen != 0) {
    ::signal(signal, SIG_DFL);
    raise(signal);
    return;
  }
  signalsSeen = 1;
  const char byte = 1;
  [[maybe_unused]] const ssize_t n = write(stopPipe[1], &byte, 1);
}

}  // namespace

int main(int argc, char** argv) {
  if (pipe2(stopPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
    std::perror("vyhid: pipe2");
    return vyhid::kExitFailure;
  }
  struct sigaction action = {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  return vyhid::RunVyhid(argc, argv, vyhid::CliStreams{1, 2, stopPipe[0]});
}
