// The monitor's window: the device list (rebuilt after every scan, so it
// follows attach and removal), the open device's description, its input
// reports, and a line to send an output report.
//
// A click on a device opens it. The widgets carry object names ("devices",
// "state", "description", "reports", "reportId", "sendLine", "send",
// "sendStatus") for tests and style sheets.
#pragma once

#include <QByteArray>
#include <QList>
#include <QTimer>
#include <QWidget>
#include <optional>

#include "VyHIDQt.h"
#include "descriptor/ReportDescriptor.h"

class QLabel;
class QLineEdit;
class QListWidget;
class QPlainTextEdit;
class QPushButton;
class QSpinBox;
class QTreeWidget;
class QTreeWidgetItem;

class MonitorWindow : public QWidget {
  Q_OBJECT

 public:
  // The report list keeps the latest this many reports.
  static constexpr int kMaxReportRows = 1000;

  explicit MonitorWindow(VyHIDDevice& device, QWidget* parent = nullptr);
  ~MonitorWindow() override;

 private:
  void showDevices();
  void showOpened(int nr);
  void showClosed();
  void addReport(quint8 reportId, const QByteArray& data);
  // The report's values by usage name; empty without a descriptor.
  QString decoded(quint8 reportId, const QByteArray& data) const;
  void showNewRows();
  void openClicked();
  void sendClicked();

  VyHIDDevice& device_;
  QListWidget* devices_;
  QLabel* state_;
  QPlainTextEdit* description_;
  QTreeWidget* reports_;
  QSpinBox* reportId_;
  QLineEdit* sendLine_;
  QPushButton* send_;
  QLabel* sendStatus_;
  QList<QTreeWidgetItem*> newRows_;  // reports not shown yet, owned here until then
  QTimer showRows_;                  // shows newRows_
  std::optional<vyhid::descriptor::ReportDescriptor> descriptor_;  // of the open device
};
