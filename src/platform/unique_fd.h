#pragma once
// Owns a file descriptor and closes it when it goes.

#include <unistd.h>

#include <utility>

namespace velkaro {

class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : m_fd(fd) {}
  ~UniqueFd() { Reset(); }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  UniqueFd(UniqueFd&& other) noexcept : m_fd(other.Release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) Reset(other.Release());
    return *this;
  }

  int Get() const { return m_fd; }
  void Reset(int fd = -1) {
    if (m_fd >= 0) ::close(m_fd);
    m_fd = fd;
  }
  int Release() { return std::exchange(m_fd, -1); }

 private:
  int m_fd = -1;
};

}  // namespace velkaro
