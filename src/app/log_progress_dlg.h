#pragma once
// The progress window of "Create Logfile": the step under way and a Cancel
// button. It holds nothing: the main window stays usable, and the log's
// outcome arrives on its own.

#include <QDialog>
#include <QPointer>
#include <functional>
#include <string>

#include "platform/services.h"

class QLabel;

class CLogProgressDlg final : public QDialog {
 public:
  CLogProgressDlg(QWidget* parent, const std::string& title, const std::string& step, std::function<void()> onCancel);

  void SetStep(const std::string& step);
  std::string Step() const;
  // Closes without counting as a cancel.
  void Finish();

 protected:
  // Cancel, Escape and the window's close button.
  void reject() override;

 private:
  QLabel* m_step;
  std::function<void()> m_onCancel;
};

// The progress service of the program: at most one window, over the window
// that is active when it opens.
class CLogProgress final : public velkaro::IProgressDialog {
 public:
  CLogProgress() = default;
  ~CLogProgress() override;
  CLogProgress(const CLogProgress&) = delete;
  CLogProgress& operator=(const CLogProgress&) = delete;

  void Open(const std::string& title, const std::string& step, std::function<void()> onCancel) override;
  void SetStep(const std::string& step) override;
  void Raise() override;
  void Close() override;

  // The window while it is open, for tests.
  CLogProgressDlg* Dialog() const { return m_dialog; }

 private:
  QPointer<CLogProgressDlg> m_dialog;
};
