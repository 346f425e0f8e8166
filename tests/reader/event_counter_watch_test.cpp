// The watch wakes a monitor whose reader is no longer in the state it waits
// with: a moved event counter or another card state. Connections made by the
// pages themselves (in use, exclusive) and the changed flag wake nothing.

#include "reader/event_counter_watch.h"

#include <gtest/gtest.h>

#include "card/pcsc.h"

TEST(EventCounterWatchTest, WakesForAnotherCounterOrCardStateOnly) {
  constexpr std::uint32_t kPresent = SCARD_STATE_PRESENT, kEmpty = SCARD_STATE_EMPTY;
  const struct {
    const char* what;
    std::uint32_t known, now;
    bool wakes;
  } cases[] = {
      {"unchanged", kPresent | 0x30000, kPresent | 0x30000, false},
      {"changed flag and in use", kPresent | 0x30000, kPresent | SCARD_STATE_CHANGED | SCARD_STATE_INUSE | 0x30000, false},
      {"exclusive", kEmpty, kEmpty | SCARD_STATE_EXCLUSIVE, false},
      {"swap under counter 0", kPresent, kPresent | 0x20000, true},
      {"swap under a moved counter", kPresent | 0x30000, kPresent | 0x50000, true},
      {"removal pcsc-lite did not tell", kPresent | 0x30000, kEmpty | 0x40000, true},
      {"removal, counter unchanged", kPresent | 0x30000, kEmpty | 0x30000, true},
      {"goes mute", kPresent | 0x10000, kPresent | SCARD_STATE_MUTE | 0x10000, true},
      {"driver went", kEmpty, SCARD_STATE_UNAVAILABLE, true},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(CEventCounterWatch::Differs(c.known, c.now), c.wakes) << c.what;
  }
}
