// The platform part of the dynamic libraries (posix/DynLibPosix.cpp over
// dlopen, win32/DynLibWin32.cpp over the system's loader). The portable part
// (DynLib.cpp) keeps the table of loaded modules, checks handles and records
// the reason of a failure.
#pragma once

#include "rtl/DynLib.h"

namespace rtl::detail {

// Loads the library FileName names (not empty, no NUL) and binds its
// symbols. `caller` is the return address of the LoadLibraryW call, whose
// module's search path a bare name follows where the platform searches on
// behalf of a module. Returns 0 and sets `reason` when the load fails, and
// leaves `reason` alone when it succeeds.
// Called without any lock: a library's start-up may load libraries itself.
HMODULE OpenLibrary(const String& FileName, const void* caller, String& reason);
// The address of an export of a module OpenLibrary returned, or null.
void* LibrarySymbol(HMODULE Module, const char* ProcName);
// Releases one load of the module; false when the system refuses.
bool CloseLibrary(HMODULE Module);

}  // namespace rtl::detail
