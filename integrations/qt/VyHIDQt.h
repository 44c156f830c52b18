// TVyHID in a Qt application.
//
// Two classes, each usable on its own:
//
// - VyHIDQueueNotifier services the framework's message queue of the thread
//   that creates it from that thread's Qt event loop: it watches the queue's
//   wake descriptor (vcl::Application.EventFd()) with a QSocketNotifier and
//   processes the pending messages and due timers whenever it becomes
//   readable. A program that keeps using TVyHID directly creates one on the
//   component's thread and needs no loop of its own; the rescans after an
//   attach or a removal and the scan time-out timer then run in Qt's loop.
//
// - VyHIDDevice is a QObject over a TVyHID of its own (with its own queue
//   notifier): signals for the device list, open, close and every input
//   report, and methods to scan, open, close and send. Input reports come on
//   the bridge's thread; they are queued there (a short lock, never a wait
//   for the GUI thread) and reportArrived is emitted on the object's thread.
//
// Both belong to the thread that creates them (the component's thread),
// which must run a Qt event loop. Like TVyHID, one VyHIDDevice may live in a
// process at a time.
#pragma once

#include <QByteArray>
#include <QObject>
#include <QSocketNotifier>
#include <QString>
#include <QStringList>
#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>

#include "VyHID.h"

class VyHIDQueueNotifier : public QObject {
  Q_OBJECT

 public:
  // Watches the calling thread's queue; what is already pending runs on the
  // next turn of Qt's loop. On a platform without a wake descriptor it
  // watches nothing: on Windows the framework's windows are the system's, so
  // Qt's loop dispatches their messages itself, but the queue's timers (the
  // component's scan time-out) would need a wake-up of their own, which this
  // class does not provide yet.
  explicit VyHIDQueueNotifier(QObject* parent = nullptr);

 private:
  Q_SLOT void processQueue();

  QSocketNotifier* notifier_ = nullptr;  // owned as a child; null without a descriptor
};

class VyHIDDevice : public QObject {
  Q_OBJECT

 public:
  // Input reports waiting for the GUI thread beyond this many are dropped
  // (and counted): a device that sends faster than the window can show must
  // not make the process grow without bound.
  static constexpr std::size_t kMaxPendingReports = 4096;

  // Creates the component (which loads HID_Bridge__.dll by bare name: load a
  // bridge by path first to choose one) and scans. Without a usable bridge,
  // or while another TVyHID lives, the component has shown its message and
  // every method here reports failure.
  explicit VyHIDDevice(QObject* parent = nullptr);
  // Closes the open device without emitting anything, then destroys the
  // component, which waits for an input report being delivered on the
  // bridge's thread; reports still queued for this object are dropped.
  ~VyHIDDevice() override;

  // The component itself, for what this face does not cover (Filter,
  // AutoConnect, GetReport, GetFeature, HIDinfoArray...). Its events are
  // bound by this object: replacing them silences the signals.
  TVyHID& component() { return *hid_; }

  // Devices found by the latest scan (-1 before the first, or without a bridge).
  int deviceCount() const;
  // Device nr's description lines, empty for a number beyond the list and for
  // a device that the Filter excludes.
  QStringList description(int nr) const;
  // The one-line summary of device nr ("VID:1209 PID:0003  Product
  // (Manufacturer) [R/W]"), empty where description() is.
  QString summary(int nr) const;
  // The number of the open device, or -1.
  int openDevice() const { return openNr_; }
  // Input reports dropped because the GUI thread fell behind.
  std::uint64_t droppedReports() const { return dropped_.load(); }

 public Q_SLOTS:
  // Rescans (which closes and, with AutoConnect, reopens the open device).
  void rescan();
  // Opens device nr; false when the bridge refused or nr is out of range.
  bool open(int nr);
  void close();
  // Send a byte string as 64-byte reports with the report ID; the
  // component's result (SetReport: 0 when every byte was taken; SetFeature:
  // what the device took of the last report), -1 without a bridge.
  int send(quint8 reportId, const QByteArray& bytes);
  int sendFeature(quint8 reportId, const QByteArray& bytes);

 Q_SIGNALS:
  // After every scan: the device list may have changed.
  void devicesChanged(int count);
  // A device was opened, by open() or by a rescan that found it again
  // (then under its new number).
  void opened(int nr);
  // The open device was closed (by close(), a rescan, or the time-out after
  // its removal). Unlike the component's OnDevClose, not emitted when no
  // device was open.
  void closed();
  // An input report of the open device; `data` holds the bytes the bridge
  // delivered (at most 64).
  void reportArrived(quint8 reportId, const QByteArray& data);

 private:
  struct Report {
    quint8 id;
    QByteArray data;
  };

  // Bridge's thread.
  void queueReport(const THIDreport& report, std::uint8_t bytes);
  // Object's thread: emits reportArrived for everything queued.
  Q_SLOT void deliverReports();

  VyHIDQueueNotifier queueNotifier_;
  std::unique_ptr<TVyHID> hid_;
  int openNr_ = -1;

  std::mutex pendingMutex_;
  std::deque<Report> pending_;   // guarded by pendingMutex_
  bool deliveryPosted_ = false;  // guarded by pendingMutex_
  std::atomic<std::uint64_t> dropped_{0};
};
