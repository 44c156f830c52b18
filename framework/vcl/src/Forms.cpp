// The application object.
#include "vcl/Forms.h"

#include "rtl/Messages.h"

namespace vcl {

TApplication Application;

void TApplication::ProcessMessages() {
  rtl::MessageQueue::ForCurrentThread().ProcessPending();
}

void TApplication::HandleMessage() {
  rtl::MessageQueue& queue = rtl::MessageQueue::ForCurrentThread();
  queue.WaitForWork();
  queue.ProcessPending();
}

void TApplication::Run() {
  // A window of this thread that Terminate posts to, so that a Terminate
  // from another thread ends the wait. The window is published before the
  // flag is read and Terminate sets the flag before reading the window, so
  // one of them always sees the other.
  const rtl::HWND wake = rtl::AllocateHWnd([](rtl::TMessage&) {});
  runWindow_.store(wake);
  while (!terminated_.load()) HandleMessage();
  runWindow_.store(0);
  rtl::DeallocateHWnd(wake);
}

void TApplication::Terminate() {
  terminated_.store(true);
  if (const rtl::HWND wake = runWindow_.load(); wake != 0) rtl::PostMessageW(wake, 0, 0, 0);
}

int TApplication::EventFd() const {
  return rtl::MessageQueue::ForCurrentThread().WakeFd();
}

}  // namespace vcl
