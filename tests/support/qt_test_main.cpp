// main() of the widget test programs: GoogleTest first, then a QApplication
// on the offscreen platform, so no display is needed.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QApplication>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

#include "platform/deadline.h"

namespace {

void PrepareHeadlessEnvironment() {
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  if (!std::getenv("XDG_RUNTIME_DIR")) {
    // Qt wants a private runtime directory (mode 0700).
    static std::string dir = (std::filesystem::temp_directory_path() / ("velkaro-xdg-" + std::to_string(getuid()))).string();
    ::mkdir(dir.c_str(), 0700);
    ::chmod(dir.c_str(), 0700);
    setenv("XDG_RUNTIME_DIR", dir.c_str(), 1);
  }
}

// The offscreen platform cannot propagate size hints and says so whenever a
// window is shown; that line says nothing about the code under test.
QtMessageHandler g_previousHandler = nullptr;

void DropOffscreenNoise(QtMsgType type, const QMessageLogContext& context, const QString& message) {
  if (message.contains(QStringLiteral("does not support propagateSizeHints"))) return;
  if (g_previousHandler) {
    g_previousHandler(type, context, message);
  } else {
    std::fprintf(stderr, "%s\n", qPrintable(message));
  }
}

}  // namespace

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  PrepareHeadlessEnvironment();
  QApplication app(argc, argv);
  if (QGuiApplication::platformName() == QStringLiteral("offscreen")) g_previousHandler = qInstallMessageHandler(DropOffscreenNoise);
  const int result = RUN_ALL_TESTS();
  // Threads that pages left behind (a refresh, a lingering worker) end once
  // their calls are back; the process must not end, and run the destructors
  // of what they use (pcsc-lite's among them), before them.
  for (int i = 0; i < 500 && velkaro::RunningAbandonableThreads() > 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return result;
}
