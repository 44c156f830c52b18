// The bridge's binary interface on 64-bit Windows, checked at the level of
// registers: a caller that knows nothing of C++ loads the argument registers,
// reserves the shadow space, calls, and looks at what the callee saw and left.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "EntryPoints.h"
#include "VyHID.h"
#include "VyHIDTestSupport.h"

namespace vyhid_test {
namespace {

// One call as CallX64 makes it: the argument registers and the shadow space
// as given (junk wherever the callee must not look), and what came back.
struct X64Call {
  std::uint64_t fn;
  std::uint64_t rcx, rdx, r8, r9;
  std::uint64_t shadow[4];
  std::uint64_t rspMoved;  // out: the stack pointer after the call minus before
  std::uint64_t after[7];  // out: rbp, rsi, rdi, r12 to r15 after the call
  std::uint64_t before[7];
};
static_assert(offsetof(X64Call, shadow) == 40 && offsetof(X64Call, rspMoved) == 72 &&
              offsetof(X64Call, after) == 80 && offsetof(X64Call, before) == 136);

extern "C" void CallX64(X64Call* call);
// Saves the callee-saved registers it uses, puts `before` into rbp, rsi, rdi
// and r12 to r15, the shadow words at the top of a 16-byte aligned stack,
// the four argument registers, and calls.
asm(R"(
  .text
  .globl CallX64
CallX64:
  .intel_syntax noprefix
  push rbx
  push rbp
  push rsi
  push rdi
  push r12
  push r13
  push r14
  push r15
  sub rsp, 40
  mov rbx, rcx
  mov rax, [rbx + 40]
  mov [rsp], rax
  mov rax, [rbx + 48]
  mov [rsp + 8], rax
  mov rax, [rbx + 56]
  mov [rsp + 16], rax
  mov rax, [rbx + 64]
  mov [rsp + 24], rax
  mov rbp, [rbx + 136]
  mov rsi, [rbx + 144]
  mov rdi, [rbx + 152]
  mov r12, [rbx + 160]
  mov r13, [rbx + 168]
  mov r14, [rbx + 176]
  mov r15, [rbx + 184]
  mov rcx, [rbx + 8]
  mov rdx, [rbx + 16]
  mov r8, [rbx + 24]
  mov r9, [rbx + 32]
  mov [rbx + 72], rsp
  call [rbx]
  mov rax, rsp
  sub rax, [rbx + 72]
  mov [rbx + 72], rax
  mov [rbx + 80], rbp
  mov [rbx + 88], rsi
  mov [rbx + 96], rdi
  mov [rbx + 104], r12
  mov [rbx + 112], r13
  mov [rbx + 120], r14
  mov [rbx + 128], r15
  add rsp, 40
  pop r15
  pop r14
  pop r13
  pop r12
  pop rdi
  pop rsi
  pop rbp
  pop rbx
  ret
  .att_syntax prefix
)");

// A call of `fn` with junk in every register and word it must not read.
X64Call Junk(const void* fn) {
  X64Call c{};
  c.fn = reinterpret_cast<std::uint64_t>(fn);
  c.rcx = c.rdx = c.r8 = c.r9 = 0x5A5A5A5A5A5A5A5Aull;
  for (std::uint64_t& w : c.shadow) w = 0xC3C3C3C3C3C3C3C3ull;
  for (int i = 0; i < 7; ++i)
    c.before[i] = 0x1111111111111111ull * static_cast<std::uint64_t>(i + 1);
  return c;
}

// The input report the caller copied; the count in the low byte of RDX.
struct ReportCall {
  alignas(16) std::uint8_t copy[80];
  X64Call call;
};

ReportCall MakeReportCall(const void* fn, std::uint8_t count) {
  ReportCall r{{}, Junk(fn)};
  for (int i = 0; i < 80; ++i) r.copy[i] = static_cast<std::uint8_t>(i < 65 ? 0x30 + i * 3 : 0xEE);
  r.call.rcx = reinterpret_cast<std::uint64_t>(r.copy);
  r.call.rdx = 0xDEADBEEFCAFEBA00ull | count;
  return r;
}

void ExpectCalleeSavedKept(const X64Call& c) {
  EXPECT_EQ(c.rspMoved, 0u);
  for (int i = 0; i < 7; ++i) EXPECT_EQ(c.after[i], c.before[i]) << "callee-saved register " << i;
}

// What the deliberately wrong callee saw, for the check that must fail.
std::uint8_t gWrongCount = 0;
THIDreport gWrongReport{};
void __attribute__((sysv_abi)) SysVReader(THIDreport Report, std::uint8_t BytesCount) {
  gWrongReport = Report;
  gWrongCount = BytesCount;
}

using AbiX64 = SimBridgeTest;

TEST_F(AbiX64, HIDreaderTakesTheReportThroughAPointerInRcxAndTheCountInDl) {
  TVyHID hid(nullptr);
  THIDreport got{};
  int gotCount = -1;
  int calls = 0;
  hid.OnGetHIDData = [&](rtl::TObject*, THIDreport Report, std::uint8_t BytesCount) {
    got = Report;
    gotCount = BytesCount;
    ++calls;
  };
  // Called directly, and through the type the bridge calls it by.
  const THIDcallBack asInstalled = HIDreader;
  for (const void* fn :
       {reinterpret_cast<const void*>(&HIDreader), reinterpret_cast<const void*>(asInstalled)}) {
    ReportCall r = MakeReportCall(fn, 42);
    const ReportCall sent = r;
    CallX64(&r.call);
    ExpectCalleeSavedKept(r.call);
    EXPECT_EQ(gotCount, 42);
    EXPECT_EQ(std::memcmp(&got, sent.copy, sizeof got), 0) << "a report byte was lost or moved";
  }
  EXPECT_EQ(calls, 2);

  // The harness sees a callee of the other x64 convention (System V: the
  // count in DIL, the report on the stack) get junk.
  ReportCall wrong = MakeReportCall(reinterpret_cast<const void*>(&SysVReader), 7);
  CallX64(&wrong.call);
  EXPECT_NE(gWrongCount, 7);
  EXPECT_NE(std::memcmp(&gWrongReport, wrong.copy, sizeof gWrongReport), 0);
}

}  // namespace
}  // namespace vyhid_test
