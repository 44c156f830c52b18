// Dynamic libraries loaded at run time.
#pragma once

#include <cstdint>

#include "rtl/System.h"

namespace rtl {

using HMODULE = std::uintptr_t;  // 0 is no module

// Loads a library. A bare name follows the system's search order
// (LD_LIBRARY_PATH, the cache, ...); a library already loaded under that name
// (its SONAME) is returned, so a program chooses a bridge by loading one by
// path first. Returns 0 when the file cannot be loaded.
HMODULE LoadLibraryW(const String& FileName);
// The address of an export, or null when it is absent.
void* GetProcAddress(HMODULE Module, const char* ProcName);
// Releases one load of the module.
bool FreeLibrary(HMODULE Module);
// Loads made through LoadLibraryW and not yet released (for leak checks).
int LoadedLibraryCount();
// The system's reason for the last failed LoadLibraryW on this thread.
String LastLibraryError();

}  // namespace rtl
