// A small package for the failure paths of LoadPackage, built in variants:
// TESTPKG_REQUIRES names a package it requires, TESTPKG_THROW makes its
// Register fail after registering a class, TESTPKG_NOT_A_PACKAGE leaves out
// the package exports.
#include <stdexcept>

#include "rtl/Packages.h"

namespace {

class TPkgThing : public rtl::TComponent {
 public:
  using rtl::TComponent::TComponent;
  rtl::String ClassName() const override { return u"TPkgThing"; }
};

const rtl::TClassInfo& PkgThingInfo() {
  static const rtl::TClassInfo info = [] {
    rtl::TClassInfo c;
    c.ClassName = u"TPkgThing";
    c.Parent = &rtl::TComponentClassInfo();
    c.Create = &rtl::CreateInstance<TPkgThing>;
    return c;
  }();
  return info;
}

#ifndef TESTPKG_REQUIRES
#define TESTPKG_REQUIRES "rtl270"
#endif
const char* const kRequires[] = {TESTPKG_REQUIRES};
const TPackageUnit kContains[] = {{"testpkg", ufMainUnit}};
const TPackageInfoTable kInfo = {sizeof(TPackageInfoTable),
                                 "testpkg",
                                 "test package",
                                 0,
                                 kRequires,
                                 1,
                                 kContains,
                                 1,
                                 nullptr,
                                 0};

}  // namespace

int gInitialized = 0;

#ifdef TESTPKG_NOT_A_PACKAGE
// A plain library: it has code, but none of the package exports.
RTL_PACKAGE_EXPORT const rtl::TClassInfo& AnInfo() {
  return PkgThingInfo();
}
#else
extern "C" {
RTL_PACKAGE_EXPORT void Initialize() {
  ++gInitialized;
}
RTL_PACKAGE_EXPORT void Finalize() {
  --gInitialized;
}
RTL_PACKAGE_EXPORT const TPackageInfoTable* GetPackageInfoTable() {
  return &kInfo;
}
RTL_PACKAGE_EXPORT void Register() {
  rtl::RegisterComponents(u"Test", {&PkgThingInfo()});
#ifdef TESTPKG_THROW
  throw std::runtime_error("register failed on purpose");
#endif
}
}
#endif
