// ShowMessage and its presenter.
#include "vcl/Dialogs.h"

#include <mutex>

#include "DefaultPresenter.h"

namespace vcl {
namespace {

// Process-wide: the installed presenter (empty: the default).
std::mutex presenterMutex;
TMessagePresenter presenter;

}  // namespace

void ShowMessage(const rtl::String& Msg) {
  TMessagePresenter current;
  {
    std::lock_guard lock(presenterMutex);
    current = presenter;
  }
  // Called without the lock, so a presenter may show messages or swap itself.
  if (current) {
    current(Msg);
  } else {
    detail::PresentByDefault(Msg);
  }
}

TMessagePresenter SetMessagePresenter(TMessagePresenter newPresenter) {
  std::lock_guard lock(presenterMutex);
  TMessagePresenter previous = std::move(presenter);
  presenter = std::move(newPresenter);
  return previous;
}

}  // namespace vcl
