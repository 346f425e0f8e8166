#include "card/atr_breakdown.h"

#include <algorithm>
#include <cstdio>

#include "card/byte_buffer.h"

namespace {

std::string Padded(std::string text, std::size_t width) {
  if (text.size() < width) text.append(width - text.size(), ' ');
  return text;
}

std::string Ta1Byte(std::uint8_t value) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%02X", value);
  return text;
}

// "T=0" or "T=1" as a page shows the protocol in use; others are not compared.
std::optional<int> DriverProtocol(const std::string& text) {
  if (text == "T=0") return 0;
  if (text == "T=1") return 1;
  return std::nullopt;
}

// "0x13" as a page shows TA1 in use.
std::optional<unsigned> DriverTa1(const std::string& text) {
  unsigned value = 0;
  char rest = 0;
  if (text.size() != 4 || std::sscanf(text.c_str(), "0x%2X%c", &value, &rest) != 1) return std::nullopt;
  return value;
}

}  // namespace

std::string AtrEntryLine(const AtrEntry& entry) {
  char offset[8];
  std::snprintf(offset, sizeof offset, "%3zu", entry.offset);
  return std::string(offset) + "  " + Padded(HexText(entry.bytes), 12) + "  " + Padded(entry.field, 12) + "  " +
         entry.meaning;
}

std::string AtrProtocolsOffered(const AtrSummary& s) {
  std::string text;
  for (int protocol : s.protocols) text += (text.empty() ? "T=" : ", T=") + std::to_string(protocol);
  if (text.empty()) return "none read";
  if (s.protocolImplicit) text += " (by default: no TD1)";
  if (s.t15Indicated) text += "; T=15 global bytes";
  return text;
}

std::string AtrTa1Text(const AtrSummary& s) {
  std::string text = s.ta1 ? Ta1Byte(*s.ta1) + ": " : std::string("absent: by default ");
  text += "Fi = " + (s.fi ? std::to_string(*s.fi) : std::string("RFU"));
  text += ", Di = " + (s.di ? std::to_string(*s.di) : std::string("RFU"));
  if (s.fmaxMHz) {
    char clock[32];
    std::snprintf(clock, sizeof clock, ", f max = %g MHz", *s.fmaxMHz);
    text += clock;
  }
  return text;
}

std::vector<std::string> AtrSummaryLines(const AtrSummary& s) {
  std::vector<std::string> lines{"Summary: " + AtrOneLineSummary(s)};
  if (s.stop == AtrStop::Empty || s.stop == AtrStop::BadTs) return lines;
  lines.push_back(std::string("Convention: ") + (s.convention == AtrConvention::Inverse ? "inverse" : "direct"));
  lines.push_back("Protocols offered: " + AtrProtocolsOffered(s));
  lines.push_back("TA1: " + AtrTa1Text(s));
  std::string historical = "Historical bytes: " + (s.historical.empty() ? std::string("none") : HexText(s.historical));
  if (s.historical.size() < s.historicalAnnounced) {
    historical += " (" + std::to_string(s.historical.size()) + " of " + std::to_string(s.historicalAnnounced) + ")";
  }
  lines.push_back(std::move(historical));
  lines.push_back(s.stop == AtrStop::Complete
                      ? std::string("Decoded: complete")
                      : "Decoding stopped at byte " + std::to_string(s.stopOffset) + ": " + s.stopReason);
  return lines;
}

std::vector<std::string> CompareWithDriver(const AtrSummary& s, const AtrDriverValues& driver) {
  std::vector<std::string> differences;
  bool compared = false;
  if (const auto inUse = DriverProtocol(driver.protocolInUse)) {
    compared = true;
    if (std::find(s.protocols.begin(), s.protocols.end(), *inUse) == s.protocols.end()) {
      differences.push_back("The protocol in use, " + driver.protocolInUse + ", is not among those the ATR offers (" +
                            AtrProtocolsOffered(s) + ").");
    }
  }
  // 0xFF is the driver's mark of a contactless card, not a rate.
  if (const auto ta1 = driver.ta1InUse ? DriverTa1(*driver.ta1InUse) : std::nullopt; ta1 && *ta1 != 0xFF) {
    compared = true;
    const unsigned atrTa1 = s.ta1.value_or(0x11);  // Fi = 372, Di = 1 without TA1
    if (*ta1 != atrTa1) {
      differences.push_back("TA1 in use, " + *driver.ta1InUse + ", differs from the ATR's " +
                            (s.ta1 ? Ta1Byte(*s.ta1) : std::string("default 0x11 (no TA1)")) + ".");
    }
  }
  if (!compared) return {"Nothing to compare: the driver reports neither T=0 nor T=1 in use, nor a TA1 value."};
  if (differences.empty()) return {"The driver's values agree with the ATR."};
  return differences;
}
