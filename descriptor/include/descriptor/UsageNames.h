// Names of HID usages and usage pages, from the HID Usage Tables: Generic
// Desktop, Simulation, Keyboard/Keypad, LED, Button, Consumer, Digitizers;
// other pages by their page name only.
//
// A name has no spaces, so that a user can type it and a program read it
// back. Every usage has one: a listed usage its own ("X", "NumLock",
// "VolumeIncrement"), a button "Button1".."Button65535", any other
// "PAGE:0xID" with PAGE the page's name or, for a page without one, its
// number ("Consumer:0x0123", "VendorFF00:0x0001", "0x1234:0x0005").
// Vendor-defined pages 0xFF00..0xFFFF are named "VendorFF00" and so on.
//
// The table is generated at build time from usages/hid_usages.txt. No global
// mutable state: safe from any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "descriptor/ReportDescriptor.h"

namespace vyhid::descriptor {

// "GenericDesktop", "LED", "VendorFF00", or the page's number as "0x0042".
std::string PageName(std::uint16_t page);
// The usage's name, as above.
std::string UsageName(Usage usage);
// Every usage whose name is `name`, in any case ("numlock"), ascending (pages share names: LED and
// Consumer both have Mute). Empty when none has it.
std::vector<Usage> FindUsages(std::string_view name);
// The first usage of the report's fields (in field order) named `name`:
// how "NumLock" is found in a keyboard's output report. Nothing when no
// field of the report has it.
std::optional<Usage> FindUsageInReport(const Report& report, std::string_view name);

}  // namespace vyhid::descriptor
