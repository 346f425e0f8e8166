#include "card/atr_decoder.h"

#include <algorithm>
#include <array>
#include <cstdio>

#include "card/byte_buffer.h"

namespace {

// Clock rate conversion integer Fi with the largest clock it allows, and the
// baud rate adjustment integer Di; 0 marks a value reserved for future use.
struct FiEntry {
  int fi;
  double fmaxMHz;
};
constexpr std::array<FiEntry, 16> kFi = {{{372, 4},
                                          {372, 5},
                                          {558, 6},
                                          {744, 8},
                                          {1116, 12},
                                          {1488, 16},
                                          {1860, 20},
                                          {0, 0},
                                          {0, 0},
                                          {512, 5},
                                          {768, 7.5},
                                          {1024, 10},
                                          {1536, 15},
                                          {2048, 20},
                                          {0, 0},
                                          {0, 0}}};
constexpr std::array<int, 16> kDi = {0, 1, 2, 4, 8, 16, 32, 64, 12, 20, 0, 0, 0, 0, 0, 0};

constexpr std::array<std::string_view, 4> kClockStop = {"not supported", "state L", "state H", "no preference"};
constexpr std::array<std::string_view, 3> kClasses = {"A 5 V", "B 3 V", "C 1.8 V"};

// The registered application provider of PC/SC's contactless ATRs.
constexpr std::array<std::uint8_t, 8> kPcscPrefix = {0x80, 0x4F, 0x0C, 0xA0, 0x00, 0x00, 0x03, 0x06};

std::string Hex(std::span<const std::uint8_t> bytes) { return HexText(bytes); }
std::string Hex(std::uint8_t byte) { return Hex(std::span(&byte, 1)); }

std::string Number(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%g", value);
  return text;
}

std::string Printable(std::span<const std::uint8_t> bytes) {
  std::string text;
  for (std::uint8_t byte : bytes) text += (byte >= 0x20 && byte < 0x7F) ? static_cast<char>(byte) : '.';
  return text;
}

std::string ProtocolNote(int protocol) {
  if (protocol == 14) return " (not standardised by ISO)";
  return protocol > 1 ? " (RFU)" : "";
}

// Set bits of a byte named by a table from bit 8 down; empty names are skipped.
std::string SetBits(std::uint8_t value, const std::array<std::string_view, 8>& names) {
  std::string text;
  for (int bit = 7; bit >= 0; --bit) {
    const std::string_view name = names[static_cast<std::size_t>(7 - bit)];
    if (!(value & (1 << bit)) || name.empty()) continue;
    if (!text.empty()) text += ", ";
    text += name;
  }
  return text;
}

std::string ServiceData(std::uint8_t value) {
  std::string text = SetBits(value, {"application selection by full DF name", "by partial DF name",
                                     "BER-TLV data objects in EF.DIR", "in EF.ATR", "", "", "", ""});
  static constexpr std::array<std::string_view, 8> kAccess = {"READ RECORD", "RFU", "GET DATA", "RFU",
                                                              "READ BINARY", "RFU", "RFU", "RFU"};
  text += (text.empty() ? "" : "; ") + std::string("EF.DIR and EF.ATR read by ") + std::string(kAccess[(value >> 1) & 7]);
  return text + (value & 1 ? "; card without MF" : "; card with MF");
}

// Selection methods, data coding and, when present, chaining and logical channels.
std::string Capabilities(std::span<const std::uint8_t> value) {
  std::string text = SetBits(value[0], {"DF selection by full DF name", "by partial DF name", "by path",
                                        "by file identifier", "implicit DF selection", "short EF identifier",
                                        "record number", "record identifier"});
  if (value.size() >= 2) {
    static constexpr std::array<std::string_view, 4> kWrite = {"one-time write", "proprietary", "write OR",
                                                               "write AND"};
    text += std::string(text.empty() ? "" : "; ") + (value[1] & 0x80 ? "EFs of TLV structure; " : "") +
            "writes: " + std::string(kWrite[(value[1] >> 5) & 3]) + "; data unit " +
            std::to_string(1 << (value[1] & 0x0F)) + " quartet(s)";
  }
  if (value.size() >= 3) {
    const std::string flags = SetBits(value[2], {"command chaining", "extended Lc and Le", "", "", "", "", "", ""});
    if (!flags.empty()) text += "; " + flags;
    const int channels = value[2] & 7;
    text += (value[2] & 0x18) ? "; logical channels up to " + (channels == 7 ? std::string("8 or more")
                                                                            : std::to_string(channels + 1))
                              : std::string("; no logical channels");
  }
  return text;
}

class CDecoder {
 public:
  explicit CDecoder(std::span<const std::uint8_t> atr) : m_atr(atr) {}

  AtrDecoding Run() {
    AtrSummary& s = m_out.summary;
    if (m_atr.empty()) return Stop(AtrStop::Empty, "the ATR is empty");
    const std::uint8_t ts = m_atr[0];
    if (ts == 0x3B) {
      s.convention = AtrConvention::Direct;
      Add(0, 1, "TS", "direct convention");
    } else if (ts == 0x3F) {
      s.convention = AtrConvention::Inverse;
      Add(0, 1, "TS", "inverse convention");
    } else {
      Add(0, 1, "TS", "not an initial character: neither 3B (direct) nor 3F (inverse convention)");
      return Stop(AtrStop::BadTs, "TS " + Hex(ts) + " is neither 3B nor 3F", 0);
    }
    m_pos = 1;
    if (!Need("T0")) return Finish();
    const std::uint8_t t0 = m_atr[m_pos];
    s.historicalAnnounced = t0 & 0x0F;
    Add(m_pos, 1, "T0",
        "Y1 = " + Bits(t0 >> 4) + " (" + Announced(t0 >> 4, 1) + "), K = " + std::to_string(t0 & 0x0F) +
            " historical bytes");
    ++m_pos;
    if (!InterfaceBytes(t0 >> 4)) return Finish();
    if (s.protocols.empty()) {
      s.protocols.push_back(0);
      s.protocolImplicit = true;
    }
    if (!s.ta1) {  // no TA1: the defaults
      s.fi = 372;
      s.di = 1;
      s.fmaxMHz = 5;
    }
    // Only an ATR that offers T=0 alone leaves TCK out.
    s.tckRequired = s.t15Indicated || s.protocols.size() > 1 || s.protocols[0] != 0;
    if (!Historical()) return Finish();
    if (s.tckRequired) {
      if (!Need("TCK")) return Finish();
      s.tckPresent = true;
      std::uint8_t check = 0;
      for (std::size_t i = 1; i <= m_pos; ++i) check ^= m_atr[i];
      s.tckOk = check == 0;
      std::uint8_t expected = m_atr[m_pos] ^ check;
      Add(m_pos, 1, "TCK", s.tckOk ? "check byte, correct" : "check byte, wrong: " + Hex(expected) + " expected");
      ++m_pos;
    }
    if (m_pos < m_atr.size()) {
      Add(m_pos, m_atr.size() - m_pos, "Extra",
          s.tckRequired ? "bytes after TCK"
                        : "bytes after the historical bytes (no TCK is sent when only T=0 is offered)");
      return Stop(AtrStop::TooLong, std::to_string(m_atr.size() - m_pos) + " byte(s) past the end of the ATR", m_pos);
    }
    if (m_atr.size() > kMaxAtrLength)
      return Stop(AtrStop::TooLong, "the ATR has " + std::to_string(m_atr.size()) + " bytes, more than the 33 allowed",
                  kMaxAtrLength);
    return Finish();
  }

 private:
  static std::string Bits(int nibble) {
    std::string text;
    for (int bit = 3; bit >= 0; --bit) text += (nibble >> bit) & 1 ? '1' : '0';
    return text;
  }
  static std::string Announced(int y, int group) {
    std::string text;
    const char* names[] = {"TA", "TB", "TC", "TD"};
    for (int bit = 0; bit < 4; ++bit) {
      if (!(y & (1 << bit))) continue;
      if (!text.empty()) text += ' ';
      text += names[bit] + std::to_string(group);
    }
    return text.empty() ? "no interface bytes" : text;
  }

  void Add(std::size_t offset, std::size_t count, std::string field, std::string meaning) {
    AtrEntry entry;
    entry.offset = offset;
    entry.bytes.assign(m_atr.begin() + static_cast<std::ptrdiff_t>(offset),
                       m_atr.begin() + static_cast<std::ptrdiff_t>(offset + count));
    entry.field = std::move(field);
    entry.meaning = std::move(meaning);
    m_out.entries.push_back(std::move(entry));
  }

  // Whether the byte at m_pos is there; else decoding stops as truncated.
  bool Need(const std::string& field) {
    if (m_pos < m_atr.size()) return true;
    Stop(AtrStop::Truncated, field + " is missing: the ATR ends after " + std::to_string(m_atr.size()) + " bytes",
         m_pos);
    return false;
  }

  AtrDecoding Stop(AtrStop why, std::string reason, std::size_t offset = 0) {
    m_out.summary.stop = why;
    m_out.summary.stopReason = std::move(reason);
    m_out.summary.stopOffset = offset;
    return Finish();
  }
  AtrDecoding Finish() { return m_out; }

  bool InterfaceBytes(int y) {
    AtrSummary& s = m_out.summary;
    int protocol = -1;  // the T of the TD before this group; -1 for group 1
    for (int group = 1; y != 0; ++group) {
      for (int bit = 0; bit < 3; ++bit) {
        if (!(y & (1 << bit))) continue;
        const std::string field = std::string(1, "ABC"[bit]) + std::to_string(group);
        if (!Need("T" + field)) return false;
        const std::uint8_t value = m_atr[m_pos];
        Add(m_pos, 1, "T" + field, Meaning(bit, group, protocol, value));
        ++m_pos;
      }
      if (!(y & 0x8)) break;
      const std::string field = "TD" + std::to_string(group);
      if (!Need(field)) return false;
      const std::uint8_t td = m_atr[m_pos];
      protocol = td & 0x0F;
      if (protocol == 15) {
        s.t15Indicated = true;
      } else if (std::find(s.protocols.begin(), s.protocols.end(), protocol) == s.protocols.end()) {
        s.protocols.push_back(protocol);
      }
      y = td >> 4;
      Add(m_pos, 1, field,
          (protocol == 15 ? std::string("T=15, global interface bytes follow")
                          : "protocol T=" + std::to_string(protocol) + ProtocolNote(protocol)) +
              "; Y" + std::to_string(group + 1) + " = " + Bits(y) + " (" + Announced(y, group + 1) + ")");
      ++m_pos;
    }
    return true;
  }

  // bit: 0 TA, 1 TB, 2 TC; protocol: of the TD before the group (-1 for group 1).
  std::string Meaning(int bit, int group, int protocol, std::uint8_t value) {
    AtrSummary& s = m_out.summary;
    if (group == 1) {
      if (bit == 0) {
        s.ta1 = value;
        const FiEntry& f = kFi[value >> 4];
        const int di = kDi[value & 0x0F];
        std::string text = f.fi ? "Fi = " + std::to_string(f.fi) + ", fmax = " + Number(f.fmaxMHz) + " MHz"
                                : "Fi RFU (" + std::to_string(value >> 4) + ")";
        text += di ? ", Di = " + std::to_string(di) : ", Di RFU (" + std::to_string(value & 0x0F) + ")";
        if (f.fi) {
          s.fi = f.fi;
          s.fmaxMHz = f.fmaxMHz;
        }
        if (di) s.di = di;
        if (f.fi && di) text += "; F/D = " + Number(static_cast<double>(f.fi) / di) + " clock cycles per ETU";
        if (!f.fi) s.fi.reset();
        return text;
      }
      if (bit == 1) return "programming voltage (VPP), deprecated; " + std::string(value ? "VPP announced" : "no VPP");
      s.extraGuardTime = value;
      return value == 255 ? "extra guard time N = 255: minimum character guard time (12 ETU for T=0, 11 for T=1)"
                          : "extra guard time N = " + std::to_string(value) + " ETU";
    }
    if (group == 2) {
      if (bit == 0) {
        s.ta2Present = true;
        s.specificProtocol = value & 0x0F;
        s.canChangeMode = !(value & 0x80);
        s.implicitParameters = value & 0x10;
        return "specific mode, T=" + std::to_string(value & 0x0F) + "; " +
               (value & 0x80 ? "the mode cannot be changed" : "the mode can be changed") + "; " +
               (value & 0x10 ? "implicit parameters" : "parameters defined by interface bytes");
      }
      if (bit == 1) return "programming voltage PI2 (VPP), deprecated";
      if (protocol == 0) {
        s.waitingInteger = value;
        return "T=0 waiting integer WI = " + std::to_string(value);
      }
      return "RFU: TC2 is defined for T=0 only";
    }
    if (protocol == 1) {
      if (bit == 0 && !s.ifsc) {
        s.ifsc = value;
        return "IFSC = " + std::to_string(value) + (value == 0 || value == 255 ? " (RFU)" : "");
      }
      if (bit == 1 && !s.bwi) {
        s.bwi = value >> 4;
        s.cwi = value & 0x0F;
        return "BWI = " + std::to_string(value >> 4) + ", CWI = " + std::to_string(value & 0x0F);
      }
      if (bit == 2 && !s.edc) {
        s.edc = value & 1 ? AtrEdc::Crc : AtrEdc::Lrc;
        return value & 1 ? "error detection code: CRC" : "error detection code: LRC";
      }
      return "further byte for T=1";
    }
    if (protocol == 15) {
      if (bit == 0 && !s.clockStop) {
        s.clockStop = static_cast<AtrClockStop>(value >> 6);
        s.classIndicator = value & 0x3F;
        for (int c = 0; c < 3; ++c) {
          if (!(value & (1 << c))) continue;
          if (!s.voltages.empty()) s.voltages += ", ";
          s.voltages += kClasses[c];
        }
        std::string text = "clock stop " + std::string(kClockStop[value >> 6]) + "; classes ";
        text += s.voltages.empty() ? "none" : s.voltages;
        if (value & 0x38) text += " (RFU bits set)";
        return text;
      }
      if (bit == 1 && !s.spu) {
        s.spu = value;
        if (value == 0) return "standard or proprietary use contact (C6) not used";
        return value & 0x80 ? "C6 for proprietary use" : "C6 for standard use";
      }
      return "further global byte";
    }
    return "specific to T=" + std::to_string(protocol);
  }

  // The historical bytes present, up to K; false when some are missing.
  bool Historical() {
    AtrSummary& s = m_out.summary;
    s.historicalOffset = m_pos;
    const std::size_t present = std::min(s.historicalAnnounced, m_atr.size() - m_pos);
    const auto bytes = m_atr.subspan(m_pos, present);
    s.historical.assign(bytes.begin(), bytes.end());
    if (present > 0) DecodeHistorical(bytes);
    m_pos += present;
    if (present < s.historicalAnnounced) {
      Stop(AtrStop::Truncated,
           std::to_string(s.historicalAnnounced - present) + " of " + std::to_string(s.historicalAnnounced) +
               " historical bytes missing",
           m_pos);
      return false;
    }
    return true;
  }

  void DecodeHistorical(std::span<const std::uint8_t> h) {
    AtrSummary& s = m_out.summary;
    const std::size_t base = s.historicalOffset;
    s.category = h[0];
    if (h.size() == 15 && std::equal(kPcscPrefix.begin(), kPcscPrefix.end(), h.begin())) {
      AtrContactless c;
      c.standard = h[8];
      c.cardName = static_cast<std::uint16_t>(h[9] << 8 | h[10]);
      const auto standard = ContactlessStandardName(c.standard);
      const auto name = ContactlessCardName(c.cardName);
      c.standardName = standard.empty() ? Hex(c.standard) + " (not registered)" : std::string(standard);
      c.cardNameText = name.empty() ? Hex(h.subspan(9, 2)) + " (not registered)" : std::string(name);
      Add(base, 1, "Category", "80: compact-TLV objects");
      Add(base + 1, 7, "AID", "application identifier presence: RID A0 00 00 03 06 (PC/SC contactless storage card)");
      Add(base + 8, 1, "Standard", c.standardName);
      Add(base + 9, 2, "Card name", c.cardNameText);
      Add(base + 11, 4, "RFU", "reserved");
      s.contactless = std::move(c);
      return;
    }
    switch (h[0]) {
      case 0x00:
        Add(base, 1, "Category", "00: compact-TLV objects, then a status indicator in the last three bytes");
        if (h.size() < 4) {
          Add(base + 1, h.size() - 1, "Status", "too short: three status bytes expected");
          return;
        }
        Tlv(h.subspan(1, h.size() - 4), base + 1);
        Add(base + h.size() - 3, 3, "Status",
            "life cycle " + Hex(h[h.size() - 3]) + ", SW " + Hex(h.subspan(h.size() - 2)));
        return;
      case 0x10:
        Add(base, 1, "Category", "10: DIR data reference follows");
        if (h.size() > 1) Add(base + 1, h.size() - 1, "DIR reference", Hex(h.subspan(1)));
        return;
      case 0x80:
        Add(base, 1, "Category", "80: compact-TLV objects");
        Tlv(h.subspan(1), base + 1);
        return;
      default:
        Add(base, h.size(), "Historical",
            (h[0] >= 0x81 && h[0] <= 0x8F ? "RFU category; " : "proprietary; ") + Hex(h) + " \"" + Printable(h) + "\"");
    }
  }

  void Tlv(std::span<const std::uint8_t> data, std::size_t base) {
    static constexpr std::array<std::string_view, 16> kTags = {
        "",  // RFU
        "country code", "issuer identification", "card service data", "initial access data", "card issuer data",
        "pre-issuing data", "card capabilities", "status indicator", "", "", "", "", "", "",
        "application identifier"};
    std::size_t i = 0;
    while (i < data.size()) {
      const int tag = data[i] >> 4;
      const std::size_t length = data[i] & 0x0F;
      const std::size_t available = data.size() - i - 1;
      const std::string_view known = kTags[static_cast<std::size_t>(tag)];
      const std::string name = known.empty() ? "RFU tag" : std::string(known);
      if (length > available) {
        Add(base + i, data.size() - i, "TLV " + Hex(data[i]),
            name + ": length " + std::to_string(length) + " but only " + std::to_string(available) + " byte(s) left");
        return;
      }
      const auto value = data.subspan(i + 1, length);
      std::string meaning = name + ": " + (value.empty() ? "empty" : Hex(value));
      if (tag == 8 && length == 3) meaning = name + ": life cycle " + Hex(value[0]) + ", SW " + Hex(value.subspan(1));
      if (tag == 8 && length == 2) meaning = name + ": SW " + Hex(value);
      if (tag == 8 && length == 1) meaning = name + ": life cycle " + Hex(value[0]);
      if ((tag == 1 || tag == 2 || tag == 5 || tag == 6) && !value.empty()) meaning += " \"" + Printable(value) + "\"";
      if (tag == 3 && length == 1) meaning += " (" + ServiceData(value[0]) + ")";
      if (tag == 7 && length >= 1) meaning += " (" + Capabilities(value) + ")";
      Add(base + i, length + 1, "TLV " + Hex(data[i]), meaning);
      i += length + 1;
    }
  }

  std::span<const std::uint8_t> m_atr;
  std::size_t m_pos = 0;
  AtrDecoding m_out;
};

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string Shown(char c) {
  const auto byte = static_cast<unsigned char>(c);
  if (byte >= 0x20 && byte < 0x7F) return std::string("'") + c + "'";
  char text[8];
  std::snprintf(text, sizeof text, "\\x%02X", byte);
  return text;
}

bool IsSeparator(char c) { return c == ' ' || c == '\t' || c == ':'; }

}  // namespace

AtrDecoding DecodeAtr(std::span<const std::uint8_t> atr) { return CDecoder(atr).Run(); }

std::string AtrOneLineSummary(const AtrSummary& s) {
  if (s.stop == AtrStop::Empty || s.stop == AtrStop::BadTs) return "not decoded: " + s.stopReason;
  std::string line;
  for (int protocol : s.protocols) line += (line.empty() ? "T=" : ", T=") + std::to_string(protocol);
  if (line.empty()) line = "protocols unknown";
  line += "; Fi=" + (s.fi ? std::to_string(*s.fi) : std::string("RFU"));
  line += " Di=" + (s.di ? std::to_string(*s.di) : std::string("RFU"));
  if (s.tckPresent)
    line += s.tckOk ? "; TCK ok" : "; TCK wrong";
  else if (s.stop != AtrStop::Truncated)
    line += "; no TCK";
  if (s.stop != AtrStop::Complete) line += "; " + s.stopReason;
  return line;
}

AtrText ParseAtrText(std::string_view text) {
  AtrText result;
  const auto fail = [&](std::string why) {
    result.bytes.clear();
    result.error = std::move(why);
    return result;
  };
  std::vector<std::size_t> starts;  // of each group of digits
  std::vector<std::size_t> lengths;
  for (std::size_t i = 0; i < text.size();) {
    if (IsSeparator(text[i])) {
      ++i;
      continue;
    }
    const std::size_t start = i;
    while (i < text.size() && !IsSeparator(text[i])) {
      if (HexDigit(text[i]) < 0)
        return fail("character " + std::to_string(i + 1) + " " + Shown(text[i]) + " is not a hex digit");
      ++i;
    }
    starts.push_back(start);
    lengths.push_back(i - start);
  }
  if (starts.empty()) return fail("no hex digits");
  for (std::size_t g = 0; g < starts.size(); ++g) {
    if (starts.size() > 1 && lengths[g] != 2)
      return fail("\"" + std::string(text.substr(starts[g], lengths[g])) + "\" at character " +
                  std::to_string(starts[g] + 1) + " is not one byte of two hex digits");
    if (lengths[g] % 2) return fail("an odd number of hex digits");
    for (std::size_t d = 0; d < lengths[g]; d += 2)
      result.bytes.push_back(static_cast<std::uint8_t>(HexDigit(text[starts[g] + d]) << 4 |
                                                       HexDigit(text[starts[g] + d + 1])));
  }
  if (result.bytes.size() > kMaxAtrLength)
    return fail(std::to_string(result.bytes.size()) + " bytes: an ATR has 33 bytes at most");
  return result;
}
