// A library for the dynamic-library tests, with one export.
#ifndef FRAMEWORK_TESTLIB_ANSWER
#define FRAMEWORK_TESTLIB_ANSWER 42
#endif
extern "C" {
__attribute__((visibility("default"))) int framework_testlib_answer() {
  return FRAMEWORK_TESTLIB_ANSWER;
}
}
