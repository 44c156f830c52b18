// TVyHID in Qt's event loop: the queue notifier and the QObject face.
#include "VyHIDQt.h"

#include <QMetaObject>
#include <algorithm>
#include <utility>

namespace {

// The description line that names the device: VID, PID, product,
// manufacturer and access (the component's description, line 4).
constexpr int kSummaryLine = 3;

QString ToQString(const rtl::String& text) {
  return QString::fromStdU16String(text);
}

}  // namespace

VyHIDQueueNotifier::VyHIDQueueNotifier(QObject* parent) : QObject(parent) {
  const int fd = vcl::Application.EventFd();
  if (fd < 0) return;
  // The descriptor is level-triggered: it stays readable until the pending
  // work has been processed, so work queued before the notifier existed is
  // seen on the first turn of Qt's loop, and none is lost between turns.
  notifier_ = new QSocketNotifier(fd, QSocketNotifier::Read, this);
  connect(notifier_, &QSocketNotifier::activated, this, &VyHIDQueueNotifier::processQueue);
}

void VyHIDQueueNotifier::processQueue() {
  vcl::Application.ProcessMessages();
}

VyHIDDevice::VyHIDDevice(QObject* parent)
    : QObject(parent), queueNotifier_(this), hid_(std::make_unique<TVyHID>(nullptr)) {
  hid_->OnAfterDevScan = [this](rtl::TObject*, std::int32_t count, THIDinfoArray&) {
    Q_EMIT devicesChanged(count);
  };
  hid_->OnDevOpen = [this](rtl::TObject*, std::int32_t nr, TVyHIDDevInfo) {
    openNr_ = nr;
    Q_EMIT opened(nr);
  };
  // The component fires OnDevClose at the start of every scan, open or not;
  // the signal says only that an open device was closed.
  hid_->OnDevClose = [this](rtl::TObject*) {
    if (openNr_ < 0) return;
    openNr_ = -1;
    Q_EMIT closed();
  };
  hid_->OnGetHIDData = [this](rtl::TObject*, THIDreport report, std::uint8_t bytes) {
    queueReport(report, bytes);
  };
  hid_->ScanForHIDdevices();
}

VyHIDDevice::~VyHIDDevice() {
  // Quietly: the receivers of the signals may already be gone.
  hid_->OnAfterDevScan = TOnAfterDevScan();
  hid_->OnDevOpen = TOnDevOpen();
  hid_->OnDevClose = rtl::TNotifyEvent();
  hid_->CloseHidDevice();
  // Waits for a report being handed to queueReport on the bridge's thread.
  hid_.reset();
}

int VyHIDDevice::deviceCount() const {
  return hid_->DevCount;
}

QStringList VyHIDDevice::description(int nr) const {
  QStringList lines;
  if (nr < 0 || nr >= std::min<int>(hid_->DevCount, static_cast<int>(vyhid::kDeviceSlots))) {
    return lines;
  }
  const rtl::TStringList& strings =
      *hid_->HIDinfoArray[static_cast<std::size_t>(nr)].HIDstringsInfo;
  for (int i = 0; i < strings.Count(); ++i) lines.append(ToQString(strings[i]));
  return lines;
}

QString VyHIDDevice::summary(int nr) const {
  const QStringList lines = description(nr);
  return lines.size() > kSummaryLine ? lines[kSummaryLine] : QString();
}

void VyHIDDevice::rescan() {
  hid_->ScanForHIDdevices();
}

bool VyHIDDevice::open(int nr) {
  if (nr < 0 || nr >= deviceCount()) return false;
  // Closed first, so that the switch shows as closed() and then opened().
  close();
  hid_->CurrentDevNr = nr;
  hid_->Active = true;
  return hid_->Active;
}

void VyHIDDevice::close() {
  hid_->CloseHidDevice();
}

int VyHIDDevice::send(quint8 reportId, const QByteArray& bytes) {
  return hid_->SetReport(reportId, bytes.toStdString());
}

int VyHIDDevice::sendFeature(quint8 reportId, const QByteArray& bytes) {
  return hid_->SetFeature(reportId, bytes.toStdString());
}

// The bridge's thread must not wait for the GUI: the report is queued under a
// lock held only for the push, and one queued call is posted for a whole
// burst (only when the queue goes from empty to not empty). The call is posted
// by name, so that Qt builds the event, not code of ours running unseen by
// the thread checker.
void VyHIDDevice::queueReport(const THIDreport& report, std::uint8_t bytes) {
  const auto count = std::min<std::size_t>(bytes, vyhid::kPayloadBytes);
  Report queued{report.ReportID, QByteArray(reinterpret_cast<const char*>(report.Data.Bytes),
                                            static_cast<qsizetype>(count))};
  bool post = false;
  {
    std::lock_guard lock(pendingMutex_);
    if (pending_.size() >= kMaxPendingReports) {
      dropped_.fetch_add(1);
      return;
    }
    pending_.push_back(std::move(queued));
    post = !std::exchange(deliveryPosted_, true);
  }
  if (post) QMetaObject::invokeMethod(this, "deliverReports", Qt::QueuedConnection);
}

void VyHIDDevice::deliverReports() {
  std::deque<Report> reports;
  {
    std::lock_guard lock(pendingMutex_);
    reports.swap(pending_);
    deliveryPosted_ = false;
  }
  for (const Report& report : reports) Q_EMIT reportArrived(report.id, report.data);
}
