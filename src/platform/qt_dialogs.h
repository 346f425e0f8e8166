#pragma once
// Qt implementations of the message box and save dialog services.

#include "platform/background.h"
#include "platform/services.h"

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

// Runs the work on a thread of its own and keeps the user-interface thread's
// events going meanwhile, apart from user input, with a busy cursor.
class QtBackgroundRunner final : public IBackgroundRunner {
 public:
  void Run(const std::function<void()>& work) override;
};

}  // namespace velkaro
