#pragma once
// Calls into pcscd or a reader driver that may never come back. Nothing can
// cancel a call that waits on a driver (SCardControl, SCardGetAttrib,
// SCardConnect), and a stopped pcscd holds even SCardEstablishContext, so the
// caller waits for such a call only up to a deadline. The call runs on a
// thread of its own that is never joined: it owns the work and the answer, so
// nothing it touches is freed under it when the caller has given up.

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>
#include <utility>

namespace velkaro {

// Starts `work` on a thread of its own and returns at once. The thread is
// left to end by itself; `work` must own (or share) everything it uses.
// False when no thread can be had (then `work` did not run).
bool StartAbandonableThread(std::function<void()> work, const char* name = nullptr);

// How many of those threads have not ended yet. A process that may wait
// (a test program before its end) waits for them; the programs leave with
// _exit() instead.
int RunningAbandonableThreads();

// Runs `work` on an abandonable thread and waits for its answer up to
// `deadline`: nothing when the answer did not come in time (the thread goes
// on and its late answer is dropped) or no thread could be started.
template <class T>
std::optional<T> RunWithDeadline(std::function<T()> work, std::chrono::milliseconds deadline,
                                 const char* name = nullptr) {
  struct Answer {
    std::mutex lock;
    std::condition_variable arrived;
    std::optional<T> value;
  };
  const auto answer = std::make_shared<Answer>();
  const bool started = StartAbandonableThread(
      [answer, work = std::move(work)] {
        T value = work();
        {
          const std::lock_guard lock(answer->lock);
          answer->value = std::move(value);
        }
        answer->arrived.notify_all();
      },
      name);
  if (!started) return std::nullopt;
  std::unique_lock lock(answer->lock);
  if (!answer->arrived.wait_for(lock, deadline, [&answer] { return answer->value.has_value(); })) return std::nullopt;
  return std::move(answer->value);
}

// The same for work without an answer: true when it ended in time.
inline bool RunWithDeadline(std::function<void()> work, std::chrono::milliseconds deadline,
                            const char* name = nullptr) {
  return RunWithDeadline<bool>(
             [work = std::move(work)] {
               work();
               return true;
             },
             deadline, name)
      .has_value();
}

}  // namespace velkaro
