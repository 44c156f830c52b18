// The platform's default ShowMessage presenter (one file per platform).
#pragma once

#include "rtl/System.h"

namespace vcl::detail {

// Shows the text and returns when it has been seen.
void PresentByDefault(const rtl::String& Msg);

}  // namespace vcl::detail
