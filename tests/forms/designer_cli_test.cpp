// The designer program, driven as a user drives it: package information, the
// palette with its PNG image, placing and editing a TVyHID, reopening the
// form, and a bad form file.
#include <gtest/gtest.h>
#include <png.h>
#include <sys/wait.h>

#include <array>
#include <cstdio>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>
#include <string>

namespace {

struct Result {
  int status = -1;
  std::string output;  // standard output and standard error
};

Result Designer(const std::string& args) {
  const std::string command = std::string(DESIGNER_PATH) + " " + args + " 2>&1";
  std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), &pclose);
  Result result;
  if (!pipe) return result;
  std::array<char, 4096> buffer{};
  size_t n = 0;
  while ((n = fread(buffer.data(), 1, buffer.size(), pipe.get())) > 0)
    result.output.append(buffer.data(), n);
  const int raw = pclose(pipe.release());
  result.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  return result;
}

std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

const std::string kPackage = VYHIDPKG_PATH;

TEST(DesignerCli, ShowsThePackageIdentity) {
  const Result r = Designer("info " + kPackage);
  ASSERT_EQ(r.status, 0) << r.output;
  EXPECT_EQ(r.output,
            "Name: VyHIDpkg\n"
            "Description: NEVRA HID component\n"
            "Requires: vcl270 rtl270\n"
            "Contains: VyHIDpkg VyHID\n"
            "Version: FileVersion 1.0.0.0, ProductVersion 1.0.0.0\n"
            "Translation: 040904E4\n"
            "FileDescription: VyHIDpkg\n"
            "ProductName: VyHIDpkg\n"
            "FileVersion: 1.0.0.0\n"
            "ProductVersion: 1.0.0.0\n");
}

TEST(DesignerCli, ListsOnePaletteItemAndWritesItsImageAsPng) {
  const std::string dir = ::testing::TempDir();
  const Result r = Designer("palette " + kPackage + " " + dir);
  ASSERT_EQ(r.status, 0) << r.output;
  const std::string png = dir + "/TVyHID.png";
  EXPECT_EQ(r.output, "NEVRA\tTVyHID\t24x24x24\t" + png + "\n");

  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  ASSERT_TRUE(png_image_begin_read_from_file(&image, png.c_str())) << image.message;
  EXPECT_EQ(image.width, 24u);
  EXPECT_EQ(image.height, 24u);
  image.format = PNG_FORMAT_RGB;
  std::vector<unsigned char> pixels(PNG_IMAGE_SIZE(image));
  ASSERT_TRUE(png_image_finish_read(&image, nullptr, pixels.data(), 0, nullptr)) << image.message;
  std::set<unsigned> colours;
  for (size_t i = 0; i + 2 < pixels.size(); i += 3)
    colours.insert(pixels[i] << 16 | pixels[i + 1] << 8 | pixels[i + 2]);
  EXPECT_GE(colours.size(), 4u) << "a picture, not a blank square";
}

TEST(DesignerCli, PlacesEditsSavesAndReopensAForm) {
  const std::string form = ::testing::TempDir() + "/designer_cli_form.vfm";
  Result r = Designer("new " + kPackage + " " + form +
                      " TVyHID 'Filter=VID:1234 it'\\''s' AutoConnect=False");
  ASSERT_EQ(r.status, 0) << r.output;
  EXPECT_EQ(r.output, "VyHID1\n");
  r = Designer("set " + kPackage + " " + form +
               " VyHID1 CurrentDevNr=0 OnAfterDevScan=VyHID1AfterDevScan");
  ASSERT_EQ(r.status, 0) << r.output;
  const std::string expected =
      "object Form1: TForm1\n"
      "  object VyHID1: TVyHID\n"
      "    Active = False\n"
      "    Filter = 'VID:1234 it''s'\n"
      "    CurrentDevNr = 0\n"
      "    AutoConnect = False\n"
      "    OnAfterDevScan = VyHID1AfterDevScan\n"
      "  end\n"
      "end\n";
  EXPECT_EQ(ReadText(form), expected);
  r = Designer("show " + kPackage + " " + form);
  ASSERT_EQ(r.status, 0) << r.output;
  EXPECT_EQ(r.output, expected);
  // Clearing an event and restoring a default drop them from the file.
  r = Designer("set " + kPackage + " " + form + " VyHID1 OnAfterDevScan= AutoConnect=True");
  ASSERT_EQ(r.status, 0) << r.output;
  EXPECT_EQ(ReadText(form).find("AutoConnect"), std::string::npos);
  EXPECT_EQ(ReadText(form).find("OnAfterDevScan"), std::string::npos);
}

TEST(DesignerCli, RefusesBadInputWithAReason) {
  const std::string form = ::testing::TempDir() + "/designer_cli_bad.vfm";
  std::ofstream(form) << "object Form1: TForm1\n  object VyHID1: TVyHID\n    Filter = 'VID\n";
  Result r = Designer("show " + kPackage + " " + form);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.output, "designer: " + form + ":3:14: unterminated string\n");

  const std::string good = ::testing::TempDir() + "/designer_cli_good.vfm";
  ASSERT_EQ(Designer("new " + kPackage + " " + good + " TVyHID").status, 0);
  r = Designer("set " + kPackage + " " + good + " VyHID1 DevCount=1");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.output, "designer: DevCount is read-only\n");
  r = Designer("new " + kPackage + " " + good + " TTimer");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.output, "designer: no class TTimer on the palette\n");
  EXPECT_EQ(Designer("palette /nonexistent.so").status, 1);
  EXPECT_EQ(Designer("frobnicate " + kPackage).status, 2);
}

}  // namespace
