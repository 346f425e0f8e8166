// velkaro-sim: changes the cards and readers of a running simulation.

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "tool/sim_commands.h"

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  std::string directory = std::getenv("VELKARO_SIM_DIR") ? std::getenv("VELKARO_SIM_DIR") : "";
  if (args.size() >= 2 && args[0] == "--dir") {
    directory = args[1];
    args.erase(args.begin(), args.begin() + 2);
  }
  if (args.empty() || args[0] == "--help" || args[0] == "help") {
    std::fputs(velkaro::sim::SimUsage().c_str(), args.empty() ? stderr : stdout);
    return args.empty() ? 2 : 0;
  }
  if (directory.empty()) {
    std::fputs("velkaro-sim: no scenario directory: set VELKARO_SIM_DIR or pass --dir DIR\n", stderr);
    return 2;
  }
  const velkaro::sim::CommandResult result = velkaro::sim::RunSimCommand(directory, args);
  std::fputs(result.output.c_str(), stdout);
  std::fputs(result.errors.c_str(), stderr);
  return result.exitCode;
}
