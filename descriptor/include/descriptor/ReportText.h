// Decoded reports as one line of text, the form the tool and the examples
// print: each value as "NAME VALUE", separated by two spaces, in field order.
//
//   X -3  Y 2  Button1 1           a mouse (variable fields: the logical value)
//   LeftShift 1  KeyboardA         a keyboard (array fields: the active usages)
//   Hatswitch null                 a value outside its logical range
//
// Pure computation, no global state, safe from any thread.
#pragma once

#include <string>

#include "descriptor/ReportCodec.h"

namespace vyhid::descriptor {

// One value: "X -3", "Hatswitch null", or an active array usage's name alone.
std::string FormatValue(const Value& value);
// Every value of the report, two spaces between them; empty when it has none
// (a keyboard with no key held).
std::string FormatValues(const DecodedReport& report);

}  // namespace vyhid::descriptor
