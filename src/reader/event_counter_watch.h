#pragma once
// pcsc-lite compares a reader's event counter (the high 16 bits of its state)
// only when the caller's counter is not 0. A monitor that knows a card present
// under counter 0 (pcscd has seen no insertion or removal on that reader since
// it started) would not see a swap made of a removal and an insertion that
// pcsc-lite's client evaluates only afterwards, and its wait has no time-out.
// One thread for the whole process asks for the counters of all such readers
// together once a second, on a context of its own, and wakes the monitor of
// each reader whose counter has moved; one call for all readers costs pcscd
// less than a time-out of each monitor's wait.

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
  // Watches `reader` until the token goes. `wake` runs on the watch's thread,
  // never after the token has gone, after each pass that finds the counter
  // not 0 (so a wake that came too early is repeated). The thread is started
  // here when none runs; it ends by itself once nothing is watched.
  class Token {
   public:
    Token() = default;
    Token(const std::string& reader, Wake wake);
    ~Token();
    Token(const Token&) = delete;
    Token& operator=(const Token&) = delete;

   private:
    std::uint64_t m_id = 0;
  };

  // For tests: the passes made since the program started.
  static int PassCount();
};
