// Report transfer: sending byte strings as 64-byte reports, fetching single
// reports, and turning a report's payload into a byte string.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>

#include "VyHID.h"
#include "vcl/Forms.h"

namespace {

// A fetch clears the payload but its last byte, which the caller may have set.
constexpr std::size_t kClearedOnFetch = vyhid::kPayloadBytes - 1;  // 63

struct SendOutcome {
  std::uint8_t lastResult = 0;  // the bridge's result for the last report; 0 when none was sent
  std::size_t notSent = 0;      // bytes left when the bridge stopped taking them
};

// Sends Data as a run of reports through Send (HIDSetOutputReport or
// HIDSetFeatureReport). Each report carries the first 64 bytes not yet taken,
// padded with zeros; the bridge's result says how many of them it took, and a
// result of 0 ends the send. After every report the application's pending
// messages are processed, so a rescan may close and reopen the device in the
// middle; the next report goes to whatever device is open then.
//
// The record and the working copy belong to this call alone, so a send
// started from a handler during the message processing runs to its end with
// its own. The copy is taken once: a handler may change the caller's string,
// and taking bytes off its front only moves an offset, so the cost stays
// linear in the length. Both are released however the call ends, an
// exception from the bridge or from a handler included.
template <class SendFn>
SendOutcome SendAsReports(SendFn Send, std::uint8_t ReportID, const rtl::RawByteString& aData) {
  THIDreport record{};
  // Set once: a bridge that rewrote it would see its own value in the next
  // report.
  record.ReportID = ReportID;
  // A copy: handlers run between reports may change the caller's string.
  const rtl::RawByteString work(aData);  // NOLINT(performance-unnecessary-copy-initialization)
  std::size_t taken = 0;
  SendOutcome outcome;

  while (taken < work.size()) {
    const std::size_t carried = std::min(work.size() - taken, vyhid::kPayloadBytes);
    std::memcpy(record.Data.Bytes, work.data() + taken, carried);
    std::memset(record.Data.Bytes + carried, 0, vyhid::kPayloadBytes - carried);

    outcome.lastResult = Send(&record);
    // Only bytes this report carried can have been taken: a result above 64,
    // or above what was left, drops nothing that was never sent.
    taken += std::min<std::size_t>(outcome.lastResult, carried);
    const bool goOn = outcome.lastResult > 0;

    vcl::Application.ProcessMessages();
    if (!goOn) break;
  }
  outcome.notSent = work.size() - taken;
  return outcome;
}

}  // namespace

std::int32_t TVyHID::SetReport(std::uint8_t ReportID, const rtl::RawByteString& aData) {
  if (!FisDLLloaded) return -1;
  const SendOutcome outcome = SendAsReports(HIDSetOutputReport, ReportID, aData);
  // 0: every byte was taken. When the bridge stopped taking bytes, the number
  // of bytes not sent, so that a stopped transfer is not taken for a complete
  // one.
  constexpr auto kMaxResult = static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max());
  return static_cast<std::int32_t>(std::min(outcome.notSent, kMaxResult));
}

std::int32_t TVyHID::SetFeature(std::uint8_t ReportID, const rtl::RawByteString& aData) {
  if (!FisDLLloaded) return -1;
  return SendAsReports(HIDSetFeatureReport, ReportID, aData).lastResult;
}

std::int32_t TVyHID::GetReport(THIDreport& inReport) {
  if (!FisDLLloaded) return -1;
  // ReportID selects the report; Data[63] keeps what the caller put there.
  std::memset(inReport.Data.Bytes, 0, kClearedOnFetch);
  return HIDGetInputReport(&inReport);
}

std::int32_t TVyHID::GetFeature(THIDreport& inReport) {
  if (!FisDLLloaded) return -1;
  std::memset(inReport.Data.Bytes, 0, kClearedOnFetch);
  return HIDGetFeatureReport(&inReport);
}

rtl::RawByteString TVyHID::GetStrFromBuffer(const THIDreport& rep, std::int32_t NumBytes) {
  if (NumBytes <= 0) return {};
  // The payload holds 64 bytes; a larger count reads no further.
  const std::size_t limit = std::min(static_cast<std::size_t>(NumBytes), vyhid::kPayloadBytes);
  const auto* begin = reinterpret_cast<const char*>(rep.Data.Bytes);
  const void* zero = std::memchr(begin, 0, limit);
  const std::size_t length =
      zero ? static_cast<std::size_t>(static_cast<const char*>(zero) - begin) : limit;
  return rtl::RawByteString(begin, length);
}
