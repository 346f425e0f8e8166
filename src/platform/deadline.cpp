#include "platform/deadline.h"

#include <pthread.h>

#include <cstring>

namespace velkaro {

bool StartAbandonableThread(std::function<void()> work, const char* name) {
  try {
    std::thread([work = std::move(work), name] {
      // The kernel keeps at most 15 characters of a thread's name.
      if (name && std::strlen(name) < 16) pthread_setname_np(pthread_self(), name);
      work();
    }).detach();
  } catch (const std::system_error&) {
    return false;
  }
  return true;
}

}  // namespace velkaro
