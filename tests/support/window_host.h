#pragma once
// For programs that run the tool's window in their own process against a
// private pcscd (benchmarks, the soak): waiting in the event loop, and the
// longest stall of the user-interface thread.

#include <QEventLoop>
#include <QObject>
#include <QString>
#include <QTimer>
#include <QtGlobal>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>

namespace testing_support {

// The offscreen platform says this whenever a window is shown.
inline void DropOffscreenNoise(QtMsgType, const QMessageLogContext&, const QString& message) {
  if (!message.contains(QStringLiteral("does not support propagateSizeHints"))) {
    std::fprintf(stderr, "%s\n", qPrintable(message));
  }
}

// Runs the event loop for `milliseconds` and sleeps in it meanwhile, unlike
// QTest::qWaitFor, which wakes 100 times a second and adds to a measured load.
inline void RunEvents(int milliseconds) {
  QEventLoop loop;
  QTimer::singleShot(milliseconds, &loop, &QEventLoop::quit);
  loop.exec();
}

// Checks `done` every 20 ms, running the event loop between.
inline bool WaitUntil(const std::function<bool()>& done, int milliseconds) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    RunEvents(20);
  }
  return true;
}

// The longest gap, in milliseconds, between the ticks of a 10 ms timer over
// `milliseconds`; `atStart` runs once the timer ticks.
inline double LongestGap(int milliseconds, const std::function<void()>& atStart = {}) {
  using Clock = std::chrono::steady_clock;
  QTimer ticker;
  ticker.setTimerType(Qt::PreciseTimer);
  double longest = 0;
  auto last = Clock::now();
  QObject::connect(&ticker, &QTimer::timeout, [&] {
    const auto now = Clock::now();
    longest = std::max(longest, std::chrono::duration<double, std::milli>(now - last).count());
    last = now;
  });
  ticker.start(10);
  if (atStart) atStart();
  RunEvents(milliseconds);
  return longest;
}

}  // namespace testing_support
