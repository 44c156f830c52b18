// TVyHID as the form reader, the writer and the palette see it: its class
// info (published properties in stream order, with their storing rules) and
// the unit's palette registration.
#pragma once

#include "VyHID.h"
#include "rtl/TypInfo.h"

namespace vyhid {

// The class info of TVyHID: Tag from TComponent, then Active, canSetReport,
// canGetReport, canSetFeature, canGetFeature, HaveID, Filter, DevCount,
// CurrentDevNr, AutoConnect and the events OnAfterDevScan, OnGetHIDData,
// OnDevOpen, OnDevClose. A static object; safe from any thread.
const rtl::TClassInfo& TVyHIDClassInfo();

// Puts exactly TVyHID on the palette page "NEVRA" (and registers the class).
void Register();

}  // namespace vyhid
