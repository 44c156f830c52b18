// The form reader and writer over small test classes: round trips, the order
// in which properties, handlers and Loaded arrive, the storing rules, and bad
// files that must be refused with a position and leave nothing behind.
#include "rtl/Streaming.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "rtl/Packages.h"

namespace {

using rtl::String;
using rtl::TComponent;

using TValueEvent = rtl::TMethod<void(rtl::TObject* Sender, std::int32_t Value)>;

// What happened, in order, across all test components.
std::vector<std::string> gJournal;
int gLiveThings = 0;

class TThing : public TComponent {
 public:
  explicit TThing(TComponent* owner) : TComponent(owner) { ++gLiveThings; }
  ~TThing() override { --gLiveThings; }
  String ClassName() const override { return u"TThing"; }

  void Loaded() override {
    TComponent::Loaded();
    gJournal.push_back("Loaded " + rtl::StringToUtf8(Name()));
  }

  bool FEnabled = true;
  std::int32_t FCount = 0;
  String FText;
  std::int32_t FLevel = 7;  // read-only
  rtl::TNotifyEvent FOnChange;
  TValueEvent FOnValue;
  bool FFailOnText = false;

  void SetCount(std::int32_t value) {
    FCount = value;
    gJournal.push_back("Count " + std::to_string(value) +
                       (InState(rtl::csLoading) ? " loading" : "") + (FOnChange ? " bound" : ""));
    if (FOnChange) FOnChange(this);
  }
  void SetText(const String& value) {
    if (FFailOnText || value == u"boom") throw std::runtime_error("text refused");
    FText = value;
  }

  rtl::Property<TThing, bool, &TThing::FEnabled, &TThing::FEnabled> Enabled{this};
  rtl::Property<TThing, std::int32_t, &TThing::FCount, &TThing::SetCount> Count{this};
  rtl::Property<TThing, String, &TThing::FText, &TThing::SetText> Text{this};
  rtl::Property<TThing, std::int32_t, &TThing::FLevel> Level{this};
  rtl::Property<TThing, rtl::TNotifyEvent, &TThing::FOnChange, &TThing::FOnChange> OnChange{this};
  rtl::Property<TThing, TValueEvent, &TThing::FOnValue, &TThing::FOnValue> OnValue{this};
};

const rtl::TClassInfo& ThingInfo() {
  static const rtl::TClassInfo info = [] {
    rtl::TClassInfo c;
    c.ClassName = u"TThing";
    c.Parent = &rtl::TComponentClassInfo();
    c.Create = &rtl::CreateInstance<TThing>;
    c.Properties.push_back(rtl::Published<&TThing::Enabled>(u"Enabled").WithDefault(true));
    c.Properties.push_back(rtl::Published<&TThing::Count>(u"Count"));
    c.Properties.push_back(rtl::Published<&TThing::Text>(u"Text").WithDefault(String()));
    c.Properties.push_back(rtl::Published<&TThing::Level>(u"Level"));
    c.Properties.push_back(rtl::Published<&TThing::OnChange>(u"OnChange", u"TNotifyEvent"));
    c.Properties.push_back(rtl::Published<&TThing::OnValue>(u"OnValue", u"TValueEvent"));
    return c;
  }();
  return info;
}

class TTestForm : public TComponent {
 public:
  using TComponent::TComponent;
  String ClassName() const override { return u"TTestForm"; }
  void Loaded() override {
    TComponent::Loaded();
    gJournal.push_back("Loaded form");
  }
  void ThingChange(rtl::TObject* sender) {
    gJournal.push_back("ThingChange " +
                       rtl::StringToUtf8(static_cast<TComponent*>(sender)->Name()));
  }
  void ThingValue(rtl::TObject*, std::int32_t value) { lastValue = value; }
  std::int32_t lastValue = 0;
};

const rtl::TClassInfo& TestFormInfo() {
  static const rtl::TClassInfo info = [] {
    rtl::TClassInfo c;
    c.ClassName = u"TTestForm";
    c.Parent = &rtl::TComponentClassInfo();
    c.Create = &rtl::CreateInstance<TTestForm>;
    c.Handlers.push_back(rtl::PublishedHandler<rtl::TNotifyEvent>(u"ThingChange", u"TNotifyEvent",
                                                                  &TTestForm::ThingChange));
    c.Handlers.push_back(
        rtl::PublishedHandler<TValueEvent>(u"ThingValue", u"TValueEvent", &TTestForm::ThingValue));
    c.FieldClasses.push_back(&ThingInfo());
    return c;
  }();
  return info;
}

class StreamingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    gJournal.clear();
    ASSERT_TRUE(rtl::RegisterClass(TestFormInfo()));
  }
  void TearDown() override {
    rtl::UnRegisterClass(TestFormInfo());
    EXPECT_EQ(gLiveThings, 0);
  }
};

TEST_F(StreamingTest, RoundTripKeepsValuesNestingAndBindings) {
  TTestForm form(nullptr);
  form.SetName(u"Form1");
  auto* a = new TThing(&form);
  a->SetName(u"Thing1");
  a->Enabled = false;
  a->FCount = -2147483647 - 1;
  a->FText = String(u"it's\r\n\u00e9\u20ac") + u"\U0001F600" + String(1, u'\0') + u"#'";
  a->OnChange = rtl::TNotifyEvent(&form, &TTestForm::ThingChange);
  (*a).FOnChange.SetHandlerName(u"ThingChange");
  auto* inner = new TThing(a);
  inner->SetName(u"Inner");
  inner->SetTag(-5000000000);
  auto* unnamed = new TThing(&form);
  unnamed->FCount = 3;

  const std::string text = rtl::WriteComponent(form);
  EXPECT_EQ(text.find_first_of("\x80\xff"), std::string::npos) << "the writer writes ASCII only";
  EXPECT_NE(text.find("object Thing1: TThing\n"), std::string::npos) << text;
  EXPECT_NE(text.find("OnChange = ThingChange"), std::string::npos) << text;
  EXPECT_EQ(text.find("Level"), std::string::npos) << "read-only properties are not stored";

  TTestForm copy(nullptr);
  rtl::ReadComponent(text, copy);
  EXPECT_EQ(rtl::WriteComponent(copy), text);
  ASSERT_EQ(copy.ComponentCount(), 2);
  auto* a2 = dynamic_cast<TThing*>(copy.Components(0));
  ASSERT_NE(a2, nullptr);
  EXPECT_EQ(a2->Name(), u"Thing1");
  EXPECT_FALSE(a2->Enabled);
  EXPECT_EQ(a2->FCount, -2147483647 - 1);
  EXPECT_EQ(a2->FText, a->FText);
  ASSERT_EQ(a2->ComponentCount(), 1);
  EXPECT_EQ(a2->Components(0)->Tag(), -5000000000);
  EXPECT_EQ(copy.Components(1)->Name(), u"");
  // The handler is bound to the form that was read, not to the original.
  gJournal.clear();
  a2->FOnChange(a2);
  EXPECT_EQ(gJournal, (std::vector<std::string>{"ThingChange Thing1"}));
  EXPECT_EQ(a2->FOnChange.HandlerName(), u"ThingChange");
  EXPECT_EQ(a2->InState(rtl::csLoading), false);
}

TEST_F(StreamingTest, PropertiesHandlersAndLoadedArriveInStreamOrder) {
  const std::string text =
      "object Form1: TTestForm\n"
      "  object A: TThing\n"
      "    Count = 1\n"
      "    OnChange = thingchange\n"  // names ignore ASCII case
      "    Count = 2\n"
      "    OnValue = ThingValue\n"
      "  end\n"
      "  object B: TThing\n"
      "    Count = $10\n"
      "  end\n"
      "end\n";
  TTestForm form(nullptr);
  rtl::ReadComponent(text, form);
  EXPECT_EQ(gJournal,
            (std::vector<std::string>{"Count 1 loading", "Count 2 loading bound", "ThingChange A",
                                      "Count 16 loading", "Loaded form", "Loaded A", "Loaded B"}));
  EXPECT_EQ(form.Name(), u"Form1");
  auto* a = static_cast<TThing*>(form.Components(0));
  a->FOnValue(a, 42);
  EXPECT_EQ(form.lastValue, 42);
}

TEST_F(StreamingTest, StoringRules) {
  TTestForm form(nullptr);
  auto* thing = new TThing(&form);
  thing->SetName(u"T");
  // Defaults: Enabled true and Text empty are left out; Count has no
  // default and is always written; an event set in code has no name to store.
  thing->OnChange = rtl::TNotifyEvent([](rtl::TObject*) {});
  EXPECT_EQ(rtl::WriteComponent(form),
            "object TTestForm\n"
            "  object T: TThing\n"
            "    Count = 0\n"
            "  end\n"
            "end\n");
}

TEST_F(StreamingTest, StringSyntax) {
  const std::string text =
      "object TTestForm\n"
      "  object A: TThing\n"
      "    Text = 'a''b'#13#10'c'#$20AC +\n"
      "      ' d' + #233'\xC3\xA9'\n"
      "  end\n"
      "end";
  TTestForm form(nullptr);
  rtl::ReadComponent("\xEF\xBB\xBF" + text, form);  // with a byte order mark
  EXPECT_EQ(static_cast<TThing*>(form.Components(0))->FText, u"a'b\r\nc\u20ac d\u00e9\u00e9");
  EXPECT_EQ(rtl::QuoteString(u""), "''");
  EXPECT_EQ(rtl::QuoteString(u"\x01x'"), "#1'x'''");
}

TEST_F(StreamingTest, ReaderCreatesTheRootWhenAsked) {
  TComponent owner(nullptr);
  TComponent* form = rtl::ReadComponent("object F: TTestForm object A: TThing end end", &owner);
  ASSERT_NE(form, nullptr);
  EXPECT_EQ(form->GetOwner(), &owner);
  EXPECT_EQ(form->ClassName(), u"TTestForm");
  EXPECT_EQ(gLiveThings, 1);
  // A bad file creates no root at all.
  EXPECT_THROW(
      rtl::ReadComponent("object G: TTestForm object A: TThing Count = 'x' end end", &owner),
      rtl::EReadError);
  EXPECT_EQ(owner.ComponentCount(), 1);
}

struct BadForm {
  const char* name;
  std::string text;
  int line;
  int column;
  const char* reasonPart;
};

std::string Nested(int depth) {
  std::string text;
  for (int i = 0; i < depth; ++i) text += "object TThing\n";
  for (int i = 0; i < depth; ++i) text += "end\n";
  return "object TTestForm\n" + text + "end\n";
}

class BadFormTest : public StreamingTest, public ::testing::WithParamInterface<BadForm> {};

TEST_P(BadFormTest, IsRefusedWithPositionAndLeavesNothing) {
  const BadForm& bad = GetParam();
  TTestForm form(nullptr);
  try {
    rtl::ReadComponent(bad.text, form);
    FAIL() << "read without error";
  } catch (const rtl::EReadError& e) {
    EXPECT_EQ(e.Line(), bad.line) << e.what();
    EXPECT_EQ(e.Column(), bad.column) << e.what();
    EXPECT_NE(e.Reason().find(bad.reasonPart), std::string::npos) << e.what();
    EXPECT_EQ(std::string(e.what()).rfind("line " + std::to_string(bad.line) + ", column ", 0), 0u);
  }
  EXPECT_EQ(form.ComponentCount(), 0);
  EXPECT_EQ(gLiveThings, 0);
}

const std::string kHead = "object Form1: TTestForm\n  object A: TThing\n";

INSTANTIATE_TEST_SUITE_P(
    Forms, BadFormTest,
    ::testing::Values(
        BadForm{"Truncated", kHead + "    Count = 1\n", 4, 1, "unexpected end of file"},
        BadForm{"TruncatedInValue", kHead + "    Count =", 3, 12, "unexpected end of file"},
        BadForm{"Empty", "", 1, 1, "'object' expected"},
        BadForm{"UnknownProperty", kHead + "    Cuont = 1\n  end\nend\n", 3, 5,
                "unknown property 'Cuont' of TThing"},
        BadForm{"UnknownClass", "object Form1: TTestForm\n  object A: TNothing\n  end\nend\n", 2, 3,
                "unknown class 'TNothing'"},
        BadForm{"WrongRootClass", "object Form1: TThing\nend\n", 1, 1, "not a 'TTestForm'"},
        BadForm{"StringForInteger", kHead + "    Count = '1'\n  end\nend\n", 3, 13,
                "wrong value type"},
        BadForm{"IntegerForBoolean", kHead + "    Enabled = 1\n  end\nend\n", 3, 15,
                "wrong value type"},
        BadForm{"IdentForBoolean", kHead + "    Enabled = Yes\n  end\nend\n", 3, 15, "'Yes'"},
        BadForm{"IntegerForEvent", kHead + "    OnChange = 5\n  end\nend\n", 3, 16,
                "wrong value type"},
        BadForm{"OutOfRange", kHead + "    Count = 2147483648\n  end\nend\n", 3, 13,
                "out of range"},
        BadForm{"BeyondInt64", kHead + "    Tag = 99999999999999999999\n  end\nend\n", 3, 11,
                "out of range"},
        BadForm{"UnknownHandler", kHead + "    OnChange = ThingChanged\n  end\nend\n", 3, 16,
                "unknown handler 'ThingChanged'"},
        BadForm{"HandlerOfOtherType", kHead + "    OnChange = ThingValue\n  end\nend\n", 3, 16,
                "needs a TNotifyEvent"},
        BadForm{"UnterminatedString", kHead + "    Text = 'abc\n  end\nend\n", 3, 12,
                "unterminated string"},
        BadForm{"UnterminatedAtEnd", kHead + "    Text = 'abc", 3, 12, "unterminated string"},
        BadForm{"BadCharacterCode", kHead + "    Text = #65536\n  end\nend\n", 3, 12,
                "above 65535"},
        BadForm{"InvalidUtf8", kHead + "    Text = 'a\xC3('\n  end\nend\n", 3, 14, "invalid UTF-8"},
        BadForm{"ReadOnly", kHead + "    Level = 1\n  end\nend\n", 3, 5, "read-only"},
        BadForm{"DuplicateName", kHead + "  end\n  object a: TThing\n  end\nend\n", 4, 3,
                "already exists"},
        BadForm{"PropertyAfterObject", kHead + "  end\n  Tag = 1\nend\n", 4, 3,
                "'object' or 'end' expected"},
        BadForm{"TrailingText", kHead + "  end\nend\nend\n", 5, 1, "end of file expected"},
        BadForm{"StrayCharacter", kHead + "    Count = 1;\n  end\nend\n", 3, 14,
                "unexpected character ';'"},
        BadForm{"DeepNesting", Nested(40), 33, 1, "nested deeper than 32"},
        BadForm{"SetterThrows", kHead + "    Count = 1\n    Text = 'boom'\n  end\nend\n", 4, 5,
                "setting 'Text' failed: text refused"}),
    [](const ::testing::TestParamInfo<BadForm>& info) { return info.param.name; });

TEST_F(StreamingTest, NestingUpToTheLimitIsRead) {
  TTestForm form(nullptr);
  rtl::ReadComponent(Nested(31), form);  // the root is level 1
  EXPECT_EQ(gLiveThings, 31);
  rtl::TReadOptions shallow;
  shallow.MaxDepth = 4;
  TTestForm other(nullptr);
  EXPECT_THROW(rtl::ReadComponent(Nested(4), other, shallow), rtl::EReadError);
}

TEST_F(StreamingTest, OnFindMethodSuppliesHandlersTheFormLacks) {
  rtl::TReadOptions options;
  std::vector<String> asked;
  options.OnFindMethod = [&](const rtl::TPropInfo& event, const String& name) {
    asked.push_back(event.Name + u"=" + name);
    return event.MakeNamedStub(name);
  };
  TTestForm form(nullptr);
  rtl::ReadComponent(kHead + "    OnChange = NotInCode\n  end\nend\n", form, options);
  EXPECT_EQ(asked, std::vector<String>{u"OnChange=NotInCode"});
  auto* thing = static_cast<TThing*>(form.Components(0));
  ASSERT_TRUE(thing->FOnChange);
  thing->FOnChange(thing);  // a stub does nothing
  EXPECT_NE(rtl::WriteComponent(form).find("OnChange = NotInCode"), std::string::npos);
}

TEST_F(StreamingTest, WriterRefusesWhatCannotBeReadBack) {
  TTestForm form(nullptr);
  auto* thing = new TThing(&form);
  thing->SetName(u"not a name");
  EXPECT_THROW(rtl::WriteComponent(form), rtl::EWriteError);
  thing->SetName(u"T");
  new TComponent(thing);  // TComponent is always known
  EXPECT_NO_THROW(rtl::WriteComponent(form));
  class TUnknown : public TComponent {
   public:
    using TComponent::TComponent;
    String ClassName() const override { return u"TUnknown"; }
  };
  new TUnknown(&form);
  EXPECT_THROW(rtl::WriteComponent(form), rtl::EWriteError);
}

TEST(ClassRegistry, RefusesASecondClassOfTheSameName) {
  rtl::TClassInfo first;
  first.ClassName = u"TTwice";
  rtl::TClassInfo second;
  second.ClassName = u"ttwice";
  ASSERT_TRUE(rtl::RegisterClass(first));
  EXPECT_FALSE(rtl::RegisterClass(second));
  EXPECT_TRUE(rtl::RegisterClass(first));
  rtl::UnRegisterClass(first);
  EXPECT_EQ(rtl::FindClass(u"TTWICE"), &first);
  rtl::UnRegisterClass(first);
  EXPECT_EQ(rtl::FindClass(u"TTwice"), nullptr);
}

}  // namespace

TEST(Palette, RefusesAClassWhoseNameIsTaken) {
  rtl::TClassInfo first;
  first.ClassName = u"TTaken";
  rtl::TClassInfo second;
  second.ClassName = u"TTaken";
  ASSERT_TRUE(rtl::RegisterClass(first));
  EXPECT_THROW(rtl::RegisterComponents(u"Page", {&second}), std::runtime_error);
  EXPECT_TRUE(rtl::PaletteItems().empty());
  rtl::UnRegisterClass(first);
}
