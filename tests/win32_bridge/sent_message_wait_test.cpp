// A thread that waits for another while that one waits in SendMessage for a
// window of the first: the wait runs the sent message and ends.
#include <gtest/gtest.h>
#include <windows.h>

#include "Handle.h"
#include "SentMessageWait.h"

namespace vyhid::win32 {
namespace {

constexpr UINT kSent = WM_APP + 1;
constexpr UINT kPosted = WM_APP + 2;

LRESULT CALLBACK Answer(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  if (msg == kSent) return static_cast<LRESULT>(::GetCurrentThreadId());
  return ::DefWindowProcW(hwnd, msg, wParam, lParam);
}

DWORD WINAPI SendThenEnd(void* window) {
  const auto hwnd = static_cast<HWND>(window);
  ::PostMessageW(hwnd, kPosted, 0, 0);
  return static_cast<DWORD>(::SendMessageW(hwnd, kSent, 0, 0));
}

TEST(SentMessageWait, RunsSentMessagesAndLeavesPostedOnes) {
  WNDCLASSW wc{};
  wc.lpfnWndProc = &Answer;
  wc.hInstance = ::GetModuleHandleW(nullptr);
  wc.lpszClassName = L"vyhid.SentMessageWaitTest";
  ASSERT_NE(::RegisterClassW(&wc), 0);
  const HWND window = ::CreateWindowExW(0, wc.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE,
                                        nullptr, wc.hInstance, nullptr);
  ASSERT_NE(window, nullptr);
  const Handle thread(::CreateThread(nullptr, 0, &SendThenEnd, window, 0, nullptr));
  ASSERT_TRUE(thread);
  ASSERT_TRUE(WaitDispatchingSentMessages(thread.get()));
  DWORD answeredBy = 0;
  ASSERT_TRUE(::GetExitCodeThread(thread.get(), &answeredBy));
  EXPECT_EQ(answeredBy, ::GetCurrentThreadId()) << "answered on the waiting thread";
  MSG msg;
  EXPECT_TRUE(::PeekMessageW(&msg, window, kPosted, kPosted, PM_REMOVE)) << "still queued";
  ::DestroyWindow(window);
  ::UnregisterClassW(wc.lpszClassName, wc.hInstance);
}

}  // namespace
}  // namespace vyhid::win32
