// A wait that lets other threads' SendMessage calls to this thread through.
#pragma once

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

namespace vyhid::win32 {

// Waits until `object` is signalled, running meanwhile the messages that
// other threads send to this thread's windows (SendMessage): a thread this
// one waits for may itself wait in SendMessage until this thread answers.
// Posted messages stay in the queue. False when the wait fails
// (GetLastError says why).
bool WaitDispatchingSentMessages(HANDLE object);

}  // namespace vyhid::win32
