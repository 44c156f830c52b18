// Dynamic libraries over dlopen/dlsym/dlclose.
#include <dlfcn.h>
#include <link.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "DynLibPlatform.h"

namespace rtl::detail {
namespace {

constexpr int kMode = RTLD_NOW | RTLD_LOCAL;

void* AsHandle(HMODULE module) {
  return reinterpret_cast<void*>(module);
}

std::string DlError() {
  const char* reason = ::dlerror();
  return reason != nullptr ? reason : "dlopen failed";
}

// A directory of a search path as the loader lists it: without trailing
// slashes, and "." for an empty entry.
std::string AsListed(std::string dir) {
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  return dir.empty() ? "." : dir;
}

// Whether the user's LD_LIBRARY_PATH names `dir` (as listed). The C library
// removes the variable from a program the loader ignores it for (setuid).
bool UserLibraryPathNames(const std::string& dir) {
  const char* value = std::getenv("LD_LIBRARY_PATH");
  if (value == nullptr) return false;
  const std::string entries = value;
  for (size_t begin = 0; begin <= entries.size();) {
    size_t end = entries.find_first_of(":;", begin);
    if (end == std::string::npos) end = entries.size();
    if (AsListed(entries.substr(begin, end - begin)) == dir) return true;
    begin = end + 1;
  }
  return false;
}

struct SearchPath {
  std::vector<std::string> dirs;
  bool refused = false;  // the loader's list had a directory left out of `dirs`
};

// The directories the dynamic loader would search for a library needed by
// the object holding `address`, in its order: LD_LIBRARY_PATH, that object's
// run path (with $ORIGIN expanded), the system directories. A relative
// directory is left out unless the user's LD_LIBRARY_PATH names it: it is the
// current directory or one below it, wherever the program happens to run,
// and an empty run path entry (CMake ends build-tree run paths with one) is
// listed as ".".
SearchPath SearchPathOf(const void* address) {
  Dl_info info;
  link_map* object = nullptr;
  if (::dladdr1(address, &info, reinterpret_cast<void**>(&object), RTLD_DL_LINKMAP) == 0 ||
      object == nullptr) {
    return {};
  }
  Dl_serinfo size;
  if (::dlinfo(object, RTLD_DI_SERINFOSIZE, &size) != 0) return {};
  std::unique_ptr<Dl_serinfo, decltype(&std::free)> paths(
      static_cast<Dl_serinfo*>(std::malloc(size.dls_size)), &std::free);
  if (!paths || ::dlinfo(object, RTLD_DI_SERINFOSIZE, paths.get()) != 0 ||
      ::dlinfo(object, RTLD_DI_SERINFO, paths.get()) != 0) {
    return {};
  }
  SearchPath path;
  for (unsigned i = 0; i < paths->dls_cnt; ++i) {
    if (paths->dls_serpath[i].dls_name == nullptr) continue;
    const std::string dir = AsListed(paths->dls_serpath[i].dls_name);
    if (dir[0] == '/' || UserLibraryPathNames(dir)) {
      path.dirs.push_back(dir);
    } else {
      path.refused = true;
    }
  }
  return path;
}

// dlopen searches for a bare name on behalf of the object that calls it,
// which would be this library, not the program or library that called
// LoadLibraryW. So: a module already loaded under that name (its SONAME)
// first, then the caller's search path, then dlopen's own search (which
// adds the loader's cache), but only when this library's own search path
// has no directory the caller's would leave out.
void* OpenBareName(const std::string& name, const void* caller, std::string& error) {
  if (void* handle = ::dlopen(name.c_str(), kMode | RTLD_NOLOAD)) return handle;
  for (const std::string& dir : SearchPathOf(caller).dirs) {
    const std::string path = dir + "/" + name;
    if (::access(path.c_str(), F_OK) != 0) continue;
    if (void* handle = ::dlopen(path.c_str(), kMode)) return handle;
    if (error.empty()) error = DlError();  // e.g. a wrong architecture: go on, as ld.so does
  }
  if (SearchPathOf(&kMode).refused) {
    if (error.empty()) error = name + ": cannot open shared object file: No such file or directory";
    return nullptr;
  }
  void* handle = ::dlopen(name.c_str(), kMode);
  if (handle == nullptr && error.empty()) error = DlError();
  return handle;
}

}  // namespace

HMODULE OpenLibrary(const String& FileName, const void* caller, String& reason) {
  const std::string name = StringToUtf8(FileName);
  std::string error;
  void* handle = name.find('/') == std::string::npos ? OpenBareName(name, caller, error)
                                                     : ::dlopen(name.c_str(), kMode);
  if (handle == nullptr) reason = Utf8ToString(error.empty() ? DlError() : error);
  return reinterpret_cast<HMODULE>(handle);
}

void* LibrarySymbol(HMODULE Module, const char* ProcName) {
  return ::dlsym(AsHandle(Module), ProcName);
}

bool CloseLibrary(HMODULE Module) {
  return ::dlclose(AsHandle(Module)) == 0;
}

}  // namespace rtl::detail
