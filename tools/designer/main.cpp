// designer: checks a component package the way a form designer uses it.
//
//   designer info PACKAGE
//   designer palette PACKAGE [PNG_DIR]
//   designer new PACKAGE FORM CLASS [PROP=VALUE ...]
//   designer set PACKAGE FORM COMPONENT PROP=VALUE ...
//   designer show PACKAGE FORM
//
// `new` starts a form, places one component of a palette class on it, sets
// the properties and saves the form; `set` opens a form, sets properties of
// one of its components and saves it again; `show` opens a form and prints it
// as the designer would save it. Everything runs in design mode.
#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "Designer.h"

namespace {

std::string U8(const rtl::String& s) {
  return rtl::StringToUtf8(s);
}

int Usage() {
  std::cerr << "usage: designer info PACKAGE\n"
               "       designer palette PACKAGE [PNG_DIR]\n"
               "       designer new PACKAGE FORM CLASS [PROP=VALUE ...]\n"
               "       designer set PACKAGE FORM COMPONENT PROP=VALUE ...\n"
               "       designer show PACKAGE FORM\n";
  return 2;
}

void SetAll(designer::TDesigner& d, rtl::TComponent& component,
            const std::vector<std::string>& assignments) {
  for (const std::string& assignment : assignments) {
    const auto eq = assignment.find('=');
    if (eq == std::string::npos || eq == 0)
      throw designer::EDesignError("expected PROP=VALUE, got '" + assignment + "'");
    d.SetProperty(component, rtl::Utf8ToString(assignment.substr(0, eq)),
                  assignment.substr(eq + 1));
  }
}

int Info(rtl::HPACKAGE package) {
  const auto info = rtl::GetPackageInfo(package);
  if (!info) throw designer::EDesignError("no package information");
  std::cout << "Name: " << U8(info->Name) << "\nDescription: " << U8(info->Description)
            << "\nRequires:";
  for (const auto& r : info->Requires) std::cout << ' ' << U8(r);
  std::cout << "\nContains:";
  for (const auto& u : info->Contains) std::cout << ' ' << U8(u);
  std::cout << '\n';
  if (const auto version = rtl::GetFileVersionInfo(package)) {
    std::cout << "Version: " << U8(version->QueryValue(u"\\").value_or(u"")) << '\n';
    const rtl::String translations =
        version->QueryValue(u"\\VarFileInfo\\Translation").value_or(u"");
    std::cout << "Translation: " << U8(translations) << '\n';
    const rtl::String block = translations.substr(0, 8);
    for (const char16_t* key :
         {u"FileDescription", u"ProductName", u"FileVersion", u"ProductVersion"}) {
      const auto value = version->QueryValue(u"\\StringFileInfo\\" + block + u"\\" + key);
      std::cout << U8(key) << ": " << U8(value.value_or(u"")) << '\n';
    }
  }
  return 0;
}

int Palette(const designer::TDesigner& d, const std::string& pngDir) {
  for (const auto& entry : d.Palette()) {
    std::cout << U8(entry.Page) << '\t' << U8(entry.ClassName);
    if (entry.Image) {
      std::cout << '\t' << entry.Image->Width << 'x' << entry.Image->Height << 'x'
                << entry.Image->BitsPerPixel;
      if (!pngDir.empty()) {
        const std::string path = pngDir + "/" + U8(entry.ClassName) + ".png";
        designer::WritePng(path, *entry.Image);
        std::cout << '\t' << path;
      }
    } else {
      std::cout << "\t(no image)";
    }
    std::cout << '\n';
  }
  return 0;
}

int Run(const std::vector<std::string>& args) {
  if (args.size() < 2) return Usage();
  const std::string& command = args[0];
  designer::TDesigner d;
  const rtl::HPACKAGE package = d.LoadPackage(args[1]);
  if (command == "info" && args.size() == 2) return Info(package);
  if (command == "palette" && args.size() <= 3) return Palette(d, args.size() == 3 ? args[2] : "");
  if (command == "new" && args.size() >= 4) {
    d.NewForm();
    rtl::TComponent& component = d.Place(rtl::Utf8ToString(args[3]));
    SetAll(d, component, {args.begin() + 4, args.end()});
    d.SaveForm(args[2]);
    std::cout << U8(component.Name()) << '\n';
    return 0;
  }
  if (command == "set" && args.size() >= 5) {
    d.OpenForm(args[2]);
    SetAll(d, d.Find(rtl::Utf8ToString(args[3])), {args.begin() + 4, args.end()});
    d.SaveForm(args[2]);
    return 0;
  }
  if (command == "show" && args.size() == 3) {
    d.OpenForm(args[2]);
    std::cout << d.FormText();
    return 0;
  }
  return Usage();
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return Run(std::vector<std::string>(argv + 1, argv + argc));
  } catch (const std::exception& e) {
    std::cerr << "designer: " << e.what() << '\n';
    return 1;
  }
}
