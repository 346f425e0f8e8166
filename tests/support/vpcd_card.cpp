// A virtual card for vsmartcard's vpcd reader driver, run by tests as a
// process of its own so that they can stop (SIGSTOP), resume and kill it.
//
//   vpcd_card --atr HEX [--atr HEX] [--port N] [--idle SECONDS]
//
// It listens on 127.0.0.1 on a pair of ports, N and N + 1 (a free pair when N
// is not given), because the driver's second slot connects to N + 1: holding
// both keeps another test's card off this sandbox's second slot. The first
// --atr is the card in slot 0, the second (default: the first) the card in
// slot 1, as hexadecimal bytes ("3B 95 13 81 01 80 73 FF 01 00 0B"). The first
// line on standard output is N. It ends after SECONDS (default 60) without a
// message from the driver.
//
// The cards stay in: the driver (as Debian 12 ships it) waits for ever after
// an empty ATR, and aborts pcscd when its connection to the card ends, since
// it cannot connect again. So a test stops pcscd before it ends the card.
//
// The driver's messages are a 2-byte big-endian length and that many bytes:
// one byte 0 (power off), 1 (power on) or 2 (reset) wants no answer, 4 wants
// the ATR; anything longer is an APDU and wants a response APDU.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <array>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::uint8_t kGetAtr = 4;
constexpr int kPortAttempts = 64;
constexpr int kMessageTimeoutSeconds = 2;  // a message begun must be finished within this
constexpr std::size_t kMaxAtr = 33;

struct Options {
  std::vector<Bytes> atrs;  // by slot
  unsigned port = 0;
  int idleSeconds = 60;
};

int Fail(const std::string& text) {
  std::fprintf(stderr, "vpcd_card: %s\n", text.c_str());
  return 2;
}

std::optional<Bytes> ParseHex(std::string_view text) {
  Bytes bytes;
  std::string digits;
  for (const char c : text) {
    if (c == ' ') continue;
    if (!std::isxdigit(static_cast<unsigned char>(c))) return std::nullopt;
    digits += c;
  }
  if (digits.empty() || digits.size() % 2 != 0) return std::nullopt;
  for (std::size_t i = 0; i < digits.size(); i += 2)
    bytes.push_back(static_cast<std::uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
  return bytes;
}

std::optional<unsigned long> ParseNumber(const char* text, unsigned long max) {
  char* end = nullptr;
  errno = 0;
  const unsigned long value = std::strtoul(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || value > max) return std::nullopt;
  return value;
}

// A socket listening on 127.0.0.1:port (0: any free port); -1 on failure.
int Listen(unsigned port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  // A card restarted on its old ports must not wait for their TIME_WAIT.
  const int yes = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(fd, 4) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

unsigned BoundPort(int fd) {
  sockaddr_in address{};
  socklen_t length = sizeof address;
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) return 0;
  return ntohs(address.sin_port);
}

// Listening sockets on `port` and `port` + 1, or on the first free such pair.
std::optional<std::array<int, 2>> ListenOnPair(unsigned port) {
  for (int attempt = 0; attempt < (port ? 1 : kPortAttempts); ++attempt) {
    const int first = Listen(port);
    if (first < 0) continue;
    const unsigned chosen = BoundPort(first);
    const int second = chosen > 0 && chosen < 65535 ? Listen(chosen + 1) : -1;
    if (second >= 0) return std::array<int, 2>{first, second};
    close(first);
  }
  return std::nullopt;
}

bool ReadAll(int fd, std::uint8_t* data, std::size_t size) {
  while (size > 0) {
    const ssize_t got = recv(fd, data, size, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    data += got;
    size -= static_cast<std::size_t>(got);
  }
  return true;
}

bool SendMessage(int fd, const Bytes& payload) {
  Bytes message = {static_cast<std::uint8_t>(payload.size() >> 8), static_cast<std::uint8_t>(payload.size())};
  message.insert(message.end(), payload.begin(), payload.end());
  std::size_t sent = 0;
  while (sent < message.size()) {
    const ssize_t put = send(fd, message.data() + sent, message.size() - sent, MSG_NOSIGNAL);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return false;
    sent += static_cast<std::size_t>(put);
  }
  return true;
}

Bytes ResponseTo(const Bytes& apdu) {
  // SELECT succeeds; every other instruction is unknown to this card.
  if (apdu.size() >= 4 && apdu[1] == 0xA4) return {0x90, 0x00};
  return {0x6D, 0x00};
}

// Reads one message and answers it; false when the connection is over.
bool Serve(int fd, const Bytes& atr) {
  std::uint8_t header[2];
  if (!ReadAll(fd, header, sizeof header)) return false;
  Bytes payload(static_cast<std::size_t>(header[0] << 8 | header[1]));
  if (!ReadAll(fd, payload.data(), payload.size())) return false;
  if (payload.size() == 1) return payload[0] != kGetAtr || SendMessage(fd, atr);
  return payload.empty() || SendMessage(fd, ResponseTo(payload));
}

std::optional<Options> ParseOptions(int argc, char** argv) {
  Options options;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string_view name = argv[i];
    if (name == "--atr") {
      const auto atr = ParseHex(argv[i + 1]);
      if (!atr || atr->size() > kMaxAtr || options.atrs.size() == 2) return std::nullopt;
      options.atrs.push_back(*atr);
    } else if (name == "--port") {
      const auto port = ParseNumber(argv[i + 1], 65534);
      if (!port) return std::nullopt;
      options.port = static_cast<unsigned>(*port);
    } else if (name == "--idle") {
      const auto seconds = ParseNumber(argv[i + 1], 3600);
      if (!seconds || *seconds == 0) return std::nullopt;
      options.idleSeconds = static_cast<int>(*seconds);
    } else {
      return std::nullopt;
    }
  }
  if (argc % 2 == 0 || options.atrs.empty()) return std::nullopt;
  if (options.atrs.size() == 1) options.atrs.push_back(options.atrs.front());
  return options;
}

}  // namespace

int main(int argc, char** argv) {
  const auto options = ParseOptions(argc, argv);
  if (!options) return Fail("usage: vpcd_card --atr HEX [--atr HEX] [--port N] [--idle SECONDS]");
  const auto listening = ListenOnPair(options->port);
  if (!listening) return Fail("cannot listen on 127.0.0.1 on a pair of ports: " + std::string(std::strerror(errno)));
  std::printf("%u\n", BoundPort((*listening)[0]));
  std::fflush(stdout);

  // One driver connection per slot; a new one replaces the old (the driver
  // connects again after it has given a connection up).
  std::array<int, 2> clients = {-1, -1};
  auto lastMessage = std::chrono::steady_clock::now();
  const auto idle = std::chrono::seconds(options->idleSeconds);
  while (std::chrono::steady_clock::now() - lastMessage < idle) {
    std::array<pollfd, 4> fds{};
    for (std::size_t slot = 0; slot < 2; ++slot) {
      fds[slot] = {(*listening)[slot], POLLIN, 0};
      fds[slot + 2] = {clients[slot], POLLIN, 0};
    }
    if (poll(fds.data(), fds.size(), 1000) < 0 && errno != EINTR) return Fail("poll failed");
    for (std::size_t slot = 0; slot < 2; ++slot) {
      if (clients[slot] >= 0 && (fds[slot + 2].revents & (POLLIN | POLLHUP | POLLERR))) {
        if (Serve(clients[slot], options->atrs[slot])) {
          lastMessage = std::chrono::steady_clock::now();
        } else {
          close(clients[slot]);
          clients[slot] = -1;
        }
      }
      if (fds[slot].revents & POLLIN) {
        const int client = accept4((*listening)[slot], nullptr, nullptr, SOCK_CLOEXEC);
        if (client >= 0) {
          if (clients[slot] >= 0) close(clients[slot]);
          const timeval timeout{kMessageTimeoutSeconds, 0};
          setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
          clients[slot] = client;
          lastMessage = std::chrono::steady_clock::now();
        }
      }
    }
  }
  return 0;
}
