#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "QueueTestSupport.h"
#include "rtl/Messages.h"
#include "vcl/Dialogs.h"
#include "vcl/Forms.h"

namespace {

TEST(Application, TerminateFromAnotherThreadEndsRun) {
  vcl::TApplication app;
  int calls = 0;
  framework_test::ScopedWindow window([&](rtl::TMessage&) {
    // Terminate from a thread that is not the loop's, once the loop runs.
    if (++calls == 1) std::thread([&app] { app.Terminate(); }).join();
  });
  rtl::PostMessageW(window.get(), 100, 0, 0);
  app.Run();
  EXPECT_TRUE(app.Terminated());
  EXPECT_EQ(calls, 1);
  app.Run();  // returns at once once terminated
}

TEST(Application, TerminateBeforeRun) {
  vcl::TApplication app;
  app.Terminate();
  app.Run();
  EXPECT_TRUE(app.Terminated());
}

TEST(Dialogs, PresenterIsReplaceableAndDefaultWritesAUtf8Line) {
  std::vector<rtl::String> shown;
  vcl::TMessagePresenter previous =
      vcl::SetMessagePresenter([&](const rtl::String& text) { shown.push_back(text); });
  vcl::ShowMessage(u"Missing \u20AC\r\n");
  EXPECT_EQ(shown, std::vector<rtl::String>{u"Missing \u20AC\r\n"});
  vcl::SetMessagePresenter(std::move(previous));

#if defined(_WIN32)
  GTEST_SKIP() << "the default is a modal message box";
#endif
  ::testing::internal::CaptureStderr();
  vcl::ShowMessage(u"caf\u00E9");
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "caf\xC3\xA9\n");
}

}  // namespace
