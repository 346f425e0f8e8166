#include "platform/deadline.h"

#include <pthread.h>

#include <atomic>
#include <cstring>

namespace velkaro {
namespace {

std::atomic<int> g_running{0};

}  // namespace

bool StartAbandonableThread(std::function<void()> work, const char* name) {
  ++g_running;
  try {
    std::thread([work = std::move(work), name]() mutable {
      // The kernel keeps at most 15 characters of a thread's name.
      if (name && std::strlen(name) < 16) pthread_setname_np(pthread_self(), name);
      work();
      work = nullptr;  // what it owns goes before the count says it has ended
      --g_running;
    }).detach();
  } catch (const std::system_error&) {
    --g_running;
    return false;
  }
  return true;
}

int RunningAbandonableThreads() { return g_running.load(); }

}  // namespace velkaro
