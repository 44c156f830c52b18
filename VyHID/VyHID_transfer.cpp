// Report transfer.
#include "VyHID.h"

std::int32_t TVyHID::SetReport(std::uint8_t /*ReportID*/, const rtl::RawByteString& /*aData*/) {
  if (!FisDLLloaded) return -1;
  return 0;
}

std::int32_t TVyHID::SetFeature(std::uint8_t /*ReportID*/, const rtl::RawByteString& /*aData*/) {
  if (!FisDLLloaded) return -1;
  return 0;
}

std::int32_t TVyHID::GetReport(THIDreport& /*inReport*/) {
  if (!FisDLLloaded) return -1;
  return 0;
}

std::int32_t TVyHID::GetFeature(THIDreport& /*inReport*/) {
  if (!FisDLLloaded) return -1;
  return 0;
}

rtl::RawByteString TVyHID::GetStrFromBuffer(const THIDreport& /*rep*/, std::int32_t /*NumBytes*/) {
  return {};
}
