#pragma once
// Qt implementations of the message box and save dialog services, and the
// runner of long work.

#include <memory>
#include <mutex>

#include "platform/background.h"
#include "platform/services.h"

class QObject;

namespace velkaro {

class QtMessageBox final : public IMessageBox {
 public:
  // `defaultCaption` stands in for an empty caption.
  explicit QtMessageBox(std::string defaultCaption) : m_defaultCaption(std::move(defaultCaption)) {}
  int Show(const std::string& text, const std::string& caption, unsigned style) override;

 private:
  std::string m_defaultCaption;
};

class QtSaveFileDialog final : public ISaveFileDialog {
 public:
  std::optional<std::string> Ask(const SaveFileRequest& request) override;
};

// Starts the work on an abandonable thread and returns at once; what the
// work posts runs on the thread that created the runner. Create it on the
// user-interface thread, after the QApplication.
class QtBackgroundRunner final : public IBackgroundRunner {
 public:
  QtBackgroundRunner();
  ~QtBackgroundRunner() override;
  QtBackgroundRunner(const QtBackgroundRunner&) = delete;
  QtBackgroundRunner& operator=(const QtBackgroundRunner&) = delete;

  bool Start(std::function<void(const UiPost& post)> work) override;

 private:
  // Shared with the work threads, which may outlive the runner: they post
  // only while `receiver` is set, under `lock`.
  struct Mailbox {
    std::mutex lock;
    QObject* receiver = nullptr;
  };
  std::shared_ptr<Mailbox> m_mailbox = std::make_shared<Mailbox>();
};

}  // namespace velkaro
