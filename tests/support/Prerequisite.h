// Skips for a missing prerequisite: something our set-up provides (a package
// of scripts/setup.sh, a data file of the repository). On a developer's
// machine the test skips and says what is missing; under CI (environment CI
// set to "true" or "1", as .ci/run does) it fails, so that a machine whose
// set-up missed something does not pass.
//
//   if (!corpus) VYHID_MISSING_PREREQUISITE() << "no corpus at " << dir;
//
// What no set-up can provide (hardware, root, a platform's limits) stays a
// plain GTEST_SKIP.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <string_view>

namespace vyhid_test {

inline bool MissingPrerequisitesFail() {
  const char* ci = std::getenv("CI");
  return ci != nullptr && (std::string_view(ci) == "true" || std::string_view(ci) == "1");
}

}  // namespace vyhid_test

#define VYHID_MISSING_PREREQUISITE()                                                         \
  return GTEST_MESSAGE_(                                                                     \
      ::vyhid_test::MissingPrerequisitesFail() ? "Missing prerequisite (a failure under CI)" \
                                               : "Missing prerequisite",                     \
      ::vyhid_test::MissingPrerequisitesFail() ? ::testing::TestPartResult::kFatalFailure    \
                                               : ::testing::TestPartResult::kSkip)
