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
// directories and the loader's cache. Never in the current directory, nor in
// any relative directory, unless LD_LIBRARY_PATH names it. On Windows a
// bare name is searched in the program's folder, the folders the program
// added (AddDllDirectory) and the system folder, never in the current folder
// or PATH. Returns 0 when the file cannot be loaded (LastLibraryError says
// why). Each successful load needs one
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
// Why the last load on this thread failed: the loader's own text for a
// failed LoadLibraryW, or what a caller set after a load that succeeded but
// did not give what it needed (such as an export that is missing).
String LastLibraryError();
// Sets the calling thread's LastLibraryError.
void SetLastLibraryError(const String& Reason);

}  // namespace rtl
