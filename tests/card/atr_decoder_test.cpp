// The ATR decoder against ATRs whose fields were worked out by hand from
// ISO/IEC 7816-3, and against pcsc-tools' ATR_analysis, a decoder nobody here wrote.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "card/atr_decoder.h"
#include "temp_dir.h"

namespace {

enum class Tck { None, Ok, Wrong, Missing };

struct Case {
  const char* what;
  const char* atr;
  const char* protocols;  // as the one-line summary lists them
  int fi;                 // 0: reserved value
  int di;
  Tck tck;
  AtrStop stop;
  std::size_t stopOffset;
  // Field and a part of its meaning, for the bytes the case is about.
  std::vector<std::pair<const char*, const char*>> fields;
};

// The well-formed ATRs come first; kWellFormed of them are compared with ATR_analysis.
const std::vector<Case>& Cases() {
  static const std::vector<Case> cases = {
      {"vpcd card", "3B 95 13 81 01 80 73 FF 01 00 0B", "T=1", 372, 4, Tck::Ok, AtrStop::Complete, 0,
       {{"TA1", "Fi = 372, fmax = 5 MHz, Di = 4; F/D = 93"}, {"TD1", "T=1"}, {"Category", "80"},
        {"TLV 73",
         "card capabilities: FF 01 00 (DF selection by full DF name, by partial DF name, by path, by file identifier, "
         "implicit DF selection, short EF identifier, record number, record identifier; writes: one-time write; "
         "data unit 2 quartet(s); no logical channels)"}}},
      {"simulated card, T=1 and T=15", "3B DA 18 FF 81 B1 FE 75 1F 03 00 31 C5 73 C0 01 40 00 90 00 0C", "T=1", 372,
       12, Tck::Ok, AtrStop::Complete, 0,
       {{"TC1", "N = 255"}, {"TA3", "IFSC = 254"}, {"TB3", "BWI = 7, CWI = 5"}, {"TD3", "T=15"},
        {"TA4", "clock stop not supported; classes A 5 V, B 3 V"}, {"TLV 31",
         "card service data: C5 (application selection by full DF name, by partial DF name; EF.DIR and EF.ATR read "
         "by GET DATA; card without MF)"},
        {"TLV 73",
         "card capabilities: C0 01 40 (DF selection by full DF name, by partial DF name; writes: one-time write; data "
         "unit 2 quartet(s); extended Lc and Le; no logical channels)"},
        {"Status", "life cycle 00, SW 90 00"}}},
      {"simulated memory card", "3B 02 14 50", "T=0", 372, 1, Tck::None, AtrStop::Complete, 0,
       {{"Historical", "proprietary; 14 50"}}},
      {"simulated second memory card", "3B 02 14 51", "T=0", 372, 1, Tck::None, AtrStop::Complete, 0, {}},
      {"simulated I2C card", "3B 04 49 32 43 2E", "T=0", 372, 1, Tck::None, AtrStop::Complete, 0,
       {{"Historical", "\"I2C.\""}}},
      {"simulated contactless card", "3B 8F 80 01 80 4F 0C A0 00 00 03 06 03 00 00 00 00 00 00 6B", "T=0, T=1", 372, 1,
       Tck::Ok, AtrStop::Complete, 0,
       {{"Standard", "ISO 14443 A, part 3"}, {"Card name", "00 00 (not registered)"}}},
      {"contactless MIFARE Classic 1K", "3B 8F 80 01 80 4F 0C A0 00 00 03 06 03 00 01 00 00 00 00 6A", "T=0, T=1", 372,
       1, Tck::Ok, AtrStop::Complete, 0, {{"AID", "PC/SC"}, {"Card name", "MIFARE Classic 1K"}}},
      {"contactless MIFARE Classic 4K", "3B 8F 80 01 80 4F 0C A0 00 00 03 06 03 00 02 00 00 00 00 69", "T=0, T=1", 372,
       1, Tck::Ok, AtrStop::Complete, 0, {{"Card name", "MIFARE Classic 4K"}}},
      {"contactless Ultralight", "3B 8F 80 01 80 4F 0C A0 00 00 03 06 03 00 03 00 00 00 00 68", "T=0, T=1", 372, 1,
       Tck::Ok, AtrStop::Complete, 0, {{"Card name", "MIFARE Ultralight"}}},
      {"contactless ISO 15693", "3B 8F 80 01 80 4F 0C A0 00 00 03 06 0B 00 14 00 00 00 00 77", "T=0, T=1", 372, 1,
       Tck::Ok, AtrStop::Complete, 0, {{"Standard", "ISO 15693, part 3"}, {"Card name", "I-CODE SLI"}}},
      {"contactless, unregistered name", "3B 8F 80 01 80 4F 0C A0 00 00 03 06 03 00 FF 00 00 00 00 94", "T=0, T=1", 372,
       1, Tck::Ok, AtrStop::Complete, 0, {{"Card name", "00 FF (not registered)"}}},
      {"T=0 only, TA1", "3B 12 96 41 42", "T=0", 512, 32, Tck::None, AtrStop::Complete, 0,
       {{"TA1", "Fi = 512, fmax = 5 MHz, Di = 32"}, {"Historical", "\"AB\""}}},
      {"T=0 named by TD1", "3B 80 00", "T=0", 372, 1, Tck::None, AtrStop::Complete, 0, {{"TD1", "protocol T=0"}}},
      {"no interface bytes", "3B 00", "T=0", 372, 1, Tck::None, AtrStop::Complete, 0, {{"T0", "K = 0"}}},
      {"T=0 waiting integer", "3B 80 40 0A", "T=0", 372, 1, Tck::None, AtrStop::Complete, 0, {{"TC2", "WI = 10"}}},
      {"T=1 only", "3B 81 01 55 D5", "T=1", 372, 1, Tck::Ok, AtrStop::Complete, 0, {{"TCK", "correct"}}},
      {"T=1 with CRC", "3B 80 81 71 20 45 01 14", "T=1", 372, 1, Tck::Ok, AtrStop::Complete, 0,
       {{"TA3", "IFSC = 32"}, {"TB3", "BWI = 4, CWI = 5"}, {"TC3", "CRC"}}},
      {"T=0 and T=1", "3B 90 11 80 01 00", "T=0, T=1", 372, 1, Tck::Ok, AtrStop::Complete, 0, {{"TD2", "T=1"}}},
      {"inverse convention, T=0", "3F 65 25 08 33 04 20 90 00", "T=0", 372, 1, Tck::None, AtrStop::Complete, 0,
       {{"TS", "inverse"}, {"TB1", "deprecated"}, {"TC1", "N = 8 ETU"}}},
      {"inverse convention, T=1", "3F 81 01 55 D5", "T=1", 372, 1, Tck::Ok, AtrStop::Complete, 0, {{"TS", "inverse"}}},
      {"specific mode, fixed", "3B 91 18 10 81 41", "T=0", 372, 12, Tck::None, AtrStop::Complete, 0,
       {{"TA2", "specific mode, T=1; the mode cannot be changed; parameters defined by interface bytes"}}},
      {"specific mode, implicit", "3B 80 11 11 80", "T=1", 372, 1, Tck::Ok, AtrStop::Complete, 0,
       {{"TA2", "specific mode, T=1; the mode can be changed; implicit parameters"}}},
      {"class A, B and C", "3B 80 80 1F 07 18", "T=0", 372, 1, Tck::Ok, AtrStop::Complete, 0,
       {{"TA3", "clock stop not supported; classes A 5 V, B 3 V, C 1.8 V"}}},
      {"class B, any clock stop", "3B 80 80 1F C2 DD", "T=0", 372, 1, Tck::Ok, AtrStop::Complete, 0,
       {{"TA3", "clock stop no preference; classes B 3 V"}}},
      {"T=15 without SPU", "3B 80 80 3F 03 00 3C", "T=0", 372, 1, Tck::Ok, AtrStop::Complete, 0,
       {{"TB3", "not used"}}},
      {"compact-TLV objects", "3B 8D 01 80 12 02 76 31 C0 64 AA BB CC DD 81 05 7B", "T=1", 372, 1, Tck::Ok,
       AtrStop::Complete, 0,
       {{"TLV 12", "country code: 02 76"}, {"TLV 64", "pre-issuing data: AA BB CC DD"},
        {"TLV 81", "status indicator: life cycle 05"}}},
      {"compact-TLV with application identifier", "3B 8F 01 80 22 AB CD 41 01 52 56 45 F5 A0 00 00 00 63 7D", "T=1",
       372, 1, Tck::Ok, AtrStop::Complete, 0,
       {{"TLV 22", "issuer identification: AB CD"}, {"TLV 41", "initial access data: 01"},
        {"TLV 52", "card issuer data: 56 45 \"VE\""}, {"TLV F5", "application identifier: A0 00 00 00 63"}}},
      {"category 00 with status", "3B 06 00 31 C0 00 90 00", "T=0", 372, 1, Tck::None, AtrStop::Complete, 0,
       {{"TLV 31", "card service data: C0 (application selection by full DF name, by partial DF name; EF.DIR and "
                   "EF.ATR read by READ RECORD; card with MF)"},
        {"Status", "SW 90 00"}}},
      {"card capabilities with logical channels", "3B 05 80 73 00 21 9B", "T=0", 372, 1, Tck::None, AtrStop::Complete,
       0,
       {{"TLV 73", "card capabilities: 00 21 9B (writes: proprietary; data unit 2 quartet(s); command chaining; "
                   "logical channels up to 4)"}}},
      {"DIR data reference", "3B 02 10 05", "T=0", 372, 1, Tck::None, AtrStop::Complete, 0, {{"DIR reference", "05"}}},
      {"TLV longer than the bytes", "3B 03 80 75 11", "T=0", 372, 1, Tck::None, AtrStop::Complete, 0,
       {{"TLV 75", "length 5 but only 1 byte(s) left"}}},
      {"Fi 768, Di 12", "3B 10 A8", "T=0", 768, 12, Tck::None, AtrStop::Complete, 0, {{"TA1", "fmax = 7.5 MHz"}}},
      {"reserved Fi and Di", "3B 10 7A", "T=0", 0, 0, Tck::None, AtrStop::Complete, 0,
       {{"TA1", "Fi RFU (7), Di RFU (10)"}}},
      {"wrong TCK", "3B 95 13 81 01 80 73 FF 01 00 0C", "T=1", 372, 4, Tck::Wrong, AtrStop::Complete, 0,
       {{"TCK", "wrong: 0B expected"}}},
      // Malformed: not compared with ATR_analysis.
      {"empty", "", "", 0, 0, Tck::None, AtrStop::Empty, 0, {}},
      {"no TS", "3A 95", "", 0, 0, Tck::None, AtrStop::BadTs, 0, {}},
      {"TS alone", "3B", "", 0, 0, Tck::None, AtrStop::Truncated, 1, {}},
      {"TD1 missing", "3B 95 13", "", 372, 4, Tck::None, AtrStop::Truncated, 3, {{"TA1", "Di = 4"}}},
      {"historical bytes missing", "3B 95 13 81 01 80 73", "T=1", 372, 4, Tck::Missing, AtrStop::Truncated, 7, {}},
      {"TCK missing", "3B 95 13 81 01 80 73 FF 01 00", "T=1", 372, 4, Tck::Missing, AtrStop::Truncated, 10, {}},
      {"byte after TCK", "3B 95 13 81 01 80 73 FF 01 00 0B FF", "T=1", 372, 4, Tck::Ok, AtrStop::TooLong, 11,
       {{"Extra", "after TCK"}}},
      {"TCK sent for T=0 only", "3B 02 14 50 46", "T=0", 372, 1, Tck::None, AtrStop::TooLong, 4,
       {{"Extra", "no TCK is sent"}}},
      {"34 bytes",
       "3B 80 80 80 80 80 80 80 80 80 80 80 80 80 80 80 80 80 80 80 80 80 80 80 80 80 80 80 80 80 80 80 80 00",
       "T=0", 372, 1, Tck::None, AtrStop::TooLong, 33, {{"TD32", "T=0"}}},
  };
  return cases;
}
constexpr std::size_t kWellFormed = 34;

std::vector<std::uint8_t> Bytes(const char* hex) {
  std::vector<std::uint8_t> bytes;
  std::istringstream in(hex);
  for (std::string byte; in >> byte;) bytes.push_back(static_cast<std::uint8_t>(std::stoul(byte, nullptr, 16)));
  return bytes;
}

std::string Protocols(const AtrSummary& s) {
  std::string text;
  for (int t : s.protocols) text += (text.empty() ? "T=" : ", T=") + std::to_string(t);
  return text;
}

Tck TckOf(const AtrSummary& s) {
  if (s.tckPresent) return s.tckOk ? Tck::Ok : Tck::Wrong;
  return s.tckRequired ? Tck::Missing : Tck::None;
}

}  // namespace

TEST(AtrDecoderTest, DecodesEachAtrOfTheTable) {
  ASSERT_GE(kWellFormed, 30u);
  ASSERT_EQ(Cases()[kWellFormed - 1].stop, AtrStop::Complete);
  ASSERT_NE(Cases()[kWellFormed].stop, AtrStop::Complete);
  for (const Case& c : Cases()) {
    SCOPED_TRACE(std::string(c.what) + ": " + c.atr);
    const auto input = Bytes(c.atr);
    const AtrDecoding d = DecodeAtr(input);
    const AtrSummary& s = d.summary;
    EXPECT_EQ(s.stop, c.stop) << s.stopReason;
    EXPECT_EQ(s.stopOffset, c.stopOffset);
    EXPECT_EQ(s.stopReason.empty(), c.stop == AtrStop::Complete) << s.stopReason;
    EXPECT_EQ(Protocols(s), c.protocols);
    EXPECT_EQ(s.fi.value_or(0), c.fi);
    EXPECT_EQ(s.di.value_or(0), c.di);
    EXPECT_EQ(TckOf(s), c.tck);
    // The entries give back the input byte for byte, in order, as far as it was read.
    std::vector<std::uint8_t> covered;
    for (const AtrEntry& e : d.entries) {
      EXPECT_EQ(e.offset, covered.size()) << e.field;
      covered.insert(covered.end(), e.bytes.begin(), e.bytes.end());
      for (char ch : e.meaning) EXPECT_TRUE(ch >= 0x20 && ch < 0x7F) << e.field << ": " << e.meaning;
    }
    const std::size_t read = c.stop == AtrStop::BadTs ? 1 : input.size();
    EXPECT_EQ(covered, std::vector<std::uint8_t>(input.begin(), input.begin() + static_cast<std::ptrdiff_t>(read)));
    for (const auto& [field, meaning] : c.fields) {
      const auto entry =
          std::find_if(d.entries.begin(), d.entries.end(), [&](const AtrEntry& e) { return e.field == field; });
      ASSERT_NE(entry, d.entries.end()) << field;
      EXPECT_NE(entry->meaning.find(meaning), std::string::npos) << field << ": " << entry->meaning;
    }
  }
}

TEST(AtrDecoderTest, SummaryCarriesWhatTheViewAndTheLogShow) {
  const auto sim = DecodeAtr(Bytes("3B DA 18 FF 81 B1 FE 75 1F 03 00 31 C5 73 C0 01 40 00 90 00 0C")).summary;
  EXPECT_EQ(sim.convention, AtrConvention::Direct);
  EXPECT_EQ(sim.extraGuardTime, 255);
  EXPECT_EQ(sim.ifsc, 254);
  EXPECT_EQ(sim.bwi, 7);
  EXPECT_EQ(sim.cwi, 5);
  EXPECT_EQ(sim.edc, std::nullopt);
  EXPECT_EQ(sim.clockStop, AtrClockStop::NotSupported);
  EXPECT_EQ(sim.classIndicator, 0x03);
  EXPECT_EQ(sim.voltages, "A 5 V, B 3 V");
  EXPECT_TRUE(sim.t15Indicated);
  EXPECT_EQ(sim.category, 0x00);
  EXPECT_EQ(sim.historical, Bytes("00 31 C5 73 C0 01 40 00 90 00"));

  const auto fixed = DecodeAtr(Bytes("3B 91 18 10 81 41")).summary;
  EXPECT_TRUE(fixed.ta2Present);
  EXPECT_EQ(fixed.specificProtocol, 1);
  EXPECT_FALSE(fixed.canChangeMode);
  EXPECT_FALSE(fixed.implicitParameters);
  EXPECT_TRUE(DecodeAtr(Bytes("3B 80 11 11 80")).summary.implicitParameters);
  EXPECT_EQ(DecodeAtr(Bytes("3B 80 81 71 20 45 01 14")).summary.edc, AtrEdc::Crc);
  EXPECT_EQ(DecodeAtr(Bytes("3B 80 80 1F C2 DD")).summary.clockStop, AtrClockStop::NoPreference);
  EXPECT_EQ(DecodeAtr(Bytes("3F 81 01 55 D5")).summary.convention, AtrConvention::Inverse);

  const auto card = DecodeAtr(Bytes("3B 8F 80 01 80 4F 0C A0 00 00 03 06 03 00 01 00 00 00 00 6A")).summary;
  ASSERT_TRUE(card.contactless);
  EXPECT_EQ(card.contactless->standard, 0x03);
  EXPECT_EQ(card.contactless->cardName, 0x0001);

  const struct {
    const char* atr;
    const char* line;
  } lines[] = {
      {"3B 95 13 81 01 80 73 FF 01 00 0B", "T=1; Fi=372 Di=4; TCK ok"},
      {"3B 90 11 80 01 00", "T=0, T=1; Fi=372 Di=1; TCK ok"},
      {"3B 95 13 81 01 80 73 FF 01 00 0C", "T=1; Fi=372 Di=4; TCK wrong"},
      {"3B 02 14 50", "T=0; Fi=372 Di=1; no TCK"},
      {"3B 10 7A", "T=0; Fi=RFU Di=RFU; no TCK"},
      {"3B 95 13 81 01 80 73 FF 01 00", "T=1; Fi=372 Di=4; TCK is missing: the ATR ends after 10 bytes"},
      {"3A", "not decoded: TS 3A is neither 3B nor 3F"},
  };
  for (const auto& l : lines) EXPECT_EQ(AtrOneLineSummary(DecodeAtr(Bytes(l.atr)).summary), l.line) << l.atr;
}

TEST(AtrDecoderTest, ReadsTheTextFormsOfAnAtr) {
  const std::vector<std::uint8_t> vpcd = Bytes("3B 95 13 81 01 80 73 FF 01 00 0B");
  const std::string longest = "3B0F" + std::string(31 * 2, 'A');  // 33 bytes
  std::vector<std::uint8_t> longestBytes(33, 0xAA);
  longestBytes[0] = 0x3B;
  longestBytes[1] = 0x0F;
  const struct {
    std::string text;
    std::vector<std::uint8_t> bytes;
    const char* error;
  } cases[] = {
      {"3B 95 13 81 01 80 73 FF 01 00 0B", vpcd, ""},
      {"3B:95:13:81:01:80:73:FF:01:00:0B", vpcd, ""},
      {"3B951381018073FF01000B", vpcd, ""},
      {" 3b 95 13 81 01 80 73 ff 01 00 0b\t", vpcd, ""},
      {longest, longestBytes, ""},
      {"3B9", {}, "an odd number of hex digits"},
      {"3B 9 5", {}, "\"9\" at character 4 is not one byte of two hex digits"},
      {"3B 95G1", {}, "character 6 'G' is not a hex digit"},
      {"3B-95", {}, "character 3 '-' is not a hex digit"},
      {"3B\n95", {}, "character 3 \\x0A is not a hex digit"},
      {"", {}, "no hex digits"},
      {" : ", {}, "no hex digits"},
      {longest + "AA", {}, "34 bytes: an ATR has 33 bytes at most"},
  };
  for (const auto& c : cases) {
    const AtrText parsed = ParseAtrText(c.text);
    EXPECT_EQ(parsed.bytes, c.bytes) << c.text;
    EXPECT_EQ(parsed.error, c.error) << c.text;
  }
}

namespace {

constexpr char kAtrAnalysis[] = "/usr/bin/ATR_analysis";

// ATR_analysis's output for one ATR, its colour codes removed. Run without a
// shell, with a cache holding a list fresh enough that it never downloads one.
std::string RunAtrAnalysis(const testing_support::TempDir& home, const std::string& atr) {
  int out[2];
  if (::pipe2(out, O_CLOEXEC) != 0) return "pipe failed";
  const std::string homeVar = "HOME=" + home.path().string();
  const std::string cacheVar = "XDG_CACHE_HOME=" + home.path().string();
  const pid_t pid = ::fork();
  if (pid < 0) {
    ::close(out[0]);
    ::close(out[1]);
    return "fork failed";
  }
  if (pid == 0) {
    ::dup2(out[1], STDOUT_FILENO);
    const char* argv[] = {kAtrAnalysis, atr.c_str(), nullptr};
    const char* envp[] = {"PATH=/usr/bin:/bin", "LANG=C", homeVar.c_str(), cacheVar.c_str(), nullptr};
    ::execve(kAtrAnalysis, const_cast<char* const*>(argv), const_cast<char* const*>(envp));
    ::_exit(127);
  }
  ::close(out[1]);
  std::string text;
  char buffer[4096];
  for (ssize_t n; (n = ::read(out[0], buffer, sizeof buffer)) > 0 && text.size() < (1 << 20);) text.append(buffer, n);
  ::close(out[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  return std::regex_replace(text, std::regex("\x1b\\[[0-9;]*m"), "");
}

}  // namespace

// Known differences, not compared: ATR_analysis lists T=15 among the
// protocols and names none when TD1 is absent (ISO/IEC 7816-3 then means
// T=0), and prints no Fi/Di without TA1 (the defaults 372 and 1 apply).
// It also reads a byte after the historical bytes of a T=0-only ATR as its
// TCK, where this decoder names a byte too many; such ATRs are not compared.
TEST(AtrDecoderTest, AgreesWithAtrAnalysisOnProtocolsFiDiAndTck) {
  if (::access(kAtrAnalysis, X_OK) != 0) {
    if (std::getenv("CI")) FAIL() << kAtrAnalysis << " is missing: scripts/setup installs pcsc-tools";
    GTEST_SKIP() << kAtrAnalysis << " is missing (pcsc-tools is not installed)";
  }
  testing_support::TempDir home;
  {
    std::ifstream list("/usr/share/pcsc/smartcard_list.txt", std::ios::binary);
    std::ostringstream text;
    text << list.rdbuf();
    ASSERT_FALSE(text.str().empty()) << "/usr/share/pcsc/smartcard_list.txt is missing or empty";
    home.Write("smartcard_list.txt", text.str());
  }
  const std::regex protocol(R"(TD\(\d+\) = [0-9A-F]{2} --> .*Protocol T = (\d+))");
  const std::regex rates(R"(TA\(1\) = [0-9A-F]{2} --> Fi=(\d+|RFU), Di=(\d+|RFU))");
  for (std::size_t i = 0; i < kWellFormed; ++i) {
    const Case& c = Cases()[i];
    SCOPED_TRACE(std::string(c.what) + ": " + c.atr);
    const AtrSummary s = DecodeAtr(Bytes(c.atr)).summary;
    ASSERT_EQ(s.stop, AtrStop::Complete);
    const std::string output = RunAtrAnalysis(home, c.atr);
    ASSERT_NE(output.find("+ TS = "), std::string::npos) << output;
    EXPECT_EQ(output.find("Updating"), std::string::npos) << "ATR_analysis reached for the network:\n" << output;

    std::set<int> theirs;
    for (std::sregex_iterator m(output.begin(), output.end(), protocol), end; m != end; ++m) {
      if (const int t = std::stoi((*m)[1]); t != 15) theirs.insert(t);
    }
    const std::set<int> ours =
        s.protocolImplicit ? std::set<int>{} : std::set<int>(s.protocols.begin(), s.protocols.end());
    EXPECT_EQ(theirs, ours) << output;

    std::smatch m;
    if (s.ta1) {
      ASSERT_TRUE(std::regex_search(output, m, rates)) << output;
      EXPECT_EQ(m[1].str(), s.fi ? std::to_string(*s.fi) : "RFU") << output;
      EXPECT_EQ(m[2].str(), s.di ? std::to_string(*s.di) : "RFU") << output;
    }
    const bool correct = output.find("(correct checksum)") != std::string::npos;
    const bool wrong = output.find("WRONG CHECKSUM") != std::string::npos;
    EXPECT_EQ(correct, s.tckPresent && s.tckOk) << output;
    EXPECT_EQ(wrong, s.tckPresent && !s.tckOk) << output;
  }
}
