#include "SentMessageWait.h"

namespace vyhid::win32 {

bool WaitDispatchingSentMessages(HANDLE object) {
  for (;;) {
    // MWMO_INPUTAVAILABLE: also wakes for a message sent before the wait
    // began, which the queue has already seen.
    const DWORD woke =
        ::MsgWaitForMultipleObjectsEx(1, &object, INFINITE, QS_SENDMESSAGE, MWMO_INPUTAVAILABLE);
    if (woke == WAIT_OBJECT_0) return true;
    if (woke != WAIT_OBJECT_0 + 1) return false;
    // PeekMessage runs the sent messages before it looks at the queue;
    // PM_QS_SENDMESSAGE with PM_NOREMOVE takes no posted message.
    MSG msg;
    ::PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
  }
}

}  // namespace vyhid::win32
