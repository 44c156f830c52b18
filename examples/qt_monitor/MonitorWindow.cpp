#include "MonitorWindow.h"

#include <QFontDatabase>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QStringList>
#include <QTreeWidget>
#include <algorithm>
#include <cctype>
#include <optional>
#include <span>

#include "descriptor/ReportCodec.h"
#include "descriptor/ReportText.h"

namespace {

enum ReportColumn { kIdColumn, kBytesColumn, kDecodedColumn };

// "48 69 0a" -> the bytes; nullopt (with the offending word in `bad`) for
// anything that is not a list of one- or two-digit hex numbers.
std::optional<QByteArray> ParseHex(const QString& text, QString& bad) {
  QByteArray bytes;
  for (const QString& word : text.simplified().split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
    const bool hex = word.size() <= 2 && std::all_of(word.begin(), word.end(), [](QChar c) {
                       return std::isxdigit(static_cast<unsigned char>(c.toLatin1())) != 0;
                     });
    if (!hex) {
      bad = word;
      return std::nullopt;
    }
    bytes.append(static_cast<char>(word.toUInt(nullptr, 16)));
  }
  return bytes;
}

}  // namespace

MonitorWindow::MonitorWindow(VyHIDDevice& device, QWidget* parent)
    : QWidget(parent),
      device_(device),
      devices_(new QListWidget),
      state_(new QLabel),
      description_(new QPlainTextEdit),
      reports_(new QTreeWidget),
      reportId_(new QSpinBox),
      sendLine_(new QLineEdit),
      send_(new QPushButton(tr("Send"))),
      sendStatus_(new QLabel) {
  setWindowTitle(tr("VyHID monitor"));
  const QFont fixed = QFontDatabase::systemFont(QFontDatabase::FixedFont);

  devices_->setObjectName("devices");
  state_->setObjectName("state");
  description_->setObjectName("description");
  description_->setReadOnly(true);
  description_->setFont(fixed);
  description_->setLineWrapMode(QPlainTextEdit::NoWrap);
  reports_->setObjectName("reports");
  reports_->setRootIsDecorated(false);
  // Rows of one height are laid out without measuring each: a burst of
  // reports would otherwise cost a measure of every row per report.
  reports_->setUniformRowHeights(true);
  reports_->setFont(fixed);
  // The decoded column shows each report's values by usage name, through the
  // open device's report descriptor, as `vyhid monitor --decode` does.
  reports_->setHeaderLabels({tr("ID"), tr("Bytes"), tr("Decoded")});
  reports_->header()->setSectionResizeMode(kIdColumn, QHeaderView::ResizeToContents);
  reports_->setColumnWidth(kBytesColumn, 520);
  reportId_->setObjectName("reportId");
  reportId_->setRange(0, 255);
  reportId_->setPrefix(tr("ID "));
  sendLine_->setObjectName("sendLine");
  sendLine_->setPlaceholderText(tr("hex bytes, e.g. 48 69"));
  send_->setObjectName("send");
  sendStatus_->setObjectName("sendStatus");

  auto* sendRow = new QHBoxLayout;
  sendRow->addWidget(reportId_);
  sendRow->addWidget(sendLine_, 1);
  sendRow->addWidget(send_);
  auto* layout = new QGridLayout(this);
  layout->addWidget(new QLabel(tr("Devices")), 0, 0);
  layout->addWidget(devices_, 1, 0);
  layout->addWidget(state_, 0, 1);
  layout->addWidget(description_, 1, 1);
  layout->addWidget(new QLabel(tr("Input reports")), 2, 0, 1, 2);
  layout->addWidget(reports_, 3, 0, 1, 2);
  layout->addLayout(sendRow, 4, 0, 1, 2);
  layout->addWidget(sendStatus_, 5, 0, 1, 2);
  layout->setRowStretch(3, 1);
  layout->setColumnStretch(0, 1);
  layout->setColumnStretch(1, 1);
  // Room for a description line and the start of a 64-byte report.
  resize(900, 560);

  // Due on the next turn of the loop: after the burst being delivered now.
  showRows_.setSingleShot(true);
  showRows_.setInterval(0);
  connect(&showRows_, &QTimer::timeout, this, &MonitorWindow::showNewRows);
  connect(&device_, &VyHIDDevice::devicesChanged, this, &MonitorWindow::showDevices);
  connect(&device_, &VyHIDDevice::opened, this, &MonitorWindow::showOpened);
  connect(&device_, &VyHIDDevice::closed, this, &MonitorWindow::showClosed);
  connect(&device_, &VyHIDDevice::reportArrived, this, &MonitorWindow::addReport);
  connect(devices_, &QListWidget::itemClicked, this, &MonitorWindow::openClicked);
  connect(send_, &QPushButton::clicked, this, &MonitorWindow::sendClicked);
  connect(sendLine_, &QLineEdit::returnPressed, this, &MonitorWindow::sendClicked);

  showDevices();
  if (device_.openDevice() >= 0) {
    showOpened(device_.openDevice());
  } else {
    showClosed();
  }
}

MonitorWindow::~MonitorWindow() {
  qDeleteAll(newRows_);
}

void MonitorWindow::showDevices() {
  devices_->clear();
  for (int nr = 0; nr < device_.deviceCount(); ++nr) {
    const QString summary = device_.summary(nr);
    if (summary.isEmpty()) continue;  // excluded by the filter
    auto* item = new QListWidgetItem(QString("%1  %2").arg(nr).arg(summary), devices_);
    item->setData(Qt::UserRole, nr);
    if (nr == device_.openDevice()) devices_->setCurrentItem(item);
  }
}

void MonitorWindow::showOpened(int nr) {
  state_->setText(tr("Device %1 open").arg(nr));
  description_->setPlainText(device_.description(nr).join(QLatin1Char('\n')));
  rtl::String why;
  const std::vector<std::uint8_t> bytes = device_.component().GetReportDescriptor(nr, &why);
  descriptor_.reset();
  if (!bytes.empty()) descriptor_ = vyhid::descriptor::Parse(bytes);
  send_->setEnabled(device_.component().canSetReport);
}

void MonitorWindow::showClosed() {
  state_->setText(tr("No device open: click one"));
  description_->clear();
  descriptor_.reset();
  send_->setEnabled(false);
}

// Reports come in bursts (a fast device, or the GUI thread busy for a
// while): the rows of a burst are collected and shown once the burst has been
// delivered, with one removal of old rows and one insertion, because a tree
// that is laid out again for every row falls far behind.
void MonitorWindow::addReport(quint8 reportId, const QByteArray& data) {
  auto* row = new QTreeWidgetItem;
  row->setText(kIdColumn, QString::number(reportId));
  row->setText(kBytesColumn, QString::fromLatin1(data.toHex(' ')));
  row->setText(kDecodedColumn, decoded(reportId, data));
  newRows_.append(row);
  if (!showRows_.isActive()) showRows_.start();
}

QString MonitorWindow::decoded(quint8 reportId, const QByteArray& data) const {
  if (!descriptor_) return {};
  const vyhid::descriptor::Report* report =
      descriptor_->FindReport(vyhid::ReportKind::kInput, reportId);
  // A report longer than one piece arrives in several; its pieces past the
  // first are not whole reports, so only reports of one piece are decoded.
  if (report == nullptr || report->Bytes() > vyhid::kPayloadBytes) return {};
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(data.constData());
  return QString::fromStdString(vyhid::descriptor::FormatValues(
      vyhid::descriptor::Decode(*report, std::span(bytes, static_cast<std::size_t>(data.size())))));
}

void MonitorWindow::showNewRows() {
  QList<QTreeWidgetItem*> rows;
  rows.swap(newRows_);
  if (rows.size() > kMaxReportRows) {
    const auto excess = rows.size() - kMaxReportRows;
    qDeleteAll(rows.begin(), rows.begin() + excess);
    rows.remove(0, excess);
  }
  const int old = reports_->topLevelItemCount() + static_cast<int>(rows.size()) - kMaxReportRows;
  if (old > 0) reports_->model()->removeRows(0, old);
  reports_->addTopLevelItems(rows);
  reports_->scrollToBottom();
}

void MonitorWindow::openClicked() {
  const QListWidgetItem* item = devices_->currentItem();
  if (item == nullptr) return;
  const int nr = item->data(Qt::UserRole).toInt();
  if (nr == device_.openDevice()) return;
  if (!device_.open(nr)) state_->setText(tr("Device %1 cannot be opened").arg(nr));
}

void MonitorWindow::sendClicked() {
  QString bad;
  const std::optional<QByteArray> bytes = ParseHex(sendLine_->text(), bad);
  if (!bytes) {
    sendStatus_->setText(tr("not a hex byte: %1").arg(bad));
    return;
  }
  const int result = device_.send(static_cast<quint8>(reportId_->value()), *bytes);
  if (result < 0) {
    sendStatus_->setText(tr("no bridge: nothing sent"));
  } else if (result > 0) {
    sendStatus_->setText(
        tr("the device took %1 of %2 bytes").arg(bytes->size() - result).arg(bytes->size()));
  } else {
    sendStatus_->setText(
        tr("sent %1 bytes with report ID %2").arg(bytes->size()).arg(reportId_->value()));
  }
}
