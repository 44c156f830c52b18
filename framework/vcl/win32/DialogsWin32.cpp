// ShowMessage's default on Windows: a modal message box titled with the
// program's file name.
#include <windows.h>

#include <string>

#include "DefaultPresenter.h"

namespace vcl::detail {

void PresentByDefault(const rtl::String& Msg) {
  wchar_t path[MAX_PATH] = {};
  const DWORD length = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring title(path, length);
  if (const auto slash = title.find_last_of(L"\\/"); slash != std::wstring::npos) {
    title.erase(0, slash + 1);
  }
  if (const auto dot = title.rfind(L'.'); dot != std::wstring::npos) title.erase(dot);
  const std::wstring text(Msg.begin(), Msg.end());
  ::MessageBoxW(nullptr, text.c_str(), title.c_str(), MB_OK | MB_TASKMODAL);
}

}  // namespace vcl::detail
