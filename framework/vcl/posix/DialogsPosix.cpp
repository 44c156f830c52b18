// ShowMessage's default on POSIX systems: a UTF-8 line on standard error.
#include <cstdio>
#include <string>

#include "DefaultPresenter.h"

namespace vcl::detail {

void PresentByDefault(const rtl::String& Msg) {
  std::string line = rtl::StringToUtf8(Msg);
  line.push_back('\n');
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
}

}  // namespace vcl::detail
