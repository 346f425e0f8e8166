#pragma once
// Waits, on behalf of pcscd's event thread of one slot, until one of the
// files that decide what the slot reports (its scenario file, the settings
// store) may have changed, the time-out passes, or pcscd asks the wait to
// end (when it stops the reader, and after every last disconnect, to wait
// again with another time-out). Directories are watched rather than files,
// because the files are replaced by renaming.

#include <chrono>
#include <map>
#include <set>
#include <string>

namespace velkaro::sim {

class ChangeWatch {
 public:
  ChangeWatch();
  ~ChangeWatch();
  ChangeWatch(const ChangeWatch&) = delete;
  ChangeWatch& operator=(const ChangeWatch&) = delete;

  // Adds a file to watch; false when its directory cannot be watched.
  bool Watch(const std::string& path);

  // True when a watched file changed or the wait was ended, false after the
  // time-out (negative: none).
  bool Wait(std::chrono::milliseconds timeout);

  // Ends the current Wait at once, or the next one when none is under way.
  // Safe from any thread.
  void Stop();

 private:
  bool DrainEvents();  // true when an event names a watched file

  int m_inotify = -1;
  int m_stop = -1;
  std::map<int, std::set<std::string>> m_names;  // watch descriptor -> file names
};

}  // namespace velkaro::sim
