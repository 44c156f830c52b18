// The component's life: construction with the one-instance rule and the
// bridge binding, destruction, the message window, the two bridge callbacks
// and the event raisers.
#include "VyHID.h"

#include <new>

#include "CallsInFlight.h"
#include "Diagnostics.h"
#include "vcl/Dialogs.h"
#include "vcl/ExtCtrls.h"

std::atomic<TVyHID*> aVyHID{nullptr};

namespace {

constexpr std::uint32_t kDeviceChangeMessage = 100;
constexpr std::uint32_t kScanTimeOutMs = 5000;

constexpr char16_t kOneInstanceText[] =
    u"ERROR! Only one instance of VyHID in whole Application allowed at once!   It's: ";
constexpr char16_t kNoOwnerText[] = u"(no owner)";
constexpr char16_t kMissingBridgeText[] =
    u"Missing or incorrect: HID_Bridge__.dll \r\n\r\nThe program will not work properly.";

// Callbacks that have been entered and not yet left, on any thread. A
// callback counts itself before it reads aVyHID, so once the destructor has
// cleared aVyHID and seen them leave, no callback can still be using the
// instance. Never destroyed: a component that is a static object may be
// destroyed after this file's static objects. Made in static storage, not on
// the heap: a package unloaded while it is alive leaves no allocation behind.
vyhid::abi::CallsInFlight& Callbacks() {
  alignas(
      vyhid::abi::CallsInFlight) static unsigned char storage[sizeof(vyhid::abi::CallsInFlight)];
  static vyhid::abi::CallsInFlight* const calls = new (storage) vyhid::abi::CallsInFlight;
  return *calls;
}
// Callbacks in progress on this thread, so that a destructor reached from
// inside a callback on the same thread does not wait for itself.
thread_local int tCallbacksOnThisThread = 0;

class CallbackScope {
 public:
  CallbackScope() { ++tCallbacksOnThisThread; }
  ~CallbackScope() { --tCallbacksOnThisThread; }
  CallbackScope(const CallbackScope&) = delete;
  CallbackScope& operator=(const CallbackScope&) = delete;

 private:
  vyhid::abi::CallsInFlight::Scope counted_{Callbacks()};
};

// Waits until every callback still running on other threads has returned.
// Called after aVyHID has been cleared: callbacks that start later see no
// instance.
void WaitForCallbacksToLeave() {
  Callbacks().AwaitLeft(tCallbacksOnThisThread);
}

}  // namespace

void VYHID_STDCALL CheckUSBevent() {
  CallbackScope scope;
  if (TVyHID* live = aVyHID.load()) {
    rtl::PostMessageW(live->FWindowHandle, kDeviceChangeMessage, 0, 0);
  }
}

void VYHID_STDCALL HIDreader(THIDreport Report, std::uint8_t BytesCount) {
  CallbackScope scope;
  if (TVyHID* live = aVyHID.load()) {
    live->DoOnGetHIDData(live, Report, BytesCount);
  }
}

TVyHID::TVyHID(rtl::TComponent* AOwner) : rtl::TComponent(AOwner) {
  HIDinfoArray.resize(vyhid::kDeviceSlots);  // value-initialised: zero records, no lists

  TVyHID* live = nullptr;
  if (!aVyHID.compare_exchange_strong(live, this)) {
    // Refused: every other field keeps its zero value.
    const rtl::TComponent* owner = live->GetOwner();
    vcl::ShowMessage(kOneInstanceText + live->Name() + u" on " +
                     (owner ? owner->Name() : rtl::String(kNoOwnerText)));
    return;
  }

  try {
    FWindowHandle = rtl::AllocateHWnd([this](rtl::TMessage& Msg) { WndProc(Msg); });
    FAutoConnect = true;
    FFilter.clear();

    FScanTimeOutTimer = new vcl::TTimer(nullptr);
    FScanTimeOutTimer->SetEnabled(false);
    FScanTimeOutTimer->SetOnTimer(rtl::TNotifyEvent(this, &TVyHID::OnScanTimeOutTimer));
    FScanTimeOutTimer->SetInterval(kScanTimeOutMs);

    bool bError = false;
    FisDLLloaded = false;
    const bool designing = InState(rtl::csDesigning);
    if (designing) {
      bError = true;
    } else {
      aHandle = rtl::LoadLibraryW(vyhid::kBridgeFileName);
      if (aHandle == 0) {
        bError = true;
        vyhid::abi::DebugNote(rtl::StringToUtf8(rtl::LastLibraryError()));
      } else {
        const std::string_view missing = vyhid::BindEntryPoints(
            *this, [this](const char* name) { return rtl::GetProcAddress(aHandle, name); });
        if (!missing.empty()) {
          bError = true;
          const std::string reason = "HID_Bridge__.dll has no export " + std::string(missing);
          rtl::SetLastLibraryError(rtl::Utf8ToString(reason));
          vyhid::abi::DebugNote(reason);
          // A module that failed the binding is never used: release it now
          // and forget its addresses.
          rtl::FreeLibrary(aHandle);
          aHandle = 0;
          vyhid::ResetEntryPoints(*this);
        }
      }
    }

    if (bError) {
      if (!designing) vcl::ShowMessage(kMissingBridgeText);
    } else {
      HIDsetEventHandler(HIDreader);
      USBsetEventHandler(CheckUSBevent);
      FisDLLloaded = true;
    }

    FActive = false;
    FCurrentDevNr = -1;
    FcanSetReport = false;
    FcanGetReport = false;
    FcanSetFeature = false;
    FcanGetFeature = false;
    for (TVyHIDDevInfo& slot : HIDinfoArray) slot.HIDstringsInfo = new rtl::TStringList;
    FDevCount = -1;
  } catch (...) {
    // The destructor does not run for a constructor that throws; release
    // what was created and give up the live-instance place.
    aVyHID.store(nullptr);
    WaitForCallbacksToLeave();
    ReleaseResources();
    throw;
  }
}

TVyHID::~TVyHID() {
  TVyHID* self = this;
  if (aVyHID.compare_exchange_strong(self, nullptr)) {
    // The bridge may be inside a callback on another thread that read
    // aVyHID before it was cleared; the instance must outlive that call.
    WaitForCallbacksToLeave();
  }
  ReleaseResources();
}

void TVyHID::ReleaseResources() {
  delete FScanTimeOutTimer;
  FScanTimeOutTimer = nullptr;
  for (TVyHIDDevInfo& slot : HIDinfoArray) {
    delete slot.HIDstringsInfo;
    slot.HIDstringsInfo = nullptr;
  }
  if (FWindowHandle != 0) {
    rtl::DeallocateHWnd(FWindowHandle);
    FWindowHandle = 0;
  }
  // The callbacks stay installed in the bridge: they find aVyHID empty.
  if (!InState(rtl::csDesigning) && FisDLLloaded) {
    rtl::FreeLibrary(aHandle);
    aHandle = 0;
    FisDLLloaded = false;
  }
}

void TVyHID::Loaded() {
  rtl::TComponent::Loaded();
  ScanForHIDdevices();
}

void TVyHID::WndProc(rtl::TMessage& Msg) {
  if (Msg.Msg == kDeviceChangeMessage) {
    ScanForHIDdevices();
  } else {
    Msg.Result = rtl::DefWindowProcW(FWindowHandle, Msg.Msg, Msg.WParam, Msg.LParam);
  }
}

void TVyHID::DoOnAfterDevScan(rtl::TObject* /*Sender*/, std::int32_t DevCnt,
                              THIDinfoArray& HIDinfoArray) {
  if (FOnAfterDevScan) FOnAfterDevScan(this, DevCnt, HIDinfoArray);
}

void TVyHID::DoOnDevClose(rtl::TObject* /*Sender*/) {
  // A device the application closed no longer offers anything; one the
  // component closed itself keeps its flags for the reconnection.
  if (!FDevIsConnected) {
    FcanSetReport = false;
    FcanGetReport = false;
    FcanSetFeature = false;
    FcanGetFeature = false;
  }
  if (FOnDevClose) FOnDevClose(this);
}

void TVyHID::DoOnDevOpen(rtl::TObject* /*Sender*/, std::int32_t DevNr, TVyHIDDevInfo DevInfo) {
  if (FOnDevOpen) FOnDevOpen(this, DevNr, DevInfo);
}

void TVyHID::DoOnGetHIDData(rtl::TObject* /*Sender*/, THIDreport Report, std::uint8_t BytesCount) {
  if (FOnGetHIDData) FOnGetHIDData(this, Report, BytesCount);
}
