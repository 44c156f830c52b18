// A window that lists the HID devices, opens the one clicked, shows its
// input reports as they come and sends output reports typed as hex.
//
//   qt_monitor              the devices of the bridge the component finds
//   VYHID_BRIDGE=PATH qt_monitor     a bridge of your choice, e.g. the
//                                    simulated one (lib/vyhid/bridge/sim/)
//
// Qt's event loop runs everything: VyHIDDevice services the component's
// message queue from it, and hands the input reports over from the bridge's
// thread.
#include <QApplication>
#include <QMessageBox>
#include <cstdlib>

#include "MonitorWindow.h"
#include "VyHIDQt.h"
#include "vcl/Dialogs.h"

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  // The component's own messages (a missing bridge) in a message box.
  vcl::SetMessagePresenter([](const rtl::String& text) {
    QMessageBox::warning(nullptr, QStringLiteral("VyHID"), QString::fromStdU16String(text));
  });
  if (const char* bridge = std::getenv("VYHID_BRIDGE"))
    rtl::LoadLibraryW(rtl::Utf8ToString(bridge));

  VyHIDDevice device;
  MonitorWindow window(device);
  window.show();
  return QApplication::exec();
}
