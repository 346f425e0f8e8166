#pragma once
// A card monitor waits for the next change without a time-out, and
// pcsc-lite's client does not always tell it of one: a change that comes
// while the client sets up its wait stays unseen (until the client's own
// wake-up a minute later), and a swap on a reader whose event counter (the
// high 16 bits of its state) is still 0 is never told, since the client
// compares only counters that are not 0. One thread for the whole process
// asks for the states of all waiting readers together once a second, on a
// context of its own, and wakes each monitor whose reader is no longer in the
// state it waits with; one call for all readers costs pcscd less than a
// time-out of each monitor's wait.

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

class CMSCard;

class CEventCounterWatch {
 public:
  // How often the counters are asked for.
  static constexpr std::chrono::milliseconds kPeriod{1000};

  using Wake = std::function<void()>;
  // Watches `reader`, whose monitor waits with `knownState` (pcsc-lite's
  // dwCurrentState), until the token goes. `wake` runs on the watch's thread,
  // never after the token has gone, after each pass that finds the reader's
  // event counter or its card (present, empty, mute, unavailable) other than
  // known, so a wake that came too early is repeated. The thread is started
  // here when none runs; it ends by itself once nothing is watched.
  class Token {
   public:
    Token() = default;
    Token(const std::string& reader, std::uint32_t knownState, Wake wake);
    ~Token();
    Token(const Token&) = delete;
    Token& operator=(const Token&) = delete;

   private:
    std::uint64_t m_id = 0;
  };

  // True when a reader in `state` (dwEventState) is not in `knownState`.
  static bool Differs(std::uint32_t knownState, std::uint32_t state);

  // For tests: the passes made since the program started.
  static int PassCount();
};
