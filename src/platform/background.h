#pragma once
// Long work that the user waits for (the diagnostic log) asks pcscd, the
// settings store and the file system, which the user-interface thread must
// not do, and may be held up for good by a call that never returns. The
// window program installs a runner that starts the work on a thread of its
// own and returns at once; the work hands what the window is to show back
// through `post`. Without one (command-line tools, tests) the work and
// everything it posts run on the caller's thread before Start returns.

#include <functional>

namespace velkaro {

// Runs `task` on the user-interface thread later; callable from any thread.
using UiPost = std::function<void(std::function<void()> task)>;

class IBackgroundRunner {
 public:
  virtual ~IBackgroundRunner() = default;
  // Starts `work`, which must own everything it uses: nobody waits for it.
  // What it posts after the runner is gone is dropped. False when no thread
  // could be had (then `work` did not run).
  virtual bool Start(std::function<void(const UiPost& post)> work) = 0;
};

IBackgroundRunner& BackgroundRunner();
void InstallBackgroundRunner(IBackgroundRunner* runner);

}  // namespace velkaro
