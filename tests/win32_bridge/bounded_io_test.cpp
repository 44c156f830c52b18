// A request that never ends (a read from a pipe nobody writes to) is
// cancelled at its bound and waited for; one that can complete does.
#include <gtest/gtest.h>
#include <windows.h>

#include "BoundedIo.h"
#include "Handle.h"

namespace vyhid::win32 {
namespace {

TEST(BoundedIo, ARequestThatNeverEndsTimesOutAtItsBound) {
  const wchar_t* name = L"\\\\.\\pipe\\vyhid-bounded-io-test";
  const Handle server(
      ::CreateNamedPipeW(name, PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE, 1, 64, 64, 0, nullptr));
  ASSERT_TRUE(server);
  const Handle client(::CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_OVERLAPPED, nullptr));
  ASSERT_TRUE(client);
  char byte = 0;
  const auto read = [&](OVERLAPPED& ov) {
    return ::ReadFile(client.get(), &byte, 1, nullptr, &ov);
  };
  const ULONGLONG start = ::GetTickCount64();
  EXPECT_EQ(BoundedRequest(client.get(), 200, read), static_cast<DWORD>(ERROR_TIMEOUT));
  const ULONGLONG took = ::GetTickCount64() - start;
  EXPECT_GE(took, 190u);
  EXPECT_LT(took, 2000u) << "blocked no longer than the bound and the cancel";
  DWORD written = 0;
  ASSERT_TRUE(::WriteFile(server.get(), "x", 1, &written, nullptr));
  EXPECT_EQ(BoundedRequest(client.get(), 200, read), 0u);
  EXPECT_EQ(byte, 'x');
}

}  // namespace
}  // namespace vyhid::win32
