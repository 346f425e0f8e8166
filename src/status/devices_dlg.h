#pragma once
// The "Devices" window: every USB smart card device with the driver pcscd
// takes for it, the reader pcscd lists and a verdict, then the installed
// drivers and the configured serial readers. Gathered off the window's
// thread; the window shows "Reading…" until the answer is posted back, and
// gathers again when the USB device list changes or on "Refresh".

#include <QDialog>
#include <optional>

#include "platform/uevent_monitor.h"
#include "status/usb_devices.h"

class QLabel;
class QPushButton;
class QSocketNotifier;
class QTimer;
class QTreeWidget;

class CDevicesDlg : public QDialog {
  Q_OBJECT

 public:
  // Starts the gathering at once and follows the kernel's USB events.
  explicit CDevicesDlg(QWidget* parent = nullptr);
  // The same with the given event source; without one the window gathers
  // only when it opens and on "Refresh".
  explicit CDevicesDlg(std::optional<velkaro::UeventMonitor> monitor, QWidget* parent = nullptr);
  ~CDevicesDlg() override;

  // Shows a gathered report (the gathering's answer lands here).
  void ShowReport(const UsbReport& report);

  QLabel* StateLine() const { return m_stcState; }
  QTreeWidget* DeviceList() const { return m_ctlDevices; }
  QTreeWidget* DriverList() const { return m_ctlDrivers; }
  QTreeWidget* SerialReaderList() const { return m_ctlSerialReaders; }
  QPushButton* RefreshButton() const { return m_btnRefresh; }

 private:
  // One gathering at a time: a request during one makes one more after it.
  void Gather();
  void OnGathered(const UsbReport& report);
  void OnUsbEvent();

  std::optional<velkaro::UeventMonitor> m_monitor;
  QSocketNotifier* m_usbEvents = nullptr;
  QTimer* m_settle;
  bool m_gathering = false;
  bool m_gatherAgain = false;
  QPushButton* m_btnRefresh;
  QLabel* m_stcState;
  QTreeWidget* m_ctlDevices;
  QTreeWidget* m_ctlDrivers;
  QTreeWidget* m_ctlSerialReaders;
};
