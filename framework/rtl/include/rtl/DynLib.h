// Dynamic libraries loaded at run time.
#pragma once

#include <cstdint>

#include "rtl/System.h"

namespace rtl {

using HMODULE = std::uintptr_t;  // 0 is no module

// All functions here are safe from any thread.

// Loads a library (the UTF-16 name is passed to the system as UTF-8) and
// binds all its symbols at once. A name with a '/' is a path. A bare name
// gives a library already loaded under that name (its SONAME), so a program
// chooses a bridge by loading one by path first; otherwise it is searched in
// LD_LIBRARY_PATH, the calling program's or library's RUNPATH, the system
// directories and the loader's cache. Returns 0 when the file cannot be
// loaded (LastLibraryError says why). Each successful load needs one
// FreeLibrary.
HMODULE LoadLibraryW(const String& FileName);
// The address of an export, or null when it is absent or Module is not a
// module loaded by LoadLibraryW.
void* GetProcAddress(HMODULE Module, const char* ProcName);
// Releases one load of the module; the library is unloaded with its last
// load. False when Module is not a module loaded by LoadLibraryW (0, or
// already released).
bool FreeLibrary(HMODULE Module);
// Loads made through LoadLibraryW and not yet released (for leak checks).
int LoadedLibraryCount();
// The system's reason for the last failed LoadLibraryW on this thread.
String LastLibraryError();
// Replaces this thread's reason, for a caller whose use of a loaded library
// failed (an export it needs is missing).
void SetLastLibraryError(const String& Reason);

}  // namespace rtl
