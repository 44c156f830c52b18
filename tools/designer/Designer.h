// A stand-in for a form designer: it loads a component package, shows its
// palette, places components on a form in design mode, edits their published
// properties and saves and reopens the form file. Programs and tests use it
// through this class; main.cpp is its command line.
//
// Single-threaded: a TDesigner and its forms live on the creating thread.
#pragma once

#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "rtl/Classes.h"
#include "rtl/Packages.h"
#include "rtl/TypInfo.h"

namespace designer {

// Any failure of a designer operation; what() says what and why.
class EDesignError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The form being designed: a component in design mode whose class exists
// only in the file (its code is not running), so its handlers are named
// stubs.
class TDesignForm : public rtl::TComponent {
 public:
  explicit TDesignForm(rtl::String className);
  rtl::String ClassName() const override { return info_.ClassName; }
  const rtl::TClassInfo& Info() const { return info_; }

 private:
  rtl::TClassInfo info_;
};

struct TPaletteEntry {
  rtl::String Page;
  rtl::String ClassName;
  std::optional<rtl::TBitmap> Image;  // the bitmap resource named after the class
};

class TDesigner {
 public:
  TDesigner() = default;
  // Destroys the form, then unloads the packages.
  ~TDesigner();
  TDesigner(const TDesigner&) = delete;
  TDesigner& operator=(const TDesigner&) = delete;

  // Loads a package and keeps it until the designer is destroyed.
  rtl::HPACKAGE LoadPackage(const std::string& path);
  // The palette items of every package, with images from the package that
  // registered them.
  std::vector<TPaletteEntry> Palette() const;

  // Starts a new, empty form (replacing the current one).
  TDesignForm& NewForm(const rtl::String& className = u"TForm1",
                       const rtl::String& name = u"Form1");
  // Closes the current form, then reads a form file in design mode. On
  // failure there is no form.
  TDesignForm& OpenForm(const std::string& path);
  // Writes the current form.
  void SaveForm(const std::string& path) const;
  std::string FormText() const;
  TDesignForm* Form() const { return form_.get(); }

  // Places a component of a palette class on the form, named like a
  // designer names it (TVyHID -> VyHID1, VyHID2, ...).
  rtl::TComponent& Place(const rtl::String& className);
  rtl::TComponent& Find(const rtl::String& name) const;
  // Sets a published property from its text: True/False, a number, any
  // text for a string, a handler name for an event (empty clears it).
  void SetProperty(rtl::TComponent& component, const rtl::String& property,
                   const std::string& value);

 private:
  const rtl::TClassInfo& PaletteClass(const rtl::String& className) const;

  std::vector<rtl::HPACKAGE> packages_;
  std::unique_ptr<TDesignForm> form_;
};

// Writes an RGB bitmap as a PNG file; throws EDesignError on failure.
void WritePng(const std::string& path, const rtl::TBitmap& bitmap);

}  // namespace designer
