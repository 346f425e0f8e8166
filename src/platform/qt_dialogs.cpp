#include "platform/qt_dialogs.h"

#include <QApplication>
#include <QFileDialog>
#include <QMessageBox>

#include <utility>

#include "platform/deadline.h"

namespace velkaro {

int QtMessageBox::Show(const std::string& text, const std::string& caption, unsigned style) {
  QMessageBox box(QApplication::activeWindow());
  box.setWindowTitle(QString::fromStdString(caption.empty() ? m_defaultCaption : caption));
  // Messages carry file names, reader names and the like: never rich text.
  box.setTextFormat(Qt::PlainText);
  box.setText(QString::fromStdString(text));
  switch (style & MB_ICONMASK) {
    case MB_ICONSTOP: box.setIcon(QMessageBox::Critical); break;
    case MB_ICONQUESTION: box.setIcon(QMessageBox::Question); break;
    case MB_ICONEXCLAMATION: box.setIcon(QMessageBox::Warning); break;
    case MB_ICONINFORMATION: box.setIcon(QMessageBox::Information); break;
    default: box.setIcon(QMessageBox::NoIcon); break;
  }
  switch (style & MB_TYPEMASK) {
    case MB_OKCANCEL: box.setStandardButtons(QMessageBox::Ok | QMessageBox::Cancel); break;
    case MB_YESNOCANCEL:
      box.setStandardButtons(QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel);
      break;
    case MB_YESNO: box.setStandardButtons(QMessageBox::Yes | QMessageBox::No); break;
    default: box.setStandardButtons(QMessageBox::Ok); break;
  }
  switch (box.exec()) {
    case QMessageBox::Yes: return IDYES;
    case QMessageBox::No: return IDNO;
    case QMessageBox::Cancel: return IDCANCEL;
    default: return IDOK;
  }
}

std::optional<std::string> QtSaveFileDialog::Ask(const SaveFileRequest& request) {
  QFileDialog dialog(QApplication::activeWindow(), QString::fromStdString(request.title),
                     QString::fromStdString(request.defaultPath), QString::fromStdString(request.filter));
  dialog.setAcceptMode(QFileDialog::AcceptSave);
  dialog.setFileMode(QFileDialog::AnyFile);
  if (!request.defaultExtension.empty()) dialog.setDefaultSuffix(QString::fromStdString(request.defaultExtension));
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return std::nullopt;
  return dialog.selectedFiles().front().toStdString();
}

QtBackgroundRunner::QtBackgroundRunner() { m_mailbox->receiver = new QObject; }

QtBackgroundRunner::~QtBackgroundRunner() {
  QObject* receiver = nullptr;
  {
    const std::lock_guard lock(m_mailbox->lock);
    receiver = std::exchange(m_mailbox->receiver, nullptr);
  }
  // Tasks posted to it and not yet run go with it.
  delete receiver;
}

bool QtBackgroundRunner::Start(std::function<void(const UiPost& post)> work) {
  return StartAbandonableThread(
      [mailbox = m_mailbox, work = std::move(work)] {
        work([mailbox](std::function<void()> task) {
          const std::lock_guard lock(mailbox->lock);
          if (mailbox->receiver) QMetaObject::invokeMethod(mailbox->receiver, std::move(task), Qt::QueuedConnection);
        });
      },
      "long-work");
}

}  // namespace velkaro
