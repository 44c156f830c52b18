// The unbound component: the bridge build it loads lacks an export.
#include "CallerInput.h"

namespace vyhid_test {

std::vector<State> CallerStates() {
  return {State::Unbound};
}

}  // namespace vyhid_test
