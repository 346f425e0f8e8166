#pragma once
// Long work that the user waits for (the diagnostic log) asks pcscd, the
// settings store and the file system, which the user-interface thread must
// not do. The window program installs a runner that does the work on a
// thread of its own while the window keeps drawing and refreshing without
// taking input; without one (command-line tools, tests) the work runs on the
// caller's thread.

#include <functional>

namespace velkaro {

class IBackgroundRunner {
 public:
  virtual ~IBackgroundRunner() = default;
  // Returns when `work` has finished.
  virtual void Run(const std::function<void()>& work) = 0;
};

IBackgroundRunner& BackgroundRunner();
void InstallBackgroundRunner(IBackgroundRunner* runner);

}  // namespace velkaro
