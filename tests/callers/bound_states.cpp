// The states built on the full simulated bridge: a refused component beside
// a live one, a designing one, and a bound one Closed, Open and Lost.
#include "CallerInput.h"

namespace vyhid_test {

std::vector<State> CallerStates() {
  return {State::Refused, State::Designing, State::Closed, State::Open, State::Lost};
}

}  // namespace vyhid_test
