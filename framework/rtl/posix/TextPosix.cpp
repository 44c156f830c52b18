// Text in the system's 8-bit encoding on Linux: UTF-8.
#include "rtl/System.h"

namespace rtl {

String AnsiToString(std::string_view Bytes) {
  return Utf8ToString(Bytes);
}

}  // namespace rtl
