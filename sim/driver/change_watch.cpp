#include "driver/change_watch.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

namespace velkaro::sim {

namespace {

constexpr std::uint32_t kEvents = IN_CLOSE_WRITE | IN_MOVED_TO | IN_MOVED_FROM | IN_DELETE;

}  // namespace

ChangeWatch::ChangeWatch()
    : m_inotify(inotify_init1(IN_NONBLOCK | IN_CLOEXEC)), m_stop(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

ChangeWatch::~ChangeWatch() {
  if (m_inotify >= 0) ::close(m_inotify);
  if (m_stop >= 0) ::close(m_stop);
}

bool ChangeWatch::Watch(const std::string& path) {
  if (m_inotify < 0) return false;
  const std::filesystem::path file(path);
  const std::string directory = file.has_parent_path() ? file.parent_path().string() : ".";
  const int descriptor = inotify_add_watch(m_inotify, directory.c_str(), kEvents);
  if (descriptor < 0) return false;
  m_names[descriptor].insert(file.filename().string());
  return true;
}

bool ChangeWatch::DrainEvents() {
  alignas(inotify_event) char buffer[4096];
  bool relevant = false;
  for (;;) {
    const ssize_t length = ::read(m_inotify, buffer, sizeof buffer);
    if (length <= 0) break;
    for (ssize_t offset = 0; offset < length;) {
      const auto* event = reinterpret_cast<const inotify_event*>(buffer + offset);
      const auto names = m_names.find(event->wd);
      if (event->len > 0 && names != m_names.end() && names->second.count(event->name)) relevant = true;
      if (event->mask & IN_Q_OVERFLOW) relevant = true;
      offset += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
    }
  }
  return relevant;
}

bool ChangeWatch::Wait(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    int remaining = -1;
    if (timeout.count() >= 0) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      remaining = static_cast<int>(std::max<long long>(0, left.count()));
    }
    pollfd fds[2] = {{m_stop, POLLIN, 0}, {m_inotify, POLLIN, 0}};
    const int ready = ::poll(fds, m_inotify >= 0 ? 2 : 1, remaining);
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return false;
    if (fds[0].revents) {
      std::uint64_t count = 0;
      const ssize_t read = ::read(m_stop, &count, sizeof count);  // one wake per request
      (void)read;
      return true;
    }
    if (DrainEvents()) return true;
    if (remaining == 0) return false;
  }
}

void ChangeWatch::Stop() {
  if (m_stop < 0) return;
  const std::uint64_t one = 1;
  const ssize_t written = ::write(m_stop, &one, sizeof one);
  (void)written;  // a wake already pending serves as well
}

}  // namespace velkaro::sim
