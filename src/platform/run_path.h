#pragma once
// The directories the dynamic loader searches first for the running program's
// own libraries: its run path. The file search looks there too, so that a
// library the program would load is the library the General page names.

#include <string>
#include <string_view>
#include <vector>

namespace velkaro {

// The run path (DT_RUNPATH, or DT_RPATH when it has none) of the running
// program, read once from /proc/self/exe; empty for an installed program.
const std::vector<std::string>& ProgramRunPath();

// The directories of a run path text for a program in `origin`: "$ORIGIN" and
// "${ORIGIN}" stand for that directory. Empty and relative entries, which the
// loader would take from the working directory, are left out: a program
// running as root must not load from wherever it was started.
std::vector<std::string> RunPathDirectories(std::string_view runPath, const std::string& origin);

}  // namespace velkaro
