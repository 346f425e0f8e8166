// The run path as the file search reads it.

#include "platform/run_path.h"

#include <gtest/gtest.h>

using velkaro::RunPathDirectories;
using Dirs = std::vector<std::string>;

TEST(RunPathTest, OriginIsExpandedAndNothingIsTakenFromTheWorkingDirectory) {
  const struct {
    const char* runPath;
    Dirs directories;
  } cases[] = {
      {"$ORIGIN/../lib:", {"/opt/p/bin/../lib"}},  // the build tree's, with the empty entry CMake leaves
      {"${ORIGIN}/a:/usr/x:$ORIGIN", {"/opt/p/bin/a", "/usr/x", "/opt/p/bin"}},
      {"lib:./x::", {}},                           // relative and empty entries are the working directory's
      {"$ORIGIN$ORIGIN", {"/opt/p/bin/opt/p/bin"}},
      {"", {}},
  };
  for (const auto& c : cases) EXPECT_EQ(RunPathDirectories(c.runPath, "/opt/p/bin"), c.directories) << c.runPath;
}
