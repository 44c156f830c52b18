// The vyhid command-line tool as a library: main() is a thin wrapper around
// RunVyhid, and tests run the tool in-process, driving the simulated bridge
// from another thread while the tool runs.
#pragma once

namespace vyhid {

// Exit statuses of the tool.
enum ExitStatus : int {
  kExitOk = 0,
  kExitFailure = 1,       // the device refused or failed an operation
  kExitUsage = 2,         // bad arguments, bad hex, unreadable file, bad device file
  kExitNoBridge = 3,      // no bridge library, or one without the 13 entry points
  kExitNoDevice = 4,      // no device with that number or matching that text
  kExitPermission = 5,    // the device node is not accessible to this user
  kExitInterrupted = 130  // stopped (SIGINT, SIGTERM): a send or a read of standard
                          // input cut short, and how a monitor ends
};

// Where one run of the tool reads its stop request and writes its output.
struct CliStreams {
  int out = 1;    // results only
  int err = 2;    // errors, notes and progress
  int stop = -1;  // readable when the run should stop: ends `monitor` and
                  // interrupts `send`, both with kExitInterrupted; -1 for none.
                  // The tool never reads it.
};

// Runs the tool with the given arguments (argv[0] is the program name) and
// returns its exit status. Must run on a thread without a live TVyHID (the
// component allows one instance per process); the component lives on the
// calling thread for the length of the call. Writes whole lines, each with
// one write(2), so that lines from the bridge's thread never tear.
int RunVyhid(int argc, const char* const* argv, const CliStreams& streams);

}  // namespace vyhid
