#pragma once
// A stand-in for pcscd's socket: nothing there, a listener that takes
// connections but never answers (a stopped pcscd's listen queue), or one
// that answers the client's version message as pcscd does. Points
// PCSCLITE_CSOCK_NAME at itself for its lifetime.

#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <string>
#include <thread>

#include "temp_dir.h"

namespace testing_support {

class PcscdSocketStandIn {
 public:
  enum class Mode { kAbsent, kSilent, kAnswering };

  explicit PcscdSocketStandIn(Mode mode) : m_path(m_dir / "pcscd.comm") {
    setenv("PCSCLITE_CSOCK_NAME", m_path.c_str(), 1);
    if (mode == Mode::kAbsent) return;
    m_listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, m_path.c_str(), sizeof address.sun_path - 1);
    if (::bind(m_listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(m_listener, 8) != 0)
      return;
    if (mode == Mode::kAnswering) m_server = std::thread([this] { Answer(); });
  }
  ~PcscdSocketStandIn() {
    m_stop = true;
    if (m_server.joinable()) m_server.join();
    ::close(m_listener);
    unsetenv("PCSCLITE_CSOCK_NAME");
  }
  PcscdSocketStandIn(const PcscdSocketStandIn&) = delete;
  PcscdSocketStandIn& operator=(const PcscdSocketStandIn&) = delete;

  // Takes one waiting connection off the queue and closes it.
  bool DropOneClient() {
    const int client = ::accept(m_listener, nullptr, nullptr);
    if (client < 0) return false;
    ++m_accepted;
    ::close(client);
    return true;
  }
  int Accepted() const { return m_accepted; }

 private:
  void Answer() {
    while (!m_stop) {
      pollfd waiting{m_listener, POLLIN, 0};
      if (::poll(&waiting, 1, 20) != 1) continue;
      const int client = ::accept(m_listener, nullptr, nullptr);
      if (client < 0) continue;
      ++m_accepted;
      std::uint32_t message[5];  // header (size, command) and version
      if (::recv(client, message, sizeof message, MSG_WAITALL) == sizeof message) {
        const std::uint32_t reply[3] = {4, 4, 0};
        (void)!::send(client, reply, sizeof reply, MSG_NOSIGNAL);
      }
      ::close(client);
    }
  }

  TempDir m_dir;
  std::string m_path;
  int m_listener = -1;
  std::thread m_server;
  std::atomic<int> m_accepted{0};
  std::atomic<bool> m_stop{false};
};

}  // namespace testing_support
