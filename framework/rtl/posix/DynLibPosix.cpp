// Dynamic libraries over dlopen/dlsym/dlclose.
#include <dlfcn.h>
#include <link.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "DynLibPlatform.h"

namespace rtl::detail {
namespace {

constexpr int kMode = RTLD_NOW | RTLD_LOCAL;

void* AsHandle(HMODULE module) {
  // Module handles are the loader's own pointers, kept as numbers.
  return reinterpret_cast<void*>(module);  // NOLINT(performance-no-int-to-ptr)
}

std::string DlError() {
  const char* reason = ::dlerror();
  return reason != nullptr ? reason : "dlopen failed";
}

// A directory of a search path as the loader lists it: without trailing
// slashes, and "." for an empty entry.
std::string AsListed(std::string_view dir) {
  while (dir.size() > 1 && dir.back() == '/') dir.remove_suffix(1);
  return dir.empty() ? "." : std::string(dir);
}

// Whether a bare name may be looked for in `dir` (as listed): an absolute
// directory, or one the user's LD_LIBRARY_PATH names. Any other relative one
// is the current directory or below it, wherever the program happens to run;
// an empty run path entry (CMake ends build-tree run paths with one) is
// listed as ".". The C library removes LD_LIBRARY_PATH from a program the
// loader ignores it for (setuid).
bool MaySearch(const std::string& dir) {
  if (dir[0] == '/') return true;
  const char* value = std::getenv("LD_LIBRARY_PATH");
  if (value == nullptr || *value == '\0') return false;
  for (std::string_view rest = value;;) {
    const size_t end = std::min(rest.find_first_of(":;"), rest.size());
    if (AsListed(rest.substr(0, end)) == dir) return true;
    if (end == rest.size()) return false;
    rest.remove_prefix(end + 1);
  }
}

// The directories the dynamic loader would search for a library needed by
// the object holding `address`, in its order: LD_LIBRARY_PATH, that object's
// run path (with $ORIGIN expanded), the system directories.
std::vector<std::string> SearchPathOf(const void* address) {
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
  std::vector<std::string> dirs;
  for (unsigned i = 0; i < paths->dls_cnt; ++i) {
    if (const char* dir = paths->dls_serpath[i].dls_name) dirs.push_back(AsListed(dir));
  }
  return dirs;
}

// dlopen searches for a bare name on behalf of the object that calls it,
// which would be this library, not the program or library that called
// LoadLibraryW. So: a module already loaded under that name (its SONAME)
// first, then the caller's search path, then dlopen's own search (which
// adds the loader's cache) when this library's search path may be searched.
void* OpenBareName(const std::string& name, const void* caller, std::string& error) {
  if (void* handle = ::dlopen(name.c_str(), kMode | RTLD_NOLOAD)) return handle;
  for (const std::string& dir : SearchPathOf(caller)) {
    const std::string path = dir + "/" + name;
    if (!MaySearch(dir) || ::access(path.c_str(), F_OK) != 0) continue;
    if (void* handle = ::dlopen(path.c_str(), kMode)) return handle;
    if (error.empty()) error = DlError();  // e.g. a wrong architecture: go on, as ld.so does
  }
  if (!std::ranges::all_of(SearchPathOf(&kMode), MaySearch)) {
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
