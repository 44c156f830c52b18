// Feeds arbitrary bytes to the form reader. A text it refuses must leave
// nothing behind; a text it accepts must write out and read back to the same
// text.
// fuzz-libraries: rtl270
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

#include "rtl/Streaming.h"

namespace {

void Check(bool ok) {
  if (!ok) __builtin_trap();
}

int gLive = 0;

using TValueEvent = rtl::TMethod<void(rtl::TObject*, std::int32_t)>;

// One property of every kind, a read-only one, two event types, and a
// writer that fails for one value, so that the clean-up path runs.
class TFuzzThing : public rtl::TComponent {
 public:
  explicit TFuzzThing(rtl::TComponent* owner) : rtl::TComponent(owner) { ++gLive; }
  ~TFuzzThing() override { --gLive; }
  rtl::String ClassName() const override { return u"TFuzzThing"; }

  bool FFlag = true;
  std::int32_t FNumber = 0;
  rtl::String FText;
  std::int32_t FCount = 0;
  rtl::TNotifyEvent FOnChange;
  TValueEvent FOnValue;
  void SetText(const rtl::String& v) {
    if (v == u"fail") throw std::runtime_error("refused");
    FText = v;
  }

  rtl::Property<TFuzzThing, bool, &TFuzzThing::FFlag, &TFuzzThing::FFlag> Flag{this};
  rtl::Property<TFuzzThing, std::int32_t, &TFuzzThing::FNumber, &TFuzzThing::FNumber> Number{this};
  rtl::Property<TFuzzThing, rtl::String, &TFuzzThing::FText, &TFuzzThing::SetText> Text{this};
  rtl::Property<TFuzzThing, std::int32_t, &TFuzzThing::FCount> Count{this};
  rtl::Property<TFuzzThing, rtl::TNotifyEvent, &TFuzzThing::FOnChange, &TFuzzThing::FOnChange>
      OnChange{this};
  rtl::Property<TFuzzThing, TValueEvent, &TFuzzThing::FOnValue, &TFuzzThing::FOnValue> OnValue{
      this};
};

class TFuzzForm : public rtl::TComponent {
 public:
  TFuzzForm() : rtl::TComponent(nullptr) {}
  rtl::String ClassName() const override { return u"TFuzzForm"; }
  void Change(rtl::TObject*) {}
  void Value(rtl::TObject*, std::int32_t) {}
};

const rtl::TClassInfo& ThingInfo() {
  static const rtl::TClassInfo info = [] {
    rtl::TClassInfo c;
    c.ClassName = u"TFuzzThing";
    c.Parent = &rtl::TComponentClassInfo();
    c.Create = &rtl::CreateInstance<TFuzzThing>;
    c.Properties.push_back(rtl::Published<&TFuzzThing::Flag>(u"Flag").WithDefault(true));
    c.Properties.push_back(rtl::Published<&TFuzzThing::Number>(u"Number"));
    c.Properties.push_back(rtl::Published<&TFuzzThing::Text>(u"Text").WithDefault(rtl::String()));
    c.Properties.push_back(rtl::Published<&TFuzzThing::Count>(u"Count"));
    c.Properties.push_back(rtl::Published<&TFuzzThing::OnChange>(u"OnChange", u"TNotifyEvent"));
    c.Properties.push_back(rtl::Published<&TFuzzThing::OnValue>(u"OnValue", u"TValueEvent"));
    return c;
  }();
  return info;
}

const rtl::TClassInfo& FormInfo() {
  static const rtl::TClassInfo info = [] {
    rtl::TClassInfo c;
    c.ClassName = u"TFuzzForm";
    c.Parent = &rtl::TComponentClassInfo();
    c.Handlers.push_back(
        rtl::PublishedHandler<rtl::TNotifyEvent>(u"Change", u"TNotifyEvent", &TFuzzForm::Change));
    c.Handlers.push_back(
        rtl::PublishedHandler<TValueEvent>(u"Value", u"TValueEvent", &TFuzzForm::Value));
    c.FieldClasses.push_back(&ThingInfo());
    return c;
  }();
  return info;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  rtl::TReadOptions options;
  options.RootClass = &FormInfo();
  options.MaxDepth = 8;
  {
    TFuzzForm form;
    bool accepted = true;
    try {
      rtl::ReadComponent(text, form, options);
    } catch (const rtl::EReadError& e) {
      accepted = false;
      Check(e.Line() >= 1 && e.Column() >= 1);
      Check(form.ComponentCount() == 0 && gLive == 0);  // nothing half-built
    }
    if (accepted) {
      const std::string written = rtl::WriteComponent(form, &FormInfo());
      TFuzzForm again;
      rtl::ReadComponent(written, again, options);
      Check(rtl::WriteComponent(again, &FormInfo()) == written);
    }
  }
  Check(gLive == 0);
  return 0;
}
