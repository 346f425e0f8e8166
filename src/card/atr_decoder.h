#pragma once
// A decoder of ISO/IEC 7816-3 answers to reset: every byte with its meaning
// in plain text, and the facts support compares with what a driver reports
// (protocols offered, Fi/Di, TCK). Plain C++ without Qt, so the window, the
// command line and the log share one reading. A malformed ATR is decoded as
// far as it goes and says where and why it stops; no byte past the input is
// ever read.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// The longest ATR ISO/IEC 7816-3 allows, TS included.
inline constexpr std::size_t kMaxAtrLength = 33;

// One byte, or a run of bytes read together, of the ATR.
struct AtrEntry {
  std::size_t offset = 0;           // of the first byte, TS being 0
  std::vector<std::uint8_t> bytes;  // as read
  std::string field;                // "TS", "TA1", "Historical", "TCK", ...
  std::string meaning;              // plain text, no control characters
};

enum class AtrConvention { Unknown, Direct, Inverse };

// Why decoding ended.
enum class AtrStop {
  Complete,   // every byte announced was there, nothing more
  Empty,      // no byte at all
  BadTs,      // TS is neither 3B nor 3F
  Truncated,  // a byte announced by T0, a TD byte or the TCK rule is missing
  TooLong,    // bytes after the last announced one, or more than kMaxAtrLength
};

enum class AtrClockStop { NotSupported, StateL, StateH, NoPreference };
enum class AtrEdc { Lrc, Crc };

// A card name and standard from the ATR PC/SC builds for contactless memory cards.
struct AtrContactless {
  std::uint8_t standard = 0;
  std::string standardName;  // "ISO 14443 A, part 3"; hex when unregistered
  std::uint16_t cardName = 0;
  std::string cardNameText;  // "MIFARE Classic 1K"; hex when unregistered
};

struct AtrSummary {
  AtrConvention convention = AtrConvention::Unknown;
  // Protocols offered by TD bytes, in order of first mention, without T=15
  // (which only qualifies global bytes); {0} when TD1 is absent.
  std::vector<int> protocols;
  bool protocolImplicit = false;  // T=0 by default, no TD1
  bool t15Indicated = false;

  std::optional<std::uint8_t> ta1;
  // From TA1, or the defaults Fi=372, Di=1 without it; unset when RFU.
  std::optional<int> fi;
  std::optional<int> di;
  std::optional<double> fmaxMHz;
  std::optional<int> extraGuardTime;  // TC1
  std::optional<int> waitingInteger;  // TC2 for T=0

  bool ta2Present = false;  // specific mode
  int specificProtocol = 0;
  bool canChangeMode = false;       // TA2 bit 8 clear
  bool implicitParameters = false;  // TA2 bit 5 set

  std::optional<int> ifsc;  // T=1
  std::optional<int> bwi;
  std::optional<int> cwi;
  std::optional<AtrEdc> edc;

  std::optional<AtrClockStop> clockStop;  // T=15
  std::optional<std::uint8_t> classIndicator;
  std::string voltages;  // "A 5 V, B 3 V"
  std::optional<std::uint8_t> spu;

  std::size_t historicalOffset = 0;
  std::vector<std::uint8_t> historical;  // those present, up to K
  std::size_t historicalAnnounced = 0;   // K
  std::optional<std::uint8_t> category;
  std::optional<AtrContactless> contactless;

  bool tckRequired = false;
  bool tckPresent = false;
  bool tckOk = false;

  AtrStop stop = AtrStop::Complete;
  std::size_t stopOffset = 0;  // the first byte missing or not expected
  std::string stopReason;      // empty when Complete
};

struct AtrDecoding {
  std::vector<AtrEntry> entries;
  AtrSummary summary;
};

AtrDecoding DecodeAtr(std::span<const std::uint8_t> atr);

// One line for the log: "T=0, T=1; Fi=372 Di=1; TCK ok".
std::string AtrOneLineSummary(const AtrSummary& summary);

// An ATR typed by a user: hex bytes separated by spaces or colons, or hex
// digits without separators; upper or lower case. `error` says what was
// refused and where; `bytes` is then empty.
struct AtrText {
  std::vector<std::uint8_t> bytes;
  std::string error;
};
AtrText ParseAtrText(std::string_view text);

// The registered names of PC/SC's contactless storage cards; empty when the
// value is not registered.
std::string_view ContactlessStandardName(std::uint8_t standard);
std::string_view ContactlessCardName(std::uint16_t name);
