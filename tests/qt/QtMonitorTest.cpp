// The qt_monitor window against the simulated bridge, as a user sees it: the
// device list follows an attach and a removal, a click opens a device and
// shows its description, input reports from the bridge's thread appear as
// hex (a burst of them too, bounded), a typed line is sent (and echoed
// back), bad hex is refused. A screenshot of the window is saved on the way.
#include <QApplication>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QTreeWidget>

#include "MonitorWindow.h"
#include "VyHIDTestSupport.h"

// Qt, GLib and the platform plugin are not built for the thread checker:
// their own threads (image conversion, the thread pool) synchronise in code
// it cannot see. Their library calls are left out of its checks; every access
// made by our code, on any thread, is still checked.
#if defined(__SANITIZE_THREAD__)
extern "C" const char* __tsan_default_suppressions() {
  return "called_from_lib:libQt6Core.so.6\n"
         "called_from_lib:libQt6Gui.so.6\n"
         "called_from_lib:libQt6Widgets.so.6\n"
         "called_from_lib:libglib-2.0.so.0\n";
}
#endif

namespace {

constexpr int kWaitMs = 5000;

class QtMonitorTest : public vyhid_test::SimBridgeTest {};

template <class T>
T* Widget(QWidget& window, const char* name) {
  T* widget = window.findChild<T*>(name);
  EXPECT_NE(widget, nullptr) << name;
  return widget;
}

// Waits until the spy has seen `count` signals in all (some may have come
// while the test was still acting).
bool WaitFor(QSignalSpy& spy, int count) {
  while (spy.count() < count) {
    if (!spy.wait(kWaitMs)) return false;
  }
  return true;
}

// Waits, one signal of the spy at a time, until `done` holds.
template <class Condition>
bool WaitUntil(QSignalSpy& spy, Condition done) {
  while (!done()) {
    if (!spy.wait(kWaitMs)) return false;
  }
  return true;
}

QStringList Rows(const QListWidget& list) {
  QStringList rows;
  for (int i = 0; i < list.count(); ++i) rows.append(list.item(i)->text());
  return rows;
}

QString LastReport(const QTreeWidget& reports, int column) {
  const int n = reports.topLevelItemCount();
  return n == 0 ? QString() : reports.topLevelItem(n - 1)->text(column);
}

TEST_F(QtMonitorTest, FollowsDevicesReportsAndSends) {
  int argc = 1;
  char name[] = "qt_monitor_tests";
  char* argv[] = {name, nullptr};
  QApplication app(argc, argv);

  vyhid_test::DeviceSpec vendor{.Path = "/dev/sim/hidraw2",
                                .VID = 0x1209,
                                .PID = 0x0003,
                                .Manufacturer = "Simulated Devices",
                                .Product = "Sim Vendor Device",
                                .OutputBufferSize = 65,
                                .InputBufferSize = 65,
                                .OutputCaps = {{0, 0, 8, 64}},
                                .InputCaps = {{0, 0, 8, 64}}};
  vyhid_test::DeviceSpec keyboard = vendor;
  keyboard.Path = "/dev/sim/hidraw0";
  keyboard.PID = 0x0001;
  keyboard.Product = "Sim Keyboard";
  SetDevices({MakeDevice(keyboard)});
  sim.SetEcho(1);

  VyHIDDevice device;
  MonitorWindow window(device);
  window.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
  auto& devices = *Widget<QListWidget>(window, "devices");
  auto& state = *Widget<QLabel>(window, "state");
  auto& description = *Widget<QPlainTextEdit>(window, "description");
  auto& reports = *Widget<QTreeWidget>(window, "reports");
  auto& sendLine = *Widget<QLineEdit>(window, "sendLine");
  auto& send = *Widget<QPushButton>(window, "send");
  auto& sendStatus = *Widget<QLabel>(window, "sendStatus");
  QSignalSpy scans(&device, &VyHIDDevice::devicesChanged);
  QSignalSpy rowsIn(reports.model(), &QAbstractItemModel::rowsInserted);
  EXPECT_EQ(Rows(devices),
            QStringList{"0  VID:1209 PID:0001  Sim Keyboard (Simulated Devices) [R/W]"});
  EXPECT_FALSE(send.isEnabled());

  // Attached: the bridge's device-change callback reaches the window through
  // the component's queue, serviced by Qt's loop.
  const THIDdeviceInfo vendorInfo = MakeDevice(vendor);
  ASSERT_EQ(sim.AddDevice(&vendorInfo), 1);
  ASSERT_TRUE(WaitFor(scans, 1));
  ASSERT_EQ(devices.count(), 2);
  EXPECT_EQ(devices.item(1)->text(),
            "1  VID:1209 PID:0003  Sim Vendor Device (Simulated Devices) [R/W]");

  // A click opens it.
  QTest::mouseClick(devices.viewport(), Qt::LeftButton, {},
                    devices.visualItemRect(devices.item(1)).center());
  EXPECT_EQ(sim.OpenDevice(), 1);
  EXPECT_EQ(state.text(), "Device 1 open");
  EXPECT_TRUE(description.toPlainText().contains("Sim Vendor Device"))
      << description.toPlainText().toStdString();
  EXPECT_TRUE(description.toPlainText().contains("Input Report(s)     : ReportId 0 (64 bytes)"));
  EXPECT_TRUE(send.isEnabled());

  // An input report delivered on the bridge's own thread.
  THIDreport reading{};
  reading.Data[0] = 0x01;
  reading.Data[1] = 0x02;
  reading.Data[2] = 0xfe;
  sim.StartInputStream(&reading, 3, 1);
  sim.WaitInputStream();
  ASSERT_TRUE(WaitUntil(rowsIn, [&] { return reports.topLevelItemCount() == 1; }));
  EXPECT_EQ(LastReport(reports, 0), "0");
  EXPECT_EQ(LastReport(reports, 1), "01 02 fe");

  // A typed line is sent; the device echoes it as an input report.
  QTest::keyClicks(&sendLine, "48 69 0a");
  QTest::mouseClick(&send, Qt::LeftButton);
  EXPECT_EQ(sendStatus.text(), "sent 3 bytes with report ID 0");
  ASSERT_TRUE(WaitUntil(rowsIn, [&] { return reports.topLevelItemCount() == 2; }));
  EXPECT_TRUE(LastReport(reports, 1).startsWith("48 69 0a 00 00"))
      << LastReport(reports, 1).toStdString();
  EXPECT_EQ(reports.topLevelItemCount(), 2);

  // What a person sees at this point.
  const QImage shot = window.grab().toImage();
  ASSERT_TRUE(shot.save(VYHID_QT_SCREENSHOT)) << VYHID_QT_SCREENSHOT;
  EXPECT_EQ(QImage(VYHID_QT_SCREENSHOT).size(), window.size() * window.devicePixelRatio());

  // A burst while the GUI thread is busy elsewhere (here: waiting for the
  // burst): the bridge's thread never waits for it, what exceeds the queue's
  // bound is dropped and counted, and the window keeps its latest rows.
  constexpr std::uint64_t kBurst = VyHIDDevice::kMaxPendingReports + 100;
  sim.StartInputStream(&reading, 3, kBurst);
  sim.WaitInputStream();
  EXPECT_EQ(device.droppedReports(), 100u);
  ASSERT_TRUE(WaitUntil(rowsIn, [&] { return LastReport(reports, 1) == "01 02 fe"; }));
  EXPECT_EQ(reports.topLevelItemCount(), MonitorWindow::kMaxReportRows);

  // Bad hex is refused, and nothing is sent.
  sim.ClearLog();
  sendLine.clear();
  QTest::keyClicks(&sendLine, "48 6g");
  QTest::keyClick(&sendLine, Qt::Key_Return);
  EXPECT_EQ(sendStatus.text(), "not a hex byte: 6g");
  EXPECT_EQ(sim.CallCount(), 0);

  // Removed while open: closed, gone from the list.
  sim.RemoveDevice(1);
  ASSERT_TRUE(WaitFor(scans, 2));
  EXPECT_EQ(Rows(devices),
            QStringList{"0  VID:1209 PID:0001  Sim Keyboard (Simulated Devices) [R/W]"});
  EXPECT_EQ(device.openDevice(), -1);
  EXPECT_TRUE(description.toPlainText().isEmpty());
  EXPECT_FALSE(send.isEnabled());

  // A recorded mouse, whose descriptor gives each report's values by usage.
  ASSERT_EQ(sim.LoadDeviceText("R: 50 05 01 09 02 a1 01 09 01 a1 00 05 09 19 01 29 03 15 00 25 01 "
                               "95 03 75 01 81 02 95 01 75 05 81 01 05 01 09 30 09 31 15 81 25 7f "
                               "75 08 95 02 81 06 c0 c0\nN: Mouse\nI: 3 1234 5678\n"
                               "E: 000000.000000 3 01 fd 02\n",
                               nullptr, 0),
            1);
  sim.SetReplayPace(kSimReplayFast);
  sim.FireDeviceChange();
  ASSERT_TRUE(WaitFor(scans, 3));
  QTest::mouseClick(devices.viewport(), Qt::LeftButton, {},
                    devices.visualItemRect(devices.item(0)).center());
  sim.WaitInputStream();
  ASSERT_TRUE(WaitUntil(rowsIn, [&] { return LastReport(reports, 1) == "01 fd 02"; }));
  EXPECT_EQ(LastReport(reports, 2), "Button1 1  Button2 0  Button3 0  X -3  Y 2");
}

}  // namespace
