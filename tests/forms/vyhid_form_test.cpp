// TVyHID stored with a form and read back against the simulated bridge, and
// in design mode, where it must do no device work.
#include <gtest/gtest.h>

#include <algorithm>
#include <stdexcept>
#include <string>

#include "Designer.h"
#include "VyHIDTestSupport.h"
#include "VyHID_props.h"
#include "rtl/Packages.h"
#include "rtl/Streaming.h"

namespace {

using rtl::String;
using vyhid_test::EventLog;

// A form as an application declares it: a TVyHID and four handlers.
class TForm1 : public rtl::TComponent {
 public:
  using rtl::TComponent::TComponent;
  String ClassName() const override { return u"TForm1"; }

  void VyHID1AfterDevScan(rtl::TObject*, std::int32_t DevCount, THIDinfoArray&) {
    log.Add("AfterDevScan " + std::to_string(DevCount));
  }
  void VyHID1GetHIDData(rtl::TObject*, THIDreport, std::uint8_t BytesCount) {
    log.Add("GetHIDData " + std::to_string(BytesCount));
  }
  void VyHID1DevOpen(rtl::TObject*, std::int32_t DevNr, TVyHIDDevInfo) {
    log.Add("DevOpen " + std::to_string(DevNr));
  }
  void VyHID1DevClose(rtl::TObject*) { log.Add("DevClose"); }

  EventLog log;
};

// A component whose property always fails, to break a form after the
// components before it were created.
class TBoom : public rtl::TComponent {
 public:
  using rtl::TComponent::TComponent;
  String ClassName() const override { return u"TBoom"; }
  void SetFuse(std::int32_t) { throw std::runtime_error("fuse blew"); }
  std::int32_t FFuse = 0;
  rtl::Property<TBoom, std::int32_t, &TBoom::FFuse, &TBoom::SetFuse> Fuse{this};
};

const rtl::TClassInfo& BoomInfo() {
  static const rtl::TClassInfo info = [] {
    rtl::TClassInfo c;
    c.ClassName = u"TBoom";
    c.Parent = &rtl::TComponentClassInfo();
    c.Create = &rtl::CreateInstance<TBoom>;
    c.Properties.push_back(rtl::Published<&TBoom::Fuse>(u"Fuse"));
    return c;
  }();
  return info;
}

const rtl::TClassInfo& Form1Info() {
  static const rtl::TClassInfo info = [] {
    rtl::TClassInfo c;
    c.ClassName = u"TForm1";
    c.Parent = &rtl::TComponentClassInfo();
    c.Handlers = {
        rtl::PublishedHandler<TOnAfterDevScan>(u"VyHID1AfterDevScan", u"TOnAfterDevScan",
                                               &TForm1::VyHID1AfterDevScan),
        rtl::PublishedHandler<TOnGetHIDData>(u"VyHID1GetHIDData", u"TOnGetHIDData",
                                             &TForm1::VyHID1GetHIDData),
        rtl::PublishedHandler<TOnDevOpen>(u"VyHID1DevOpen", u"TOnDevOpen", &TForm1::VyHID1DevOpen),
        rtl::PublishedHandler<rtl::TNotifyEvent>(u"VyHID1DevClose", u"TNotifyEvent",
                                                 &TForm1::VyHID1DevClose),
    };
    c.FieldClasses = {&vyhid::TVyHIDClassInfo(), &BoomInfo()};
    return c;
  }();
  return info;
}

void ReadForm(const std::string& text, TForm1& form) {
  rtl::TReadOptions options;
  options.RootClass = &Form1Info();
  rtl::ReadComponent(text, form, options);
}

// Binds an event to the form's published handler, as the reader would.
template <class Event>
void Bind(rtl::TComponent& form, Event& target, const char16_t* handler) {
  target = std::any_cast<Event>(rtl::FindHandlerInfo(Form1Info(), handler)->Bind(form));
}

int CountOf(const std::vector<std::string>& names, const std::string& name) {
  return static_cast<int>(std::count(names.begin(), names.end(), name));
}

const std::string kStoredForm =
    "object Form1: TForm1\n"
    "  object VyHID1: TVyHID\n"
    "    Active = False\n"
    "    Filter = 'VID:1234'\n"
    "    CurrentDevNr = -1\n"
    "    OnAfterDevScan = VyHID1AfterDevScan\n"
    "    OnGetHIDData = VyHID1GetHIDData\n"
    "    OnDevOpen = VyHID1DevOpen\n"
    "    OnDevClose = VyHID1DevClose\n"
    "  end\n"
    "end\n";

class VyHIDFormTest : public vyhid_test::SimBridgeTest {};

TEST_F(VyHIDFormTest, WrittenWithFilterAndBoundEventsAndReadBackEqual) {
  SetDevices({vyhid_test::MakeSimpleDevice("/dev/sim0")});
  std::string text;
  {
    TForm1 form(nullptr);
    form.SetName(u"Form1");
    auto* hid = new TVyHID(&form);
    hid->SetName(u"VyHID1");
    hid->Filter = u"VID:1234";
    TOnAfterDevScan afterScan;
    TOnGetHIDData getData;
    TOnDevOpen devOpen;
    rtl::TNotifyEvent devClose;
    Bind(form, afterScan, u"VyHID1AfterDevScan");
    Bind(form, getData, u"VyHID1GetHIDData");
    Bind(form, devOpen, u"VyHID1DevOpen");
    Bind(form, devClose, u"VyHID1DevClose");
    hid->OnAfterDevScan = afterScan;
    hid->OnGetHIDData = getData;
    hid->OnDevOpen = devOpen;
    hid->OnDevClose = devClose;
    text = rtl::WriteComponent(form, &Form1Info());
  }
  EXPECT_EQ(text, kStoredForm);

  TForm1 copy(nullptr);
  ReadForm(text, copy);
  ASSERT_EQ(copy.ComponentCount(), 1);
  auto* hid = dynamic_cast<TVyHID*>(copy.Components(0));
  ASSERT_NE(hid, nullptr);
  EXPECT_EQ(hid->Name(), u"VyHID1");
  EXPECT_EQ(String(hid->Filter), u"VID:1234");
  EXPECT_EQ(hid->CurrentDevNr, -1);
  EXPECT_TRUE(hid->AutoConnect);
  EXPECT_EQ(rtl::WriteComponent(copy, &Form1Info()), text);
  // The events reach the new form's handlers.
  copy.log.Clear();
  hid->ScanForHIDdevices();
  EXPECT_EQ(copy.log.Take(), (std::vector<std::string>{"DevClose", "AfterDevScan 1"}));
}

TEST_F(VyHIDFormTest, ReadingScansWhileLoadingAndFromLoadedAndStoredActiveOpensNothing) {
  SetDevices({vyhid_test::MakeSimpleDevice("/dev/sim0")});
  ClearCalls();
  TForm1 form(nullptr);
  ReadForm(
      "object Form1: TForm1\n"
      "  object VyHID1: TVyHID\n"
      "    Active = True\n"
      "    Filter = 'VID'\n"
      "    CurrentDevNr = 0\n"
      "    AutoConnect = False\n"
      "    OnAfterDevScan = VyHID1AfterDevScan\n"
      "    OnDevClose = VyHID1DevClose\n"
      "  end\n"
      "end\n",
      form);
  const auto calls = CallNames();
  EXPECT_EQ(CountOf(calls, "HIDscanForDevices"), 2)
      << "one scan for Filter while loading, one from Loaded";
  EXPECT_EQ(CountOf(calls, "HIDopenDevice"), 0) << "Active ran before CurrentDevNr was read";
  // The scan while loading came before the handlers were bound.
  EXPECT_EQ(form.log.Take(), (std::vector<std::string>{"DevClose", "AfterDevScan 1"}));
  auto* hid = static_cast<TVyHID*>(form.Components(0));
  EXPECT_FALSE(hid->Active);
  EXPECT_EQ(hid->CurrentDevNr, 0);
  EXPECT_EQ(hid->DevCount, 1);
  EXPECT_FALSE(hid->AutoConnect);
  EXPECT_FALSE(hid->InState(rtl::csLoading));
  EXPECT_TRUE(Messages().empty());
}

TEST_F(VyHIDFormTest, TwoInstancesOnAFormShowTheMessageOnceAndOneIsRefused) {
  TForm1 form(nullptr);
  ReadForm(
      "object Form1: TForm1\n"
      "  object VyHID1: TVyHID\n"
      "    CurrentDevNr = -1\n"
      "  end\n"
      "  object VyHID2: TVyHID\n"
      "    Filter = 'x'\n"
      "    CurrentDevNr = -1\n"
      "  end\n"
      "end\n",
      form);
  ASSERT_EQ(Messages().size(), 1u);
  EXPECT_NE(Messages()[0].find(u"It's: VyHID1 on Form1"), String::npos)
      << vyhid_test::Utf8(Messages()[0]);
  ASSERT_EQ(form.ComponentCount(), 2);
  auto* live = static_cast<TVyHID*>(form.Components(0));
  auto* refused = static_cast<TVyHID*>(form.Components(1));
  EXPECT_EQ(aVyHID.load(), live);
  EXPECT_EQ(live->DevCount, 0) << "the live one scanned from Loaded";
  EXPECT_EQ(refused->DevCount, 0);
  EXPECT_FALSE(refused->AutoConnect);
  EXPECT_EQ(refused->ScanForHIDdevices(), -1);
}

TEST_F(VyHIDFormTest, ABadFormLeavesNoComponentWindowOrTimer) {
  TForm1 form(nullptr);
  // The unknown handler is found before anything is created.
  EXPECT_THROW(ReadForm("object Form1: TForm1\n"
                        "  object VyHID1: TVyHID\n"
                        "    Filter = 'VID'\n"
                        "    OnDevClose = VyHID1Closed\n"
                        "  end\n"
                        "end\n",
                        form),
               rtl::EReadError);
  EXPECT_EQ(form.ComponentCount(), 0);
  EXPECT_TRUE(CallNames().empty()) << "no scan ran";
  EXPECT_EQ(aVyHID.load(), nullptr);
  EXPECT_EQ(rtl::LiveWindowCount(), 0);
}

TEST_F(VyHIDFormTest, AFailureAfterTheComponentWasCreatedReleasesItsWindowTimerAndBridge) {
  const int libraries = rtl::LoadedLibraryCount();
  TForm1 form(nullptr);
  try {
    ReadForm(
        "object Form1: TForm1\n"
        "  object VyHID1: TVyHID\n"
        "    Filter = 'VID'\n"
        "  end\n"
        "  object Boom1: TBoom\n"
        "    Fuse = 1\n"
        "  end\n"
        "end\n",
        form);
    FAIL() << "read without error";
  } catch (const rtl::EReadError& e) {
    EXPECT_EQ(e.Line(), 6);
    EXPECT_NE(std::string(e.what()).find("fuse blew"), std::string::npos) << e.what();
  }
  EXPECT_EQ(CountOf(CallNames(), "HIDscanForDevices"), 1) << "the component was built and scanned";
  EXPECT_EQ(form.ComponentCount(), 0);
  EXPECT_EQ(aVyHID.load(), nullptr);
  EXPECT_EQ(rtl::LiveWindowCount(), 0);
  EXPECT_EQ(rtl::MessageQueue::ForCurrentThread().ActiveTimerCount(), 0);
  EXPECT_EQ(rtl::LoadedLibraryCount(), libraries)
      << "the component's load of the bridge was released";
}

TEST_F(VyHIDFormTest, DesignModeLoadsNothingAndFilterScansReturnMinusOne) {
  const int libraries = rtl::LoadedLibraryCount();
  TForm1 form(nullptr);
  form.SetDesigning(true);
  ReadForm(kStoredForm, form);
  auto* hid = static_cast<TVyHID*>(form.Components(0));
  EXPECT_TRUE(hid->InState(rtl::csDesigning));
  hid->Filter = u"other";
  EXPECT_EQ(hid->ScanForHIDdevices(), -1);
  EXPECT_EQ(hid->DevCount, -1);
  EXPECT_TRUE(CallNames().empty()) << "the bridge was not touched";
  EXPECT_EQ(rtl::LoadedLibraryCount(), libraries);
  EXPECT_TRUE(Messages().empty());
  EXPECT_TRUE(form.log.Events().empty()) << "no event in design mode";
}

TEST_F(VyHIDFormTest, DesignerPlacesAndEditsTVyHIDWithoutDeviceWork) {
  const int libraries = rtl::LoadedLibraryCount();
  const std::string path = ::testing::TempDir() + "vyhid_designer_form.vfm";
  {
    designer::TDesigner d;
    d.LoadPackage(VYHIDPKG_PATH);
    d.NewForm();
    auto& hid = dynamic_cast<TVyHID&>(d.Place(u"TVyHID"));
    EXPECT_EQ(hid.Name(), u"VyHID1");
    EXPECT_TRUE(hid.InState(rtl::csDesigning));
    d.SetProperty(hid, u"Filter", "VID:1234");
    d.SetProperty(hid, u"AutoConnect", "False");
    d.SetProperty(hid, u"OnDevOpen", "VyHID1DevOpen");
    EXPECT_THROW(d.SetProperty(hid, u"DevCount", "2"), designer::EDesignError);
    EXPECT_THROW(d.SetProperty(hid, u"CurrentDevNr", "x"), designer::EDesignError);
    EXPECT_EQ(hid.DevCount, -1);
    d.SaveForm(path);
    d.OpenForm(path);
    EXPECT_EQ(d.FormText(),
              "object Form1: TForm1\n"
              "  object VyHID1: TVyHID\n"
              "    Active = False\n"
              "    Filter = 'VID:1234'\n"
              "    CurrentDevNr = -1\n"
              "    AutoConnect = False\n"
              "    OnDevOpen = VyHID1DevOpen\n"
              "  end\n"
              "end\n");
    const auto palette = d.Palette();
    ASSERT_EQ(palette.size(), 1u);
    EXPECT_TRUE(palette[0].Image.has_value());
  }
  EXPECT_TRUE(CallNames().empty());
  EXPECT_TRUE(Messages().empty());
  EXPECT_EQ(rtl::LoadedLibraryCount(), libraries);
  EXPECT_TRUE(rtl::PaletteItems().empty());
}

}  // namespace
