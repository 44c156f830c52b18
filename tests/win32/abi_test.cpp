// The bridge's binary interface on 32-bit Windows, checked at the level of
// the stack: a caller that knows nothing of C++ pushes the arguments byte by
// byte, calls, and looks at the stack pointer afterwards.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>

#include "EntryPoints.h"
#include "VyHID.h"
#include "VyHIDTestSupport.h"

namespace vyhid_test {
namespace {

// Copies `size` bytes to the top of a fresh stack frame, calls `fn` there and
// returns how far the stack pointer moved across the call: 0 when the callee
// removed exactly `size` bytes, as stdcall does. The stack is put back
// whatever the callee did.
__attribute__((noinline)) std::intptr_t CallWithFrame(const void* fn, const std::uint8_t* frame,
                                                      std::uint32_t size) {
  std::intptr_t moved;
  asm volatile(
      "movl %%esp, %%ebx\n\t"  // ebx survives the call (callee-saved)
      "subl %%ecx, %%esp\n\t"
      "movl %%esp, %%edi\n\t"
      "cld\n\t"
      "rep movsb\n\t"
      "call *%%eax\n\t"
      "movl %%esp, %%eax\n\t"
      "subl %%ebx, %%eax\n\t"
      "movl %%ebx, %%esp\n\t"
      : "=a"(moved), "+S"(frame), "+c"(size)
      : "0"(fn)
      : "ebx", "edx", "edi", "memory", "cc");
  return moved;
}

// The input-report frame: 65 report bytes, 3 fill bytes and a 32-bit slot
// for the count, with junk wherever only part of a slot counts.
struct ReportFrame {
  std::uint8_t bytes[72];
};
static_assert(sizeof(ReportFrame) == 72);

ReportFrame MakeReportFrame(std::uint8_t count) {
  ReportFrame f;
  for (int i = 0; i < 65; ++i) f.bytes[i] = static_cast<std::uint8_t>(0x30 + i * 3);
  f.bytes[65] = 0xA5;  // fill
  f.bytes[66] = 0x5A;
  f.bytes[67] = 0xC3;
  f.bytes[68] = count;  // the count's slot: only the low byte counts
  f.bytes[69] = 0xDE;
  f.bytes[70] = 0xAD;
  f.bytes[71] = 0xBE;
  return f;
}

// What the deliberately wrong callees saw, for the checks that must fail.
std::uint8_t gWrongCount = 0;
void __attribute__((cdecl)) CdeclReader(THIDreport, std::uint8_t BytesCount) {
  gWrongCount = BytesCount;
}
void VYHID_STDCALL ReaderByPointer(const THIDreport*, std::uint8_t BytesCount) {
  gWrongCount = BytesCount;
}

using Abi = SimBridgeTest;

TEST_F(Abi, HIDreaderTakesTheReportByValueAndRemovesItsSeventyTwoBytes) {
  TVyHID hid(nullptr);
  THIDreport got{};
  int gotCount = -1;
  int calls = 0;
  hid.OnGetHIDData = [&](rtl::TObject*, THIDreport Report, std::uint8_t BytesCount) {
    got = Report;
    gotCount = BytesCount;
    ++calls;
  };
  const ReportFrame frame = MakeReportFrame(42);
  EXPECT_EQ(CallWithFrame(reinterpret_cast<const void*>(&HIDreader), frame.bytes, 72), 0);
  ASSERT_EQ(calls, 1);
  EXPECT_EQ(gotCount, 42);
  EXPECT_EQ(std::memcmp(&got, frame.bytes, sizeof got), 0) << "a report byte was lost or moved";

  // The type the bridge calls through is the same convention.
  const THIDcallBack asInstalled = HIDreader;
  EXPECT_EQ(CallWithFrame(reinterpret_cast<const void*>(asInstalled), frame.bytes, 72), 0);
  EXPECT_EQ(calls, 2);
}

TEST(AbiHarness, SeesTheImbalanceOfAWrongCallee) {
  const ReportFrame frame = MakeReportFrame(7);
  // cdecl leaves the 72 bytes to the caller; a callee that takes the report
  // by pointer removes 8 bytes and reads the count from the report's bytes.
  EXPECT_EQ(CallWithFrame(reinterpret_cast<const void*>(&CdeclReader), frame.bytes, 72), -72);
  EXPECT_EQ(gWrongCount, 7);
  EXPECT_EQ(CallWithFrame(reinterpret_cast<const void*>(&ReaderByPointer), frame.bytes, 72), -64);
  EXPECT_NE(gWrongCount, 7);
}

// An entry point with a byte argument reads only the low byte of its slot and
// removes the 4 bytes; one without arguments removes none.
TEST_F(Abi, EntryPointsAreStdcallWithByteArgumentsInThirtyTwoBitSlots) {
  SetDevices({MakeSimpleDevice("/dev/a"), MakeSimpleDevice("/dev/b")});
  const rtl::HMODULE bridge = rtl::LoadLibraryW(vyhid::kBridgeFileName);  // the one loaded by path
  ASSERT_NE(bridge, 0u);
  const void* open = rtl::GetProcAddress(bridge, "HIDopenDevice");
  const void* close = rtl::GetProcAddress(bridge, "HIDcloseDevice");
  ASSERT_NE(open, nullptr);
  ASSERT_NE(close, nullptr);
  const std::uint8_t slot[4] = {1, 0xFF, 0xEE, 0xDD};  // device 1, junk above
  ClearCalls();
  EXPECT_EQ(CallWithFrame(open, slot, 4), 0);
  EXPECT_EQ(CallWithFrame(close, slot, 0), 0);
  const std::vector<SimCall> calls = Calls();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].Arg, 1);
  EXPECT_EQ(calls[0].Result, 1);
  EXPECT_EQ(calls[1].Result, 1) << "device 1 was open";
  rtl::FreeLibrary(bridge);
}

}  // namespace
}  // namespace vyhid_test
