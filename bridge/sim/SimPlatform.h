// What the simulated bridge asks of the system, on Linux and on Windows.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <thread>

namespace vyhid::sim {

// The folder of this library's file; empty when the system does not say.
std::filesystem::path LibraryFolder();
// The calling thread's kernel thread id (gettid(), GetCurrentThreadId()).
std::uint64_t CallingThreadId();
// Runs body on a new thread, detached, that holds a reference to this
// library until body returns: Windows unloads a library under its loader
// lock, which a thread needs in order to end, so unloading cannot join it;
// the library is unloaded by whichever ends last, the thread or the
// program's FreeLibrary. Returns the thread's id.
std::thread::id StartThreadHoldingLibrary(std::function<void()> body);

}  // namespace vyhid::sim
