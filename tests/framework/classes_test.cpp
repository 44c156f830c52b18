#include "rtl/Classes.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "vcl/ExtCtrls.h"

namespace {

using rtl::String;
using rtl::TComponent;

// Records its destruction in a shared log.
class Tracked : public TComponent {
 public:
  Tracked(TComponent* owner, std::string name, std::vector<std::string>& log)
      : TComponent(owner), label_(std::move(name)), log_(log) {}
  ~Tracked() override { log_.push_back(label_); }

 private:
  std::string label_;
  std::vector<std::string>& log_;
};

TEST(Component, OwnerFreesOwnedComponentsLastInsertedFirst) {
  std::vector<std::string> log;
  auto* owner = new Tracked(nullptr, "owner", log);
  new Tracked(owner, "first", log);
  auto* second = new Tracked(owner, "second", log);
  new Tracked(second, "grandchild", log);
  new Tracked(owner, "third", log);
  ASSERT_EQ(owner->ComponentCount(), 3);
  EXPECT_EQ(owner->Components(1), second);
  EXPECT_EQ(second->GetOwner(), owner);

  delete owner;
  EXPECT_EQ(log, (std::vector<std::string>{"owner", "third", "second", "grandchild", "first"}));
}

TEST(Component, OwnedComponentDeletedDirectlyLeavesItsOwner) {
  std::vector<std::string> log;
  TComponent owner(nullptr);
  auto* a = new Tracked(&owner, "a", log);
  auto* b = new Tracked(&owner, "b", log);
  delete a;
  ASSERT_EQ(owner.ComponentCount(), 1);
  EXPECT_EQ(owner.Components(0), b);
  // owner's destructor frees b only; a is not freed twice.
}

TEST(Component, DesigningIsTakenOverFromTheOwner) {
  TComponent form(nullptr);
  auto* before = new TComponent(&form);
  form.SetDesigning(true);
  EXPECT_TRUE(before->InState(rtl::csDesigning));
  auto* after = new TComponent(&form);
  EXPECT_TRUE(after->InState(rtl::csDesigning));
  form.SetDesigning(false, false);
  EXPECT_FALSE(form.InState(rtl::csDesigning));
  EXPECT_TRUE(after->InState(rtl::csDesigning));
  TComponent alone(nullptr);
  EXPECT_FALSE(alone.InState(rtl::csDesigning));
}

TEST(Component, LoadingUntilLoaded) {
  TComponent c(nullptr);
  c.Loading();
  EXPECT_TRUE(c.InState(rtl::csLoading));
  c.Loaded();
  EXPECT_FALSE(c.InState(rtl::csLoading));
}

namespace inner {
class TGadget : public TComponent {
 public:
  using TComponent::TComponent;
};
}  // namespace inner

TEST(Component, ClassName) {
  TComponent plain(nullptr);
  EXPECT_EQ(plain.ClassName(), u"TComponent");
  inner::TGadget gadget(nullptr);
  EXPECT_EQ(gadget.ClassName(), u"TGadget");
  vcl::TTimer timer;
  EXPECT_EQ(timer.ClassName(), u"TTimer");
  const TComponent& base = gadget;
  EXPECT_EQ(base.ClassName(), u"TGadget");
}

TEST(StringList, TextJoinsEveryLineWithCrLf) {
  rtl::TStringList list;
  EXPECT_EQ(list.Text(), u"");
  EXPECT_EQ(list.Add(u"one"), 0);
  EXPECT_EQ(list.Add(u""), 1);
  EXPECT_EQ(list.Add(u"three"), 2);
  EXPECT_EQ(list.Text(), u"one\r\n\r\nthree\r\n");
  list.Clear();
  EXPECT_EQ(list.Count(), 0);
}

std::vector<String> Lines(const String& text) {
  rtl::TStringList list;
  list.Add(u"old");
  list.SetText(text);
  std::vector<String> lines;
  for (int i = 0; i < list.Count(); ++i) lines.push_back(list[i]);
  return lines;
}

TEST(StringList, SetTextSplitsAtEveryKindOfBreak) {
  using V = std::vector<String>;
  EXPECT_EQ(Lines(u""), V{});
  EXPECT_EQ(Lines(u"a"), V{u"a"});
  EXPECT_EQ(Lines(u"a\r\nb"), (V{u"a", u"b"}));
  EXPECT_EQ(Lines(u"a\nb\rc\r\n"), (V{u"a", u"b", u"c"}));
  EXPECT_EQ(Lines(u"\r\n"), V{u""});
  EXPECT_EQ(Lines(u"a\r\n\r\n"), (V{u"a", u""}));
  EXPECT_EQ(Lines(u"\n\r"), (V{u"", u""}));  // LF then CR: two breaks
  EXPECT_EQ(Lines(u"a\r\rb"), (V{u"a", u"", u"b"}));
}

TEST(StringList, TextRoundTrip) {
  rtl::TStringList list;
  for (const char16_t* line : {u"", u"Vendor: x", u"", u" spaced ", u"\u20AC"}) list.Add(line);
  rtl::TStringList copy;
  copy.SetText(list.Text());
  ASSERT_EQ(copy.Count(), list.Count());
  for (int i = 0; i < list.Count(); ++i) EXPECT_EQ(copy[i], list[i]);
  EXPECT_EQ(copy.Text(), list.Text());
}

}  // namespace
