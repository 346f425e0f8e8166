#pragma once
// The "Devices" window: every USB smart card device with the driver pcscd
// takes for it, the reader pcscd lists and a verdict, then the installed
// drivers and the configured serial readers. Gathered off the window's
// thread; the window shows "Reading…" until the answer is posted back.

#include <QDialog>

#include "status/usb_devices.h"

class QLabel;
class QTreeWidget;

class CDevicesDlg : public QDialog {
  Q_OBJECT

 public:
  // Starts the gathering at once.
  explicit CDevicesDlg(QWidget* parent = nullptr);

  // Shows a gathered report (the gathering's answer lands here).
  void ShowReport(const UsbReport& report);

  QLabel* StateLine() const { return m_stcState; }
  QTreeWidget* DeviceList() const { return m_ctlDevices; }
  QTreeWidget* DriverList() const { return m_ctlDrivers; }
  QTreeWidget* SerialReaderList() const { return m_ctlSerialReaders; }

 private:
  QLabel* m_stcState;
  QTreeWidget* m_ctlDevices;
  QTreeWidget* m_ctlDrivers;
  QTreeWidget* m_ctlSerialReaders;
};
