// vyhid: the command-line tool. An interrupt (Ctrl-C) makes the stop
// descriptor readable, which the commands wait on together with the
// component's message loop; a second one ends the process at once.
#include "Platform.h"
#include "vyhid/Cli.h"

int main(int argc, char** argv) {
  const int stop_fd = vyhid::InstallStopHandler();
  if (stop_fd < 0) return vyhid::kExitFailure;
  return vyhid::RunVyhid(argc, argv, vyhid::CliStreams{1, 2, stop_fd});
}
