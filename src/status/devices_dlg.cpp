#include "status/devices_dlg.h"

#include <QHeaderView>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QSocketNotifier>
#include <QTimer>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <memory>

#include "platform/background.h"
#include "platform/text.h"

namespace {

constexpr char kReading[] = "Reading the USB devices and drivers…";
constexpr char kNoThread[] = "The devices cannot be read: no thread can be started for them";
constexpr char kNoBus[] = "No USB bus visible";
constexpr char kNotAvailable[] = "n/a";
constexpr char kNone[] = "none";
constexpr char kNotListed[] = "not listed";
// Plugging a device in sends several events (device, interfaces, driver
// binds): one gathering for the lot.
constexpr int kSettleMs = 300;

// Outside text as plain, escaped text: no control byte reaches the screen.
QString Shown(const std::string& outside) { return QString::fromStdString(velkaro::EscapeControls(outside)); }
QString Shown(const std::optional<std::string>& outside) {
  return outside ? Shown(*outside) : QString::fromUtf8(kNotAvailable);
}

QString HexId(const std::optional<std::uint16_t>& id) {
  return id ? QString::fromStdString(velkaro::Format("%04X", static_cast<unsigned>(*id)))
            : QString::fromUtf8(kNotAvailable);
}

QTreeWidget* MakeList(QWidget* parent, const QString& name, const QStringList& columns) {
  auto* list = new QTreeWidget(parent);
  list->setRootIsDecorated(false);
  list->setItemsExpandable(false);
  list->setUniformRowHeights(true);
  list->setSelectionBehavior(QAbstractItemView::SelectRows);
  list->setHeaderLabels(columns);
  list->setAccessibleName(name);
  return list;
}

}  // namespace

CDevicesDlg::CDevicesDlg(QWidget* parent) : CDevicesDlg(velkaro::UeventMonitor::Open(), parent) {}

CDevicesDlg::CDevicesDlg(std::optional<velkaro::UeventMonitor> monitor, QWidget* parent)
    : QDialog(parent), m_monitor(std::move(monitor)) {
  setWindowTitle(QStringLiteral("Devices"));
  auto* layout = new QVBoxLayout(this);
  m_stcState = new QLabel(QString::fromUtf8(kReading), this);
  m_stcState->setTextFormat(Qt::PlainText);
  layout->addWidget(m_stcState);

  layout->addWidget(new QLabel(QStringLiteral("USB devices"), this));
  m_ctlDevices = MakeList(
      this, QStringLiteral("USB devices"),
      {QStringLiteral("Device"), QStringLiteral("VID:PID"), QStringLiteral("Maker"), QStringLiteral("Product"),
       QStringLiteral("Serial"), QStringLiteral("Driver"), QStringLiteral("pcscd reader"), QStringLiteral("Verdict")});
  layout->addWidget(m_ctlDevices, 2);
  layout->addWidget(new QLabel(QStringLiteral("Drivers"), this));
  m_ctlDrivers = MakeList(
      this, QStringLiteral("Drivers"),
      {QStringLiteral("Bundle"), QStringLiteral("Version"), QStringLiteral("Devices"), QStringLiteral("Problem")});
  layout->addWidget(m_ctlDrivers, 1);
  layout->addWidget(new QLabel(QStringLiteral("Serial readers"), this));
  m_ctlSerialReaders = MakeList(this, QStringLiteral("Serial readers"),
                                {QStringLiteral("Name"), QStringLiteral("Device"), QStringLiteral("Library")});
  layout->addWidget(m_ctlSerialReaders, 1);

  m_btnRefresh = new QPushButton(QStringLiteral("&Refresh"), this);
  m_btnRefresh->setAccessibleName(QStringLiteral("Refresh"));
  m_btnRefresh->setAutoDefault(false);
  connect(m_btnRefresh, &QPushButton::clicked, this, &CDevicesDlg::Gather);
  auto* close = new QPushButton(QStringLiteral("Close"), this);
  connect(close, &QPushButton::clicked, this, &QDialog::close);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch(1);
  buttons->addWidget(m_btnRefresh);
  buttons->addWidget(close);
  layout->addLayout(buttons);
  resize(900, 500);

  m_settle = new QTimer(this);
  m_settle->setSingleShot(true);
  m_settle->setInterval(kSettleMs);
  connect(m_settle, &QTimer::timeout, this, &CDevicesDlg::Gather);
  if (m_monitor) {
    m_usbEvents = new QSocketNotifier(m_monitor->Fd(), QSocketNotifier::Read, this);
    connect(m_usbEvents, &QSocketNotifier::activated, this, &CDevicesDlg::OnUsbEvent);
  }
  Gather();
}

// The notifier goes before the socket it watches is closed.
CDevicesDlg::~CDevicesDlg() { delete m_usbEvents; }

void CDevicesDlg::OnUsbEvent() {
  // Reading the socket never waits: it is drained here, the gathering is not.
  if (m_monitor->DrainUsbChanges()) m_settle->start();
}

void CDevicesDlg::Gather() {
  if (m_gathering) {
    m_gatherAgain = true;
    return;
  }
  m_gathering = true;
  // The gathering reads files and asks pcscd: never on this thread. Its
  // answer reaches the window only while the window is there.
  const QPointer<CDevicesDlg> window(this);
  const bool started = velkaro::BackgroundRunner().Start([window](const velkaro::UiPost& post) {
    auto report = std::make_shared<const UsbReport>(GatherUsbReport());
    post([window, report] {
      if (window) window->OnGathered(*report);
    });
  });
  if (!started) {
    m_gathering = false;
    m_gatherAgain = false;
    m_stcState->setText(QString::fromUtf8(kNoThread));
    m_stcState->setVisible(true);
  }
}

void CDevicesDlg::OnGathered(const UsbReport& report) {
  m_gathering = false;
  ShowReport(report);
  if (m_gatherAgain) {
    m_gatherAgain = false;
    Gather();
  }
}

void CDevicesDlg::ShowReport(const UsbReport& report) {
  m_stcState->setText(report.busVisible ? QString() : QString::fromUtf8(kNoBus));
  m_stcState->setVisible(!report.busVisible);
  m_ctlDevices->clear();
  for (const UsbDeviceRow& row : report.devices) {
    const velkaro::UsbSysfsDevice& device = row.device;
    QString driver = QString::fromUtf8(kNone);
    if (row.driver) {
      const velkaro::DriverBundle& bundle = report.drivers[row.driver->bundle];
      driver = Shown(bundle.name);
      if (!bundle.version.empty()) driver += QLatin1Char(' ') + Shown(bundle.version);
    }
    new QTreeWidgetItem(m_ctlDevices,
                        {Shown(device.name), HexId(device.vendorId) + QLatin1Char(':') + HexId(device.productId),
                         Shown(device.manufacturer), Shown(device.product), Shown(device.serial), driver,
                         row.reader.empty() ? QString::fromUtf8(kNotListed) : Shown(row.reader),
                         QString::fromUtf8(UsbVerdictText(row.verdict))});
  }
  m_ctlDrivers->clear();
  for (const velkaro::DriverBundle& bundle : report.drivers) {
    const bool read = bundle.state == velkaro::BundleState::kRead;
    new QTreeWidgetItem(
        m_ctlDrivers,
        {Shown(bundle.name), Shown(bundle.version), read ? QString::number(bundle.entries.size()) : QString(),
         QString::fromStdString(velkaro::EscapeControls(velkaro::BundleProblem(bundle)))});
  }
  m_ctlSerialReaders->clear();
  for (const velkaro::SerialReader& reader : report.serialReaders) {
    new QTreeWidgetItem(m_ctlSerialReaders,
                        {Shown(reader.friendlyName), Shown(reader.deviceName), Shown(reader.libraryPath)});
  }
  for (QTreeWidget* list : {m_ctlDevices, m_ctlDrivers, m_ctlSerialReaders}) {
    for (int column = 0; column < list->columnCount(); ++column) list->resizeColumnToContents(column);
  }
}
