// TVyHID with its internal methods opened to the tests.
#pragma once

#include <cstring>
#include <string>
#include <vector>

#include "VyHID.h"

namespace vyhid_test {

class TestVyHID : public TVyHID {
 public:
  using TVyHID::DoOnDevClose;
  using TVyHID::GetDevDataAsStrings;
  using TVyHID::Loaded;
  using TVyHID::TVyHID;
  using TVyHID::WndProc;
};

// A field of a packed record, by value. The slot and summary records are
// packed, so their fields may be misaligned; the assertion macros take
// references, which must not bind to such a field.
template <class T>
T Field(T value) {
  return value;
}

// The description lines of slot nr.
inline std::vector<std::string> Lines(const TVyHID& hid, int nr) {
  std::vector<std::string> lines;
  const rtl::TStringList* list = hid.HIDinfoArray.at(static_cast<std::size_t>(nr)).HIDstringsInfo;
  for (int i = 0; i < list->Count(); ++i) lines.push_back(rtl::StringToUtf8((*list)[i]));
  return lines;
}

}  // namespace vyhid_test
