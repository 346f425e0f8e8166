#pragma once
// The commands of velkaro-sim, which change the scenario files of a running
// simulation: insert, remove, swap, mute, unplug, replug, set, fail, unfail,
// list and check. Test harnesses call them in-process; the command-line
// program only forwards its arguments.
//
// Every change is checked by parsing the changed file before it is written;
// a change that would make the file invalid is refused with the parser's
// messages and leaves the file as it was.

#include <string>
#include <vector>

namespace velkaro::sim {

inline constexpr char kScenarioExtension[] = ".reader";

struct CommandResult {
  int exitCode = 0;     // 0 done, 1 refused or failed, 2 wrong usage
  std::string output;   // for standard output
  std::string errors;   // for standard error
};

CommandResult RunSimCommand(const std::string& directory, const std::vector<std::string>& args);

std::string SimUsage();

}  // namespace velkaro::sim
