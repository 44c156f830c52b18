// The HID device component TVyHID.
//
// An application creates one TVyHID. Through it, it lists the HID devices
// attached to the machine (ScanForHIDdevices, HIDinfoArray, Filter), opens one
// (CurrentDevNr, then Active), receives its input reports (OnGetHIDData), sends
// output and feature reports (SetReport, SetFeature), fetches reports on
// demand (GetReport, GetFeature), and keeps the device connected across
// unplugging and replugging (AutoConnect). All device work goes through the
// bridge library HID_Bridge__.dll, loaded by name at construction.
//
// Threads: the component lives on the thread that created it, whose message
// loop (vcl::Application) runs its rescans and its timer. Only OnGetHIDData
// comes on the bridge's own thread. The bridge delivers input reports from the
// moment it has opened the device, so the first ones can arrive before
// OnDevOpen has run or returned (also after a reconnection): a handler that
// needs the open's result first (a device number, a flag) keeps the reports
// that come before it.
#pragma once

// The headers use C++20 (concepts among them); an older standard fails deep
// inside them, so say it here. MSVC reports its standard in _MSVC_LANG.
#if defined(_MSVC_LANG) && _MSVC_LANG > __cplusplus
#define VYHID_CPLUSPLUS _MSVC_LANG
#else
#define VYHID_CPLUSPLUS __cplusplus
#endif
#if VYHID_CPLUSPLUS < 202002L
#error "VyHID.h needs C++20: compile with -std=c++20 (CMake: link VyHID::VyHID, which asks for it)"
#endif
#undef VYHID_CPLUSPLUS

#include <atomic>
#include <cstdint>
#include <vector>

#include "EntryPoints.h"
#include "rtl/Classes.h"
#include "rtl/DynLib.h"
#include "rtl/Messages.h"
// The message loop the component needs on its thread: vcl::Application.
#include "vcl/Forms.h"

namespace vcl {
class TTimer;
}

#pragma pack(push, 1)

// The component's summary of one device.
struct TVyHIDdeviceInfo {
  std::uint16_t VID;
  std::uint16_t PID;
  std::uint16_t VersionNumber;
  TShortString ManufacturerString;
  TShortString ProductString;
  TShortString SerialNumberString;
  TShortString SymLink;
  std::uint16_t OutputBufferSize;
  std::uint16_t InputBufferSize;
  std::uint16_t FeatureBufferSize;
  std::uint8_t HasReadWriteAccess;
  std::int32_t ReportOutID;  // -1: the device has no output report
  std::int32_t ReportOutBytes;
  std::int32_t ReportInID;
  std::int32_t ReportInBytes;
  std::int32_t FeatureID;
  std::int32_t FeatureBytes;
};

// One device slot.
struct TVyHIDDevInfo {
  THIDdeviceInfo HIDinfo;            // the record as the bridge delivered it
  TVyHIDdeviceInfo VyHIDinfo;        // the component's summary of it
  rtl::TStringList* HIDstringsInfo;  // the description lines, owned by the component
};

#pragma pack(pop)

static_assert(sizeof(TVyHIDdeviceInfo) == 1061);
static_assert(offsetof(TVyHIDdeviceInfo, SymLink) == 774);
static_assert(offsetof(TVyHIDdeviceInfo, HasReadWriteAccess) == 1036);
static_assert(offsetof(TVyHIDdeviceInfo, ReportOutID) == 1037);
static_assert(offsetof(TVyHIDDevInfo, VyHIDinfo) == 1191);
static_assert(offsetof(TVyHIDDevInfo, HIDstringsInfo) == 2252);
// 2256 bytes on 32-bit platforms, 2260 on 64-bit ones: only the pointer grows.
static_assert(sizeof(TVyHIDDevInfo) == 2252 + sizeof(void*));

// Always 32 slots, numbered 0 to 31; a slot's number is the device number.
using THIDinfoArray = std::vector<TVyHIDDevInfo>;

using rtl::TNotifyEvent;
using TOnAfterDevScan =
    rtl::TMethod<void(rtl::TObject* Sender, std::int32_t DevCount, THIDinfoArray& HIDinfoArray)>;
using TOnGetHIDData =
    rtl::TMethod<void(rtl::TObject* Sender, THIDreport Report, std::uint8_t BytesCount)>;
using TOnDevOpen =
    rtl::TMethod<void(rtl::TObject* Sender, std::int32_t DevNr, TVyHIDDevInfo DevInfo)>;

class TVyHID;

// The live component, or null. Set by the constructor of the instance that
// passed the one-instance rule and cleared by its destructor; read by the two
// callbacks on the bridge's threads.
extern std::atomic<TVyHID*> aVyHID;

// The callbacks installed in the bridge. CheckUSBevent posts the
// device-change message (100) to the live component's window; HIDreader hands
// the report to the live component's OnGetHIDData on the calling thread.
// Both are safe from any thread, also while the component is being destroyed:
// they stay installed and find aVyHID empty afterwards.
void VYHID_STDCALL CheckUSBevent();
void VYHID_STDCALL HIDreader(THIDreport Report, std::uint8_t BytesCount);

class TVyHID : public rtl::TComponent {
 private:
  // Atomic: CheckUSBevent reads it on the bridge's threads, and may do so as
  // soon as the constructor has made this the live instance, before the
  // window exists (it then posts nothing).
  std::atomic<rtl::HWND> FWindowHandle{0};
  bool FActive = false;
  std::int32_t FDevCount = 0;
  std::int32_t FCurrentDevNr = 0;
  bool FcanSetReport = false;
  bool FcanGetReport = false;
  bool FcanSetFeature = false;
  bool FcanGetFeature = false;
  std::int32_t FHaveID = 0;
  rtl::String FFilter;
  bool FAutoConnect = false;
  bool FDevIsConnected = false;
  TVyHIDDevInfo FCurrentDevInfo{};
  bool FisDLLloaded = false;
  vcl::TTimer* FScanTimeOutTimer = nullptr;
  TOnAfterDevScan FOnAfterDevScan;
  TOnGetHIDData FOnGetHIDData;
  TOnDevOpen FOnDevOpen;
  TNotifyEvent FOnDevClose;

 protected:
  rtl::HMODULE aHandle = 0;
  // One field per entry point, named as the export (HIDscanForDevices,
  // HIDGetDeviceInfo, ... HIDSetFeatureReport), in binding order.
  VYHID_ENTRY_POINT_FIELDS

 public:
  THIDinfoArray HIDinfoArray;

  // Creates the component; AOwner may be null. While another TVyHID lives,
  // shows a message and returns a refused, inert instance instead of raising.
  // Outside design mode, loads and binds HID_Bridge__.dll, or shows a message
  // when it is missing or incomplete.
  explicit TVyHID(rtl::TComponent* AOwner);
  // Releases the timer, the lists, the window and the bridge; does not close
  // the device and raises no event. The live instance first waits until every
  // callback that could still reach it on another thread has returned, so an
  // OnGetHIDData handler never runs on a destroyed component. Destroying the
  // component from its own OnGetHIDData handler is an error (the component's
  // thread owns it); a handler must not wait for the component's thread.
  ~TVyHID() override;
  rtl::String ClassName() const override { return u"TVyHID"; }

  // Enumerates the devices into the slots: -1 when the bridge is not loaded,
  // otherwise the new DevCount (0 after a failed scan).
  std::int32_t ScanForHIDdevices();
  // Closes the device opened through Active.
  // Does nothing while Active is false; when the bridge closes it, Active is
  // false, the capability flags are cleared and OnDevClose fires, and no
  // rescan reopens the device.
  void CloseHidDevice();
  // Fetch one input or feature report; select it by setting ReportID first.
  // -1 when the bridge is not loaded, otherwise the bridge's result.
  // Data[0] to Data[62] are cleared before the call; the bridge fills the
  // caller's record in place.
  std::int32_t GetReport(THIDreport& inReport);
  std::int32_t GetFeature(THIDreport& inReport);
  // Send a byte string as 64-byte output or feature reports. -1 when the
  // bridge is not loaded.
  // Each report carries the next 64 bytes not yet taken, zero-padded; the
  // bridge's result is how many it took, and 0 ends the send. Pending
  // messages are processed after every report, so a rescan may switch the
  // device in the middle. An exception from the bridge or from a handler run
  // then reaches the caller. SetReport: 0 when every byte was taken,
  // otherwise the number of bytes not sent. SetFeature: the bridge's result
  // for the last report, 0 when none was sent.
  std::int32_t SetReport(std::uint8_t ReportID, const rtl::RawByteString& aData);
  std::int32_t SetFeature(std::uint8_t ReportID, const rtl::RawByteString& aData);
  // The payload up to its first zero byte, at most NumBytes (and 64) bytes.
  rtl::RawByteString GetStrFromBuffer(const THIDreport& rep, std::int32_t NumBytes);
  // The report descriptor of device DevNr of the latest scan, the bytes the
  // device itself gives, through the bridge's optional export
  // HIDGetReportDescriptor. Empty when it cannot be had, and then Reason (when
  // not null) says why: no bridge loaded, a bridge without that export, a
  // number the latest scan did not list, or the bridge's own reason (a
  // platform that gives no descriptor, a device that would not). Reason is
  // emptied when the bytes come. Changes no property and raises no event.
  std::vector<std::uint8_t> GetReportDescriptor(std::int32_t DevNr, rtl::String* Reason = nullptr);

 protected:
  // Internal; protected so that a test can reach them through a subclass.
  void Loaded() override;
  void WndProc(rtl::TMessage& Msg);
  void DoOnAfterDevScan(rtl::TObject* Sender, std::int32_t DevCnt, THIDinfoArray& HIDinfoArray);
  void DoOnDevClose(rtl::TObject* Sender);
  void DoOnDevOpen(rtl::TObject* Sender, std::int32_t DevNr, TVyHIDDevInfo DevInfo);
  void DoOnGetHIDData(rtl::TObject* Sender, THIDreport Report, std::uint8_t BytesCount);

  void setFFilter(const rtl::String& Value);
  void OnScanTimeOutTimer(rtl::TObject* Sender);
  void GetDevDataAsStrings(std::int32_t Nr, THIDdeviceInfo Device);
  void setFActive(bool Value);

 public:
  // Published properties, in stream order.
  rtl::Property<TVyHID, bool, &TVyHID::FActive, &TVyHID::setFActive> Active{this};
  rtl::Property<TVyHID, bool, &TVyHID::FcanSetReport> canSetReport{this};
  rtl::Property<TVyHID, bool, &TVyHID::FcanGetReport> canGetReport{this};
  rtl::Property<TVyHID, bool, &TVyHID::FcanSetFeature> canSetFeature{this};
  rtl::Property<TVyHID, bool, &TVyHID::FcanGetFeature> canGetFeature{this};
  rtl::Property<TVyHID, std::int32_t, &TVyHID::FHaveID> HaveID{this};
  rtl::Property<TVyHID, rtl::String, &TVyHID::FFilter, &TVyHID::setFFilter> Filter{this};
  rtl::Property<TVyHID, std::int32_t, &TVyHID::FDevCount> DevCount{this};
  rtl::Property<TVyHID, std::int32_t, &TVyHID::FCurrentDevNr, &TVyHID::FCurrentDevNr> CurrentDevNr{
      this};
  rtl::Property<TVyHID, bool, &TVyHID::FAutoConnect, &TVyHID::FAutoConnect> AutoConnect{this};
  rtl::Property<TVyHID, TOnAfterDevScan, &TVyHID::FOnAfterDevScan, &TVyHID::FOnAfterDevScan>
      OnAfterDevScan{this};
  rtl::Property<TVyHID, TOnGetHIDData, &TVyHID::FOnGetHIDData, &TVyHID::FOnGetHIDData> OnGetHIDData{
      this};
  rtl::Property<TVyHID, TOnDevOpen, &TVyHID::FOnDevOpen, &TVyHID::FOnDevOpen> OnDevOpen{this};
  rtl::Property<TVyHID, TNotifyEvent, &TVyHID::FOnDevClose, &TVyHID::FOnDevClose> OnDevClose{this};

 private:
  // Releases what construction created (timer, text lists, window, library);
  // shared by the destructor and a construction that fails part way.
  void ReleaseResources();

  // The entry-point fields are bound and reset from the one list.
  template <class Fields, class Lookup>
  friend std::string_view vyhid::BindEntryPoints(Fields& fields, Lookup&& lookup);
  template <class Fields>
  friend void vyhid::ResetEntryPoints(Fields& fields);
  friend void VYHID_STDCALL CheckUSBevent();
  friend void VYHID_STDCALL HIDreader(THIDreport Report, std::uint8_t BytesCount);
};
