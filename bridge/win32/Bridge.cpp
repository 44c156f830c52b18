// HID_Bridge__.dll for Windows over the system's HID stack: SetupAPI device
// interfaces for enumeration, PnP properties and HidD_* for strings, HidD_*
// for attributes, overlapped requests bounded in time for features, input
// reports (DeviceIoControl) and output reports (WriteFile), HidP_* for the
// capabilities, an overlapped read thread per open device, and
// notifications of attach and removal and of requests to remove the open
// device.
//
// Threads. The read thread lives while a device is open: HIDcloseDevice stops
// and joins it, running meanwhile the messages the reader sends to the
// closing thread's windows from its input callback; closed or reopened from
// its own input callback, it is let go, keeps its handles until it has seen
// the stop, and the next open or close joins it. The notification thread
// (DeviceNotifier.h) starts when a device-change handler is installed.
// Windows unloads a library under its loader lock, which a thread needs in
// order to end normally, so unloading cannot join a thread. There the
// library asks each thread to stop and waits until it has left all its work
// (its `parked` event; a thread that never began cannot begin while the
// loader lock is held), then ends it, holding no lock and no memory, and
// waits until it is gone.
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
// clang-format off
#include <setupapi.h>
extern "C" {  // the HID headers declare no C linkage themselves
#include <hidsdi.h>
#include <hidpi.h>
}
// clang-format on
#include <hidclass.h>
// clang-format off
#include <cfgmgr32.h>
// clang-format on

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "BoundedIo.h"
#include "CapsRecord.h"
#include "DeviceNotifier.h"
#include "DeviceOrder.h"
#include "DeviceStrings.h"
#include "ExportShim.h"
#include "Handle.h"
#include "InputPieces.h"
#include "RecordBuilder.h"
#include "SentMessageWait.h"
#include "Win32Error.h"

namespace {

using vyhid::ReportKind;
using vyhid::win32::Access;
using vyhid::win32::CollectionCaps;
using vyhid::win32::Handle;
using vyhid::win32::ItemCaps;
using vyhid::win32::Names;
using vyhid::win32::NoteWin32Error;
using vyhid::win32::ReadNames;
using vyhid::win32::RecordWin32Error;
using vyhid::win32::ToAnsi;
using vyhid::win32::ToUtf8;

using vyhid::kPayloadBytes;

// Opens the interface read-write, else read-only, else with no access rights.
// Null when none works, with the system's error of the last attempt in *error.
Handle OpenInterface(const std::wstring& path, DWORD flags, Access& access,
                     DWORD* error = nullptr) {
  constexpr DWORD kShare = FILE_SHARE_READ | FILE_SHARE_WRITE;
  const struct {
    DWORD rights;
    Access access;
  } attempts[] = {{GENERIC_READ | GENERIC_WRITE, Access::kReadWrite},
                  {GENERIC_READ, Access::kReadOnly},
                  {0, Access::kNone}};
  for (const auto& attempt : attempts) {
    Handle h(::CreateFileW(path.c_str(), attempt.rights, kShare, nullptr, OPEN_EXISTING, flags,
                           nullptr));
    if (h) {
      access = attempt.access;
      return h;
    }
    if (error != nullptr) *error = ::GetLastError();
  }
  access = Access::kNone;
  return Handle();
}

// The capabilities of a device's collection, through its preparsed data.
bool ReadCaps(HANDLE device, CollectionCaps& collection, std::vector<ItemCaps>& items) {
  PHIDP_PREPARSED_DATA data = nullptr;
  if (!::HidD_GetPreparsedData(device, &data)) {
    NoteWin32Error("HidD_GetPreparsedData", L"", ::GetLastError());
    return false;
  }
  HIDP_CAPS caps{};
  const bool ok = ::HidP_GetCaps(data, &caps) == HIDP_STATUS_SUCCESS;
  if (ok) {
    collection.usage_page = caps.UsagePage;
    collection.usage = caps.Usage;
    collection.input_length = caps.InputReportByteLength;
    collection.output_length = caps.OutputReportByteLength;
    collection.feature_length = caps.FeatureReportByteLength;
    const struct {
      HIDP_REPORT_TYPE type;
      ReportKind kind;
      USHORT values;
      USHORT buttons;
    } kinds[] = {
        {HidP_Input, ReportKind::kInput, caps.NumberInputValueCaps, caps.NumberInputButtonCaps},
        {HidP_Output, ReportKind::kOutput, caps.NumberOutputValueCaps, caps.NumberOutputButtonCaps},
        {HidP_Feature, ReportKind::kFeature, caps.NumberFeatureValueCaps,
         caps.NumberFeatureButtonCaps}};
    for (const auto& k : kinds) {
      std::vector<HIDP_VALUE_CAPS> values(k.values);
      USHORT n = k.values;
      if (n != 0 && ::HidP_GetValueCaps(k.type, values.data(), &n, data) == HIDP_STATUS_SUCCESS) {
        for (USHORT i = 0; i < n; ++i) {
          items.push_back({k.kind, values[i].ReportID, values[i].BitSize, values[i].ReportCount});
        }
      }
      std::vector<HIDP_BUTTON_CAPS> buttons(k.buttons);
      n = k.buttons;
      if (n != 0 && ::HidP_GetButtonCaps(k.type, buttons.data(), &n, data) == HIDP_STATUS_SUCCESS) {
        for (USHORT i = 0; i < n; ++i) {
          const HIDP_BUTTON_CAPS& b = buttons[i];
          // ReportCount is the first 16 bits after IsAbsolute ("HIDP_BUTTON_CAPS
          // structure"); older headers, mingw's among them, call them Reserved.
          vyhid::win32::ButtonCaps button;
          button.kind = k.kind;
          button.report_id = b.ReportID;
          button.bit_field = b.BitField;
          button.usage_min = b.IsRange ? b.Range.UsageMin : b.NotRange.Usage;
          button.usage_max = b.IsRange ? b.Range.UsageMax : b.NotRange.Usage;
          button.report_count = static_cast<std::uint16_t>(b.Reserved[0] & 0xFFFF);
          items.push_back(vyhid::win32::ButtonItem(button));
        }
      }
    }
  }
  ::HidD_FreePreparsedData(data);
  return ok;
}

// One enumerated device: its interface path, how it opens, and its record.
struct Device {
  std::wstring path;
  Access access = Access::kNone;
  THIDdeviceInfo info;
};

// Builds the record of the interface at `path`; false when it cannot be
// opened even without access rights.
bool Describe(const std::wstring& path, DEVINST node, std::map<std::wstring, Names>& names,
              Device& device) {
  Access access = Access::kNone;
  // Attributes and strings need no access rights: ask with none first;
  // overlapped, for the strings' bounded requests.
  Handle h(::CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr));
  if (!h) {
    NoteWin32Error("CreateFileW", path, ::GetLastError());
    return false;
  }
  std::memset(&device.info, 0, sizeof device.info);
  device.path = path;
  WriteShortString(device.info.SymLink, ToAnsi(path.c_str(), static_cast<int>(path.size())));
  HIDD_ATTRIBUTES attributes{};
  attributes.Size = sizeof attributes;
  if (::HidD_GetAttributes(h.get(), &attributes)) {
    device.info.VID = attributes.VendorID;
    device.info.PID = attributes.ProductID;
    device.info.VersionNumber = attributes.VersionNumber;
  }
  const Names text = ReadNames(h.get(), node, names);
  WriteShortString(device.info.ManufacturerString, text.manufacturer);
  WriteShortString(device.info.ProductString, text.product);
  WriteShortString(device.info.SerialNumberString, text.serial);
  CollectionCaps collection;
  std::vector<ItemCaps> items;
  if (ReadCaps(h.get(), collection, items)) {
    vyhid::win32::FillCapabilities(collection, items, device.info);
  }
  Handle probe = OpenInterface(path, 0, access);
  device.access = access;
  device.info.HasReadWriteAccess = access == Access::kReadWrite ? 1 : 0;
  return true;
}

// Every present HID device interface, in the system's order, with its
// collection's device node.
std::vector<std::pair<std::wstring, DEVINST>> InterfacePaths() {
  std::vector<std::pair<std::wstring, DEVINST>> paths;
  GUID hid{};
  ::HidD_GetHidGuid(&hid);
  HDEVINFO set =
      ::SetupDiGetClassDevsW(&hid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (set == INVALID_HANDLE_VALUE) {
    RecordWin32Error("SetupDiGetClassDevsW", L"", ::GetLastError());
    return paths;
  }
  SP_DEVICE_INTERFACE_DATA iface{};
  iface.cbSize = sizeof iface;
  for (DWORD i = 0; ::SetupDiEnumDeviceInterfaces(set, nullptr, &hid, i, &iface); ++i) {
    DWORD size = 0;
    ::SetupDiGetDeviceInterfaceDetailW(set, &iface, nullptr, 0, &size, nullptr);
    if (size < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)) continue;
    std::vector<std::uint8_t> buffer(size);
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(buffer.data());
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
    SP_DEVINFO_DATA node{};
    node.cbSize = sizeof node;
    if (::SetupDiGetDeviceInterfaceDetailW(set, &iface, detail, size, nullptr, &node)) {
      paths.emplace_back(detail->DevicePath, node.DevInst);
    }
  }
  ::SetupDiDestroyDeviceInfoList(set);
  return paths;
}

// The input reports the system keeps for an open device until they are read:
// the most it allows ("HidD_SetNumInputBuffers function").
constexpr ULONG kInputBuffers = 512;

class Bridge {
 public:
  std::uint8_t Scan() {
    std::vector<Device> described;
    std::map<std::wstring, Names> names;  // by device, for its collections
    for (const auto& [path, node] : InterfacePaths()) {
      Device d;
      if (Describe(path, node, names, d)) described.push_back(std::move(d));
    }
    // Listed by access, then path (DeviceOrder.h), at most 255 of them.
    std::vector<vyhid::win32::ListingKey> keys;
    keys.reserve(described.size());
    for (const Device& d : described) keys.push_back({d.access, d.path});
    std::vector<Device> found;
    for (const std::size_t i : vyhid::win32::ListingOrder(keys)) {
      if (found.size() == vyhid::kMaxBridgeDevices) break;
      found.push_back(std::move(described[i]));
    }
    std::lock_guard lock(mutex_);
    devices_ = std::move(found);
    for (std::size_t i = 0; i < devices_.size(); ++i)
      devices_[i].info.Handle = static_cast<std::uint32_t>(i);
    return static_cast<std::uint8_t>(devices_.size());
  }

  void DeviceInfo(std::uint8_t nr, THIDdeviceInfo& info) {
    std::lock_guard lock(mutex_);
    if (nr < devices_.size()) info = devices_[nr].info;
  }

  bool Open(std::uint8_t nr) {
    Close();
    std::wstring path;
    {
      std::lock_guard lock(mutex_);
      if (nr >= devices_.size()) {
        vyhid::abi::SetNotListed(nr, devices_.size());
        return false;
      }
      path = devices_[nr].path;
    }
    Access access = Access::kNone;
    DWORD error = ERROR_SUCCESS;
    Handle h = OpenInterface(path, FILE_FLAG_OVERLAPPED, access, &error);
    if (!h) {
      RecordWin32Error("CreateFileW", path, error);
      return false;
    }
    CollectionCaps caps;
    std::vector<ItemCaps> items;
    ReadCaps(h.get(), caps, items);
    // Its tables, for the payload each report ID takes.
    THIDdeviceInfo record;
    std::memset(&record, 0, sizeof record);
    vyhid::win32::FillCapabilities(caps, items, record);
    // The ring buffer of input reports the system keeps for this handle,
    // made larger than its default of 32 so that a burst is not dropped
    // while the input callback runs. A smaller one still works: noted only.
    if (!::HidD_SetNumInputBuffers(h.get(), kInputBuffers)) {
      NoteWin32Error("HidD_SetNumInputBuffers", path, ::GetLastError());
    }
    auto session = std::make_shared<Session>();
    session->bridge = this;
    session->device = std::move(h);
    session->path = path;
    session->input_length = caps.input_length;
    session->record = record;
    // The read thread's events; without one it could not run: no open.
    for (Handle* event : {&session->stop, &session->parked, &session->read_done}) {
      *event = Handle(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
      if (!*event) {
        RecordWin32Error("CreateEventW", path, ::GetLastError());
        return false;
      }
    }
    bool ok = true;
    std::vector<Reader> letGo;
    {
      std::lock_guard lock(mutex_);
      session_ = session;
      record_ = record;
      // Readers let go by a close from their own callback, joined below.
      letGo.swap(let_go_);
      // Opened without access rights: nothing can be read, so no read thread.
      if (access != Access::kNone) {
        reader_.session = session;
        reader_.thread =
            Handle(::CreateThread(nullptr, 0, &Bridge::ReadThread, session.get(), 0, nullptr));
        if (!reader_.thread) {
          RecordWin32Error("CreateThread", path, ::GetLastError());
          reader_ = Reader{};
          session_.reset();
          ok = false;
        }
      }
    }
    JoinAll(letGo);
    // Its removal must not wait for this handle (QueryRemove).
    if (ok) notifier_.Watch(session->device.get());
    return ok;
  }

  // The system asks to remove the open device (its driver disabled or
  // updated, the device ejected): closed, so that the removal goes ahead
  // without a restart. The component hears the removal and, with
  // AutoConnect, reopens the device when it is back.
  void QueryRemove(HANDLE device) {
    {
      std::lock_guard lock(mutex_);
      if (!session_ || session_->device.get() != device) return;
    }
    Close();
  }

  bool Close() {
    notifier_.Unwatch();  // before the handle goes
    std::vector<Reader> readers;
    bool open = false;
    {
      std::lock_guard lock(mutex_);
      readers.swap(let_go_);  // readers let go earlier: joined below as well
      if (session_) {
        open = true;
        ::SetEvent(session_->stop.get());
        ::CancelIoEx(session_->device.get(), nullptr);
        session_.reset();
        std::memset(&record_, 0, sizeof record_);
        readers.push_back(std::exchange(reader_, Reader{}));
      }
    }
    // Joined outside the lock: the reader may be inside the input callback.
    // Closed from that callback, the reader is this thread: JoinAll lets it
    // go, and it keeps its handles (its session) until it has seen the stop.
    JoinAll(readers);
    return open;
  }

  std::uint8_t ReportSize(ReportKind kind) {
    std::lock_guard lock(mutex_);
    if (!session_) return 0;
    return vyhid::abi::ByteResult(vyhid::BufferSize(record_, kind));
  }

  // Fetches an input or feature report with the caller's ReportID.
  //
  // No device I/O runs under the lock: a device that never answers would
  // hold every other entry point, HIDcloseDevice among them. The call takes
  // the open device's session under the lock, which keeps its handle open
  // even when the device is closed meanwhile, and asks the device after,
  // overlapped and bounded in time (BoundedIo.h): HidD_GetFeature and
  // HidD_GetInputReport take no time-out.
  std::uint8_t GetReport(ReportKind kind, THIDreport& report) {
    std::shared_ptr<Session> session;
    std::uint16_t length = 0;
    {
      std::lock_guard lock(mutex_);
      length = vyhid::BufferSize(record_, kind);
      if (!Usable(length, kind)) return 0;
      session = session_;
    }
    std::vector<std::uint8_t> buffer(length, 0);
    buffer[0] = report.ReportID;
    const auto size = static_cast<DWORD>(buffer.size());
    // The same buffer in and out, as HidD_GetFeature passes it: the driver
    // finds the report ID in either.
    const vyhid::win32::DeviceControl& control =
        kind == ReportKind::kFeature ? vyhid::win32::kGetFeature : vyhid::win32::kGetInputReport;
    if (const DWORD error = vyhid::win32::ControlRequest(
            session->device.get(), control, buffer.data(), size, buffer.data(), size)) {
      RecordWin32Error(control.name, session->path, error);
      return 0;
    }
    std::memset(report.Data.Bytes, 0, kPayloadBytes);
    std::memcpy(report.Data.Bytes, buffer.data() + 1,
                std::min<std::size_t>(length - 1, kPayloadBytes));
    return 1;
  }

  // Sends an output or feature report; returns the payload bytes it took:
  // the report ID's own payload, at most 64, as the hidraw bridge does.
  // Like GetReport, asks the device outside the lock and bounded in time.
  std::uint8_t SetReport(ReportKind kind, const THIDreport& report) {
    const bool feature = kind == ReportKind::kFeature;
    std::shared_ptr<Session> session;
    std::uint16_t length = 0;
    std::uint8_t taken = 0;
    {
      std::lock_guard lock(mutex_);
      length = vyhid::BufferSize(record_, kind);
      if (!Usable(length, kind)) return 0;
      session = session_;
      taken = vyhid::win32::PayloadTaken(record_, kind, report.ReportID);
    }
    std::vector<std::uint8_t> buffer(length, 0);
    buffer[0] = report.ReportID;
    const std::size_t copied = std::min<std::size_t>(taken, length - 1u);
    std::memcpy(buffer.data() + 1, report.Data.Bytes, copied);
    const DWORD error = feature ? vyhid::win32::ControlRequest(
                                      session->device.get(), vyhid::win32::kSetFeature,
                                      buffer.data(), static_cast<DWORD>(buffer.size()), nullptr, 0)
                                : WriteOutput(session->device.get(), buffer);
    if (error != 0) {
      RecordWin32Error(feature ? vyhid::win32::kSetFeature.name : "WriteFile", session->path,
                       error);
      return 0;
    }
    return static_cast<std::uint8_t>(copied);
  }

  // Windows hands out a device's parsed capabilities only, never the bytes of
  // its report descriptor: the export says so instead of making some up.
  std::int32_t ReportDescriptor(std::uint8_t /*nr*/, std::uint8_t* /*buffer*/,
                                std::uint32_t /*size*/) {
    vyhid::abi::SetLastError(ENOSYS,
                             "HIDGetReportDescriptor: Windows gives no call that returns a "
                             "device's report descriptor, only its parsed capabilities");
    return -1;
  }

  void SetInputHandler(THIDcallBack handler) { input_handler_.store(handler); }

  void SetDeviceChangeHandler(TUSBcallBack handler) {
    change_handler_.store(handler);
    std::lock_guard lock(mutex_);
    if (handler != nullptr) notifier_.Start();
  }

  // The library is being unloaded, under the loader lock (see the top).
  // "Dynamic-Link Library Best Practices" forbids here what may need that
  // lock or another library: no user32 call is made (the notification
  // thread unregisters and destroys its own window), no library is loaded
  // or freed, no thread is made. What remains, and why it is safe:
  // - SetEvent, CancelIoEx, CloseHandle, HeapFree (the delete): kernel32
  //   and ntdll calls on this library's own objects, which take no lock
  //   another thread could hold while waiting for the loader lock.
  // - WaitForSingleObject on a thread's `parked` event: the thread sets it
  //   once it has left all its work, and what it does after the stop until
  //   then (cancelling its read; unregistering and destroying a window)
  //   calls only into libraries loaded before it began, whose calls load
  //   none, and so never waits for the loader lock. A thread inside one
  //   of the application's callbacks is waited for until the callback
  //   returns: a callback must not wait for the thread that unloads.
  // - TerminateThread once parked: the thread holds no lock and no memory
  //   then; ending it normally would need the loader lock
  //   (DLL_THREAD_DETACH), which this thread holds.
  // - WaitForSingleObject on the terminated thread: it ends without running
  //   any code of its own.
  void Unload() {
    std::vector<Reader> readers;
    {
      std::lock_guard lock(mutex_);
      if (session_) {
        ::SetEvent(session_->stop.get());
        ::CancelIoEx(session_->device.get(), nullptr);
      }
      session_.reset();
      readers.swap(let_go_);
      if (reader_.thread) readers.push_back(std::exchange(reader_, Reader{}));
    }
    notifier_.EndUnderLoaderLock();
    for (Reader& reader : readers) {
      ::SetEvent(reader.session->stop.get());  // a reader let go has it already
      if (reader.session->started.load()) {
        ::WaitForSingleObject(reader.session->parked.get(), INFINITE);
      }
      ::TerminateThread(reader.thread.get(), 0);
      ::WaitForSingleObject(reader.thread.get(), INFINITE);
    }
  }

 private:
  // What an open device's read thread works with, shared by the bridge's
  // open device and the thread's record (Reader): whoever lets go last
  // closes the handles, so a reader never uses a handle value that a close
  // has given back to the system.
  struct Session {
    Bridge* bridge = nullptr;
    Handle device;     // overlapped
    Handle stop;       // set to end the read thread
    Handle parked;     // set by the read thread once it has left all its work
    Handle read_done;  // the read thread's overlapped reads end on it
    std::atomic<bool> started{false};
    std::wstring path;  // named in the reasons of failures
    std::uint16_t input_length = 0;
    THIDdeviceInfo record{};  // the capability tables: each input report's length
  };
  // A read thread and its session, kept until the thread has been joined.
  struct Reader {
    Handle thread;
    std::shared_ptr<Session> session;
  };

  // Waits for each reader to end. A bridge thread never joins itself: the
  // calling reader (closed or reopened from its own callback) goes to
  // let_go_, for the next open, close or the unload. A reader may be inside
  // the input callback, handing the report to a window of this thread with
  // SendMessage: the wait runs such messages, or neither thread would go on.
  void JoinAll(std::vector<Reader>& readers) {
    for (Reader& reader : readers) {
      if (!reader.thread) continue;
      if (::GetThreadId(reader.thread.get()) == ::GetCurrentThreadId()) {
        std::lock_guard lock(mutex_);
        let_go_.push_back(std::move(reader));
        continue;
      }
      if (!vyhid::win32::WaitDispatchingSentMessages(reader.thread.get())) {
        // Not waited for: the reader keeps its session until the unload.
        RecordWin32Error("MsgWaitForMultipleObjectsEx", reader.session->path, ::GetLastError());
        std::lock_guard lock(mutex_);
        let_go_.push_back(std::move(reader));
      }
    }
    readers.clear();
  }

  // Called with the lock held: a device is open and has reports of that
  // kind; otherwise records why not.
  bool Usable(std::uint16_t length, ReportKind kind) const {
    if (!session_) {
      vyhid::abi::SetNoDeviceOpen();
      return false;
    }
    if (length == 0) {
      vyhid::abi::SetLastError(
          EINVAL, ToUtf8(session_->path) + " has no " + vyhid::ReportKindName(kind) + " reports");
      return false;
    }
    return true;
  }

  // Sends an output report with WriteFile on the overlapped handle and a
  // buffer of OutputReportByteLength ("Sending HID Reports"); the
  // "HidD_SetOutputReport function" is meant for setting a collection's
  // current state, and some devices do not support it and stop responding.
  // Bounded in time; 0 or the system's error (BoundedIo.h).
  static DWORD WriteOutput(HANDLE device, std::vector<std::uint8_t>& buffer) {
    const auto size = static_cast<DWORD>(buffer.size());
    return vyhid::win32::BoundedRequest(
        device, vyhid::win32::kRequestTimeoutMs,
        [&](OVERLAPPED& ov) { return ::WriteFile(device, buffer.data(), size, nullptr, &ov); });
  }

  // The session outlives the thread: its Reader record holds it until the
  // thread has been joined or, at unload, ended.
  static DWORD WINAPI ReadThread(void* param) {
    auto* session = static_cast<Session*>(param);
    session->started.store(true);
    session->bridge->ReadLoop(*session);
    ::SetEvent(session->parked.get());
    return 0;
  }

  // Reads input reports until stopped or the device goes away, and hands
  // each to the input callback on this thread.
  void ReadLoop(const Session& session) {
    const HANDLE device = session.device.get();
    const HANDLE stop = session.stop.get();
    const std::uint16_t length = session.input_length;
    const THIDdeviceInfo& record = session.record;
    const std::wstring& path = session.path;
    if (length == 0) {
      ::WaitForSingleObject(stop, INFINITE);  // nothing to read until closed
      return;
    }
    const HANDLE done = session.read_done.get();
    std::vector<std::uint8_t> buffer(length);
    for (;;) {
      // Stopped: no further read, even while reports keep arriving.
      if (::WaitForSingleObject(stop, 0) == WAIT_OBJECT_0) return;
      OVERLAPPED ov{};
      ov.hEvent = done;
      ::ResetEvent(done);
      DWORD got = 0;
      if (!::ReadFile(device, buffer.data(), length, nullptr, &ov)) {
        const DWORD error = ::GetLastError();
        if (error != ERROR_IO_PENDING) {
          RecordWin32Error("ReadFile", path, error);  // unplugged, or closed
          return;
        }
      }
      // The stop first: WaitForMultipleObjects reports the lowest signalled
      // index ("WaitForMultipleObjects function"), so a device that always
      // has a report ready cannot hide the stop.
      const HANDLE waits[] = {stop, done};
      if (::WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0 + 1) {
        ::CancelIoEx(device, &ov);
        ::GetOverlappedResult(device, &ov, &got, TRUE);
        return;
      }
      if (!::GetOverlappedResult(device, &ov, &got, FALSE)) {
        // Aborted: closed; anything else: unplugged or failed.
        const DWORD error = ::GetLastError();
        if (error != ERROR_OPERATION_ABORTED) RecordWin32Error("ReadFile", path, error);
        return;
      }
      if (got == 0) return;
      // The system pads every report to the longest input report: each is
      // cut to its own ID's length, and a long one handed on in 64-byte
      // pieces, as every bridge does.
      const std::size_t payload = vyhid::win32::InputPayload(record, buffer[0], got);
      bool stopped = false;
      vyhid::SplitInputReport(std::span(buffer.data(), 1 + payload), true,
                              [&](const THIDreport& piece, std::uint8_t count) {
                                const THIDcallBack handler = input_handler_.load();
                                if (handler == nullptr) return false;
                                handler(piece, count);
                                // The callback may have closed or reopened:
                                // no further piece, no further report.
                                stopped = ::WaitForSingleObject(stop, 0) == WAIT_OBJECT_0;
                                return !stopped;
                              });
      if (stopped) return;
    }
  }

  std::mutex mutex_;
  std::vector<Device> devices_;
  std::shared_ptr<Session> session_;  // the open device
  Reader reader_;                     // its read thread
  std::vector<Reader> let_go_;        // readers closed from their own callback
  THIDdeviceInfo record_{};           // the open device's buffer sizes and capability tables
  std::atomic<THIDcallBack> input_handler_{nullptr};
  std::atomic<TUSBcallBack> change_handler_{nullptr};
  // Started by the first device-change handler; tells of the HID
  // interfaces and of requests to remove the open device.
  vyhid::win32::DeviceNotifier notifier_{{[this] {
                                            if (const TUSBcallBack handler = change_handler_.load())
                                              handler();
                                          },
                                          [this](HANDLE device) { QueryRemove(device); }}};
};

// Process-wide: the bridge of this library, made at load and ended at unload
// (DllMain), never by a static destructor.
Bridge* bridge = nullptr;

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
  if (reason == DLL_PROCESS_ATTACH) {
    bridge = new (std::nothrow) Bridge;
    return bridge != nullptr;
  }
  if (reason == DLL_PROCESS_DETACH && bridge != nullptr) {
    // The process is ending (reserved set): its other threads are already
    // gone, possibly inside the bridge holding its lock, and the system
    // reclaims everything; free nothing ("DllMain entry point": do not clean
    // up when the process is terminating).
    if (reserved != nullptr) return TRUE;
    bridge->Unload();
    delete bridge;
    bridge = nullptr;
  }
  return TRUE;
}

VYHID_DEFINE_BRIDGE_EXPORTS(*bridge)
