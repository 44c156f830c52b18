// What the tool needs of the operating system beside standard C++, one file
// per platform (posix/, win32/). The declarations of RunUntilStopped and
// StopRequested, which the commands use, are in Commands.h.
#pragma once

#include <ctime>
#include <string>

namespace vyhid {

// Makes the stop descriptor that the commands wait on: it becomes readable
// when the user interrupts the tool (SIGINT or SIGTERM; on Windows the
// console's Ctrl-C, Ctrl-Break or close), and a second interrupt ends the
// process at once. Returns -1 after printing why when it cannot.
int InstallStopHandler();

// Waits until fd has bytes to read (or its end, or the wait failed: the read
// says why): true; or until the stop descriptor becomes readable: false. On
// Windows, where a pipe cannot be waited on with the stop, returns true at
// once unless a stop came (the read then blocks).
bool WaitReadable(int fd, int stop_fd);

// open()'s extra flags for the files the tool opens: not inherited by other
// programs, and on Windows binary (no CR LF translation).
extern const int kOpenFlags;

// Reads and writes fd as bytes (Windows opens the standard streams as text).
void SetBinary(int fd);

// The folder of the running program, "" when it cannot be known.
std::string ExecutableDir();

// The local time of t.
std::tm LocalTime(std::time_t t);

// Gives the file `from` the name `to`, replacing a file of that name, which
// rename() does not do on Windows. "" when done, else the call and the
// system's reason.
std::string RenameReplacing(const std::string& from, const std::string& to);

}  // namespace vyhid
