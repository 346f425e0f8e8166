// velkaro-diag-log --atr as a user runs it: from a directory whose
// diagtool.ini it would refuse, with no pcscd to reach, so a run that read
// either would fail.

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "temp_dir.h"

namespace {

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

}  // namespace

TEST(AtrCommandTest, PrintsTheBreakdownOrRefusesTheText) {
  const testing_support::TempDir dir;
  std::filesystem::create_directories(dir / "bin/diagtool.ini");  // a directory: refused if it were read
  const std::string program = dir / "bin/velkaro-diag-log";
  std::filesystem::copy_file(VELKARO_DIAG_LOG_BINARY, program);
  const struct {
    const char* atr;
    int status;
    std::vector<std::string> stdoutHas;  // whole lines
    std::string stderrText;
  } cases[] = {
      {"3B 95 13 81 01 80 73 FF 01 00 0B", 0,
       {"  2  13            TA1           Fi = 372, fmax = 5 MHz, Di = 4; F/D = 93 clock cycles per ETU",
        " 10  0B            TCK           check byte, correct", "Summary: T=1; Fi=372 Di=4; TCK ok",
        "Protocols offered: T=1", "Historical bytes: 80 73 FF 01 00", "Decoded: complete"},
       ""},
      {"3b:95:13", 0, {"Decoding stopped at byte 3: TD1 is missing: the ATR ends after 3 bytes"}, ""},
      {"3B951381", 0, {"  3  81            TD1           protocol T=1; Y2 = 1000 (TD2)"}, ""},
      {"3B 9G", 2, {}, "velkaro-diag-log: the ATR was refused: character 5 'G' is not a hex digit\n"},
      {"3B\x1b]0;x", 2, {}, "velkaro-diag-log: the ATR was refused: character 3 \\x1B is not a hex digit\n"},
      {"", 2, {}, "velkaro-diag-log: the ATR was refused: no hex digits\n"},
      {nullptr, 2, {}, "Usage: velkaro-diag-log [FILE]\n"},  // no file named "--atr" is written
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.atr ? c.atr : "no ATR");
    // Without pcscd's socket and root's configuration: neither may matter.
    const std::string command = "cd " + dir.path().string() + " && env PCSCLITE_CSOCK_NAME=" + dir / "no-pcscd" + " " +
                                program + " --atr" + (c.atr ? std::string(" '") + c.atr + "'" : "") + " >" +
                                dir / "out" + " 2>" + dir / "err";
    const int status = std::system(command.c_str());
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), c.status);
    const std::string out = ReadAll(dir / "out");
    for (const std::string& line : c.stdoutHas) EXPECT_NE(out.find("\n" + line + "\n"), std::string::npos) << out;
    if (c.status != 0) {
      EXPECT_EQ(out, "");
    }
    const std::string err = ReadAll(dir / "err");
    EXPECT_EQ(c.atr ? err : err.substr(0, c.stderrText.size()), c.stderrText);
    EXPECT_FALSE(std::filesystem::exists(dir / "--atr"));
  }
}
