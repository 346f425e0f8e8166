#include "card/reader_models.h"

#include "platform/text.h"

// Columns: name, 1..5, page kind.
const std::array<ReaderModel, kReaderModelCount> g_readerModels = {{
    // Contact readers.
    {"VELKARO CT 100", 0, 0, 0, 0, 0, 0},
    {"VELKARO CT 110", 0, 0, 0, 0, 0, 0},
    {"VELKARO CT 120 Serial", 0, 0, 0, 0, 0, 0},
    {"VELKARO CT 130 PCMCIA", 0, 0, 0, 0, 0, 0},
    {"VELKARO Keyboard K10", 0, 0, 0, 0, 0, 0},
    {"VELKARO Keyboard K20", 0, 0, 0, 0, 0, 0},
    {"VELKARO CT 200", 1, 0, 0, 0, 0, 0},
    {"VELKARO CT 210", 1, 0, 0, 0, 0, 0},
    {"VELKARO CT 220", 1, 0, 0, 0, 0, 0},
    {"VELKARO CT 230 Compact", 1, 0, 0, 0, 0, 0},
    {"VELKARO CT 300 Pinpad", 1, 0, 0, 0, 0, 0},
    {"VELKARO CT 310 Pinpad", 1, 0, 0, 0, 0, 0},
    {"VELKARO CT 400 Terminal", 1, 0, 0, 0, 0, 0},
    {"VELKARO CT 410 Terminal", 1, 0, 0, 0, 0, 0},
    {"VELKARO Mobile M1", 1, 0, 0, 0, 0, 0},
    {"VELKARO Mobile M2", 1, 0, 0, 0, 0, 0},
    {"VELKARO Token T1", 1, 0, 0, 0, 0, 0},
    {"VELKARO Expresscard E1", 1, 0, 0, 0, 0, 0},
    {"VELKARO CT 900 Secure", 0, 0, 0, 0, 1, 0},
    {"VELKARO CT 950 Biometric", 1, 1, 1, 0, 0, 0},
    // Dual-interface readers (contact and contactless).
    {"VELKARO CL 3700", 1, 0, 0, 1, 1, 0},
    {"VELKARO CL 3710", 1, 0, 0, 1, 1, 0},
    {"VELKARO CL 3720", 1, 0, 0, 1, 1, 0},
    {"VELKARO CL 3800", 1, 0, 0, 1, 1, 0},
    {"VELKARO CL 3810", 1, 0, 0, 1, 1, 0},
    {"VELKARO CL 5300 Dual", 1, 0, 0, 1, 1, 0},
    {"VELKARO CL 5310 Dual", 1, 0, 0, 1, 1, 0},
    {"VELKARO CL 5400 Desktop", 1, 0, 0, 1, 1, 0},
    {"VELKARO CL 5410 Desktop", 1, 0, 0, 1, 1, 0},
    // Contactless readers.
    {"VELKARO RF 600", 1, 0, 0, 1, 0, 0},
    {"VELKARO RF 610", 1, 0, 0, 1, 0, 0},
    // The other maker's contactless reader: the page with the air speed.
    {"HALVORN KR210 Proximity", 1, 0, 0, 0, 0, 1},
}};

const std::array<const char*, kReaderAliasSlots> g_readerAliases = {{
    "VELKARO CT 200",
    "Generic Smart Card Reader Interface",
    "USB Smart Card Reader",
    "USB CCID Smart Card Reader",
    "Smart Card Reader USB",
    "CCID USB Reader",
    "OEM Smartcard Reader",
    "Norvex SCR 20",
    "Norvex SCR 21",
    "Tamsin CardPort 2",
    "Tamsin CardPort 3",
    "Brightline ID Reader",
    "Ostrava Systems SR-1",
    "Marlow Chipcard USB",
    "Kessel Secure Reader",
    "",
    "VELKARO CL 3700",
    "Contactless Smart Card Reader",
    "Dual Interface Reader",
    "Norvex DualCard 37",
    "",
    "VELKARO CT 300 Pinpad",
    "Secure PINpad Reader",
    "Norvex PinPort",
    "",
    "VELKARO CT 110",
    "Serial Smart Card Reader",
    "",
    "VELKARO RF 600",
    "Brightline RF Reader",
    "",
    "VELKARO CT 100",
    "Chipcard Reader",
    "",
    "VELKARO CT 130 PCMCIA",
    "PCMCIA Smart Card Reader",
    "",
    "VELKARO Keyboard K10",
    "Smart Card Keyboard",
    "",
    "VELKARO CT 400 Terminal",
    "Norvex Terminal 40",
    "",
    "VELKARO Mobile M1",
    "Mobile Card Reader",
    "",
    "VELKARO Token T1",
    "USB Token Reader",
    "",
    "VELKARO Expresscard E1",
    "ExpressCard Smart Card Reader",
    "",
    "VELKARO CL 5300 Dual",
    "Tamsin Duo Desk",
    "",
    "VELKARO CT 950 Biometric",
    "Fingerprint Card Reader",
    "",
    "HALVORN KR210 Proximity",
    "HALVORN KR210",
    "",
    // A retired model: its readers are handled but have no model row.
    "VELKARO CT 050 Legacy",
    "Marlow Chipcard Serial",
    "",
    "VELKARO CL 3800",
    "",
    "VELKARO RF 610",
    "",
    "",
}};

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsUpperHex(char c) { return IsDigit(c) || (c >= 'A' && c <= 'F'); }

// " XX YY" at the end of a pcsc-lite reader name.
bool HasPcscLiteSuffix(std::string_view name) {
  if (name.size() < 6) return false;
  const std::string_view tail = name.substr(name.size() - 6);
  return tail[0] == ' ' && IsUpperHex(tail[1]) && IsUpperHex(tail[2]) && tail[3] == ' ' && IsUpperHex(tail[4]) &&
         IsUpperHex(tail[5]);
}

}  // namespace

std::string StripReaderIndex(std::string_view name) {
  if (HasPcscLiteSuffix(name)) return std::string(name.substr(0, name.size() - 6));
  if (name.empty() || !IsDigit(name.back())) return std::string(name);
  const size_t space = name.rfind(' ');
  if (space == std::string_view::npos) return {};
  return std::string(name.substr(0, space));
}

bool IsBrandReader(std::string_view upperBaseName) {
  return !upperBaseName.empty() && upperBaseName.find(kBrandWord) == 0;
}

CReaderModelMaps::CReaderModelMaps() {
  m_mapReaderModels.reserve(kReaderModelCount * 131 / 100);
  for (const ReaderModel& row : g_readerModels) m_mapReaderModels[velkaro::ToUpper(row.name)] = &row;

  m_mapReaderAliases.reserve(kReaderAliasSlots * 131 / 100);
  std::string model;
  bool groupStart = true;
  for (const char* slot : g_readerAliases) {
    const std::string_view entry = slot ? slot : "";
    if (groupStart) {
      if (entry.empty()) break;  // end of the table
      model = velkaro::ToUpper(entry);
      groupStart = false;
    } else if (entry.empty()) {
      groupStart = true;
    } else {
      m_mapReaderAliases[velkaro::ToUpper(entry)] = model;
    }
  }
}

const ReaderModel* CReaderModelMaps::FindReaderModel(std::string_view readerName) const {
  if (readerName.empty()) return nullptr;
  const std::string base = velkaro::ToUpper(StripReaderIndex(readerName));
  if (const auto model = m_mapReaderModels.find(base); model != m_mapReaderModels.end()) return model->second;
  const auto alias = m_mapReaderAliases.find(base);
  if (alias == m_mapReaderAliases.end() || alias->second.empty()) return nullptr;
  const auto model = m_mapReaderModels.find(alias->second);
  return model == m_mapReaderModels.end() ? nullptr : model->second;
}

bool CReaderModelMaps::IsModel(const std::string& upperBaseName) const {
  return m_mapReaderModels.count(upperBaseName) != 0;
}

bool CReaderModelMaps::IsAlias(const std::string& upperBaseName) const {
  const auto alias = m_mapReaderAliases.find(upperBaseName);
  return alias != m_mapReaderAliases.end() && !alias->second.empty();
}
