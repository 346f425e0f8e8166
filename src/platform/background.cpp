#include "platform/background.h"

#include <atomic>

namespace velkaro {
namespace {

class InlineRunner final : public IBackgroundRunner {
 public:
  bool Start(std::function<void(const UiPost& post)> work) override {
    work([](std::function<void()> task) { task(); });
    return true;
  }
};

InlineRunner g_inlineRunner;
std::atomic<IBackgroundRunner*> g_runner{&g_inlineRunner};

}  // namespace

IBackgroundRunner& BackgroundRunner() { return *g_runner.load(std::memory_order_acquire); }

void InstallBackgroundRunner(IBackgroundRunner* runner) {
  g_runner.store(runner ? runner : &g_inlineRunner, std::memory_order_release);
}

}  // namespace velkaro
