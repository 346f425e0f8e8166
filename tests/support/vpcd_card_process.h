#pragma once
// The virtual card of vsmartcard's vpcd driver (vpcd_card) as a child
// process of the test: started on a free pair of loopback ports before the
// pcscd that uses it, stopped and resumed to make the driver hang and
// recover. Killed only after that pcscd has stopped: the driver cannot lose
// its card process and takes pcscd down when it does. The card goes with the
// test process, even when the test crashes.

#include <sys/types.h>

#include <optional>
#include <string>

namespace testing_support {

class VpcdCard {
 public:
  VpcdCard() = default;
  // Kills the card (a stopped one too).
  ~VpcdCard();
  VpcdCard(const VpcdCard&) = delete;
  VpcdCard& operator=(const VpcdCard&) = delete;

  // Starts the cards of slot 0 and slot 1 (hexadecimal ATRs, spaces
  // allowed; slot 1 empty: the same card) on `port` and `port` + 1, or on a
  // free pair when `port` is 0. Answers an error text, or nothing once the
  // card listens.
  std::optional<std::string> Start(const std::string& atr, const std::string& secondAtr = {}, unsigned port = 0);
  // Kills the card process (after its pcscd has stopped).
  void Kill();
  // SIGSTOP: every driver call that reaches the card waits from now on.
  bool Pause();
  // SIGCONT: the card answers again.
  bool Resume();

  bool IsRunning() const { return m_pid > 0; }
  // The driver's slot 0 connects here, slot 1 to Port() + 1.
  unsigned Port() const { return m_port; }

 private:
  pid_t m_pid = -1;
  unsigned m_port = 0;
};

}  // namespace testing_support
