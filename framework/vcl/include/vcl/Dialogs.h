// ShowMessage with a replaceable presenter.
#pragma once

#include <functional>

#include "rtl/System.h"

namespace vcl {

// Shows the text and returns when it has been seen. By default the text goes
// to standard error (as UTF-8, with a line break) on Linux and to a modal
// message box on Windows; a GUI host or a test installs its own presenter.
// Safe from any thread; the presenter runs on the calling thread.
void ShowMessage(const rtl::String& Msg);

using TMessagePresenter = std::function<void(const rtl::String& Msg)>;
// Installs a presenter and returns the previous one (empty for the default);
// an empty one restores the default. Safe from any thread.
TMessagePresenter SetMessagePresenter(TMessagePresenter presenter);

}  // namespace vcl
