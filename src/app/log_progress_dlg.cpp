#include "app/log_progress_dlg.h"

#include <QApplication>
#include <QDialogButtonBox>
#include <QLabel>
#include <QVBoxLayout>

namespace {
constexpr int kMinimumWidth = 360;
}  // namespace

CLogProgressDlg::CLogProgressDlg(QWidget* parent, const std::string& title, const std::string& step,
                                 std::function<void()> onCancel)
    : QDialog(parent), m_step(new QLabel(this)), m_onCancel(std::move(onCancel)) {
  setWindowTitle(QString::fromStdString(title));
  setModal(false);
  setAttribute(Qt::WA_DeleteOnClose);
  setMinimumWidth(kMinimumWidth);
  // Steps name readers, which come from outside the program.
  m_step->setTextFormat(Qt::PlainText);
  m_step->setText(QString::fromStdString(step));
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Cancel, this);
  connect(buttons, &QDialogButtonBox::rejected, this, &CLogProgressDlg::reject);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(m_step);
  layout->addWidget(buttons);
}

void CLogProgressDlg::SetStep(const std::string& step) { m_step->setText(QString::fromStdString(step)); }

std::string CLogProgressDlg::Step() const { return m_step->text().toStdString(); }

void CLogProgressDlg::Finish() {
  m_onCancel = nullptr;
  QDialog::reject();
}

void CLogProgressDlg::reject() {
  // Taken first: the callback may close other windows, and this one is
  // deleted once it is hidden.
  const std::function<void()> onCancel = std::exchange(m_onCancel, nullptr);
  QDialog::reject();
  if (onCancel) onCancel();
}

CLogProgress::~CLogProgress() { Close(); }

void CLogProgress::Open(const std::string& title, const std::string& step, std::function<void()> onCancel) {
  Close();
  m_dialog = new CLogProgressDlg(QApplication::activeWindow(), title, step, std::move(onCancel));
  m_dialog->show();
}

void CLogProgress::SetStep(const std::string& step) {
  if (m_dialog) m_dialog->SetStep(step);
}

void CLogProgress::Raise() {
  if (!m_dialog) return;
  m_dialog->show();
  m_dialog->raise();
  m_dialog->activateWindow();
}

void CLogProgress::Close() {
  if (m_dialog) m_dialog->Finish();
}
