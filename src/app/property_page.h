#pragma once
// A tab of the main window. Pages are created without their contents; the
// main window initialises a page (OnInitDialog) the first time its tab is
// brought forward, as a property sheet does.

#include <QString>
#include <QWidget>
#include <functional>
#include <string>

class QHBoxLayout;
class QLabel;

// A label for text that comes from outside the program (a driver, a device,
// the configuration, the settings store, the file system): always plain text,
// since a label left to guess would render markup in such text (styles,
// images fetched from a path) as rich text. Selectable, so users can copy it.
QLabel* MakeValueLabel(QWidget* parent);
// Such a text as the tool shows it: control bytes and bytes that are not
// UTF-8 written as \xNN, as the log writes them, so none reaches the screen.
QString ShownOutsideText(const std::string& text);

// The settings pages' button row: "Apply" and "Reset" at its right end,
// each running its action when clicked.
QHBoxLayout* MakeApplyResetRow(QWidget* page, std::function<void()> apply, std::function<void()> reset);

// A fixed caption, shown as plain text like every other label of the tool.
QLabel* MakeCaptionLabel(const QString& text, QWidget* parent);

class CPropertyPage : public QWidget {
  Q_OBJECT

 public:
  explicit CPropertyPage(const QString& caption, QWidget* parent = nullptr);
  ~CPropertyPage() override;

  const QString& Caption() const { return m_strCaption; }

  // Runs OnInitDialog once; later calls answer the first result.
  bool EnsureInitialised();
  bool IsInitialised() const { return m_bInitialised; }

 protected:
  virtual bool OnInitDialog() { return true; }
  // A callback for another thread that runs `command` on the page's thread.
  // The page is the context, so a call that arrives after the page is gone
  // is dropped.
  std::function<void()> PostingTo(std::function<void()> command);

 private:
  QString m_strCaption;
  bool m_bInitialised = false;
  bool m_bInitResult = false;
};

// A page that can show the readers' RFID register view ("RFID registers").
class IRegisterViewPage {
 public:
  virtual ~IRegisterViewPage() = default;
  virtual void ReadRegisterDump(bool forLog) = 0;
};

// The window that shows the pages as tabs, as the General page sees it: it
// adds and removes the reader, settings and APIs tabs.
class IPageHost {
 public:
  virtual ~IPageHost() = default;
  virtual void AddPage(CPropertyPage* page) = 0;
  virtual void RemovePage(CPropertyPage* page) = 0;
  virtual int GetPageCount() const = 0;
  virtual int GetPageIndex(const CPropertyPage* page) const = 0;
  virtual int GetActiveIndex() const = 0;
  virtual bool SetActivePage(int index) = 0;
  virtual void SetTabText(int index, const QString& text) = 0;
  // Whether "RFID settings" and "Prox settings" may be chosen.
  virtual void SetRfidSettingsAvailable(bool available) = 0;
};

// The General page's operations that the main window calls.
class IPageCoordinator {
 public:
  virtual ~IPageCoordinator() = default;
  virtual bool SetRfidPagesWanted(bool wanted) = 0;
  virtual bool SetProxPageWanted(bool wanted) = 0;
  virtual bool StopRefreshThread() = 0;
  virtual bool RemoveAllPages() = 0;
};
