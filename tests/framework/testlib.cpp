// A library for the dynamic-library tests, with one export.
extern "C" {
__attribute__((visibility("default"))) int framework_testlib_answer() {
  return 42;
}
}
