// The published properties of TVyHID and the unit's palette registration.
#include "VyHID_props.h"

#include "rtl/Packages.h"

namespace vyhid {

const rtl::TClassInfo& TVyHIDClassInfo() {
  using rtl::Published;
  static const rtl::TClassInfo info = [] {
    rtl::TClassInfo c;
    c.ClassName = u"TVyHID";
    c.Parent = &rtl::TComponentClassInfo();
    c.Create = &rtl::CreateInstance<TVyHID>;
    // Stream order. A read-only property is never stored; one without a
    // default always is; the others when they differ from their default.
    c.Properties.push_back(Published<&TVyHID::Active>(u"Active"));
    c.Properties.push_back(Published<&TVyHID::canSetReport>(u"canSetReport"));
    c.Properties.push_back(Published<&TVyHID::canGetReport>(u"canGetReport"));
    c.Properties.push_back(Published<&TVyHID::canSetFeature>(u"canSetFeature"));
    c.Properties.push_back(Published<&TVyHID::canGetFeature>(u"canGetFeature"));
    c.Properties.push_back(Published<&TVyHID::HaveID>(u"HaveID"));
    c.Properties.push_back(Published<&TVyHID::Filter>(u"Filter").WithDefault(rtl::String()));
    c.Properties.push_back(Published<&TVyHID::DevCount>(u"DevCount"));
    c.Properties.push_back(Published<&TVyHID::CurrentDevNr>(u"CurrentDevNr"));
    c.Properties.push_back(Published<&TVyHID::AutoConnect>(u"AutoConnect").WithDefault(true));
    // Events are stored when a handler bound by name is set.
    c.Properties.push_back(
        Published<&TVyHID::OnAfterDevScan>(u"OnAfterDevScan", u"TOnAfterDevScan"));
    c.Properties.push_back(Published<&TVyHID::OnGetHIDData>(u"OnGetHIDData", u"TOnGetHIDData"));
    c.Properties.push_back(Published<&TVyHID::OnDevOpen>(u"OnDevOpen", u"TOnDevOpen"));
    c.Properties.push_back(Published<&TVyHID::OnDevClose>(u"OnDevClose", u"TNotifyEvent"));
    return c;
  }();
  return info;
}

void Register() {
  rtl::RegisterComponents(u"NEVRA", {&TVyHIDClassInfo()});
}

}  // namespace vyhid
