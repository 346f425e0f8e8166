#include "app/config_file.h"

#include "platform/profile_file.h"
#include "platform/services.h"
#include "platform/text.h"
#include "res/strings.h"

using velkaro::Format;
using velkaro::ProfileFile;
using velkaro::ToUpper;

std::string GetConfigFilePath() {
  const std::string module = velkaro::SystemInfo().ModulePath();
  const size_t slash = module.rfind('/');
  const std::string directory = slash == std::string::npos ? std::string() : module.substr(0, slash + 1);
  return directory + res::kConfigFileName;
}

std::string GetFilesSectionKeyword(const velkaro::OsVersionRecord& record, std::string& message) {
  switch (record.platformId) {
    case velkaro::VER_PLATFORM_WIN32s:
    case velkaro::VER_PLATFORM_WIN32_WINDOWS:
      return "W9X";
    case velkaro::VER_PLATFORM_WIN32_NT:
      switch (record.majorVersion) {
        case 3:
        case 4: return "NT4";
        case 5: return "W2k";
        case 6: return "WVista";
        default:
          message = Format(res::kUnknownNtOs, static_cast<long>(record.majorVersion));
          return {};
      }
    case velkaro::VER_PLATFORM_LINUX:
      return "Linux";
    default:
      message = Format(res::kUnknownOs, static_cast<long>(record.platformId));
      return {};
  }
}

namespace {

// Reads NAME1, NAME2, ... until the first empty value.
void ReadNumberedList(const ProfileFile& profile, const std::string& section, const char* name,
                      StringList& list, bool upperCase) {
  for (long n = 1;; ++n) {
    std::string value = profile.GetString(section, Format("%s%ld", name, n));
    if (value.empty()) break;
    list.push_back(upperCase ? ToUpper(value) : value);
  }
}

}  // namespace

bool ReadConfigFile(StringList& mandatoryFiles, StringList& optionalFiles, CardNameMap& cardNames,
                    StringList& additionalReaders, CardPatternMap& varCardTexts, std::string* refusedBecause) {
  if (!mandatoryFiles.empty() || !optionalFiles.empty()) return false;

  long error = 0;
  const auto version = velkaro::SystemInfo().QueryVersion(error);
  if (!version) {
    velkaro::ShowMessageBox(Format(res::kGetVersionFailed, error));
    return false;
  }
  std::string message;
  const std::string keyword = GetFilesSectionKeyword(*version, message);
  if (keyword.empty()) {
    velkaro::ShowMessageBox(message);
    return false;
  }

  // A missing file reads as empty without a word; one that is there but cannot
  // be read is named, with the reason, before the lists come up empty.
  const std::string path = GetConfigFilePath();
  ProfileFile profile;
  if (!profile.Load(path) && !profile.LoadProblem().empty()) {
    velkaro::OutputDebugString(Format("config: %s: %s", path.c_str(), profile.LoadProblem().c_str()));
    velkaro::ShowMessageBox(Format(res::kConfigNotRead, path.c_str(), profile.LoadProblem().c_str()), {},
                            velkaro::MB_ICONEXCLAMATION | velkaro::MB_OK);
    if (refusedBecause) *refusedBecause = profile.LoadProblem();
  }

  if (!ReadConfigProfile(profile, keyword, mandatoryFiles, optionalFiles, cardNames, additionalReaders, varCardTexts,
                         message)) {
    velkaro::ShowMessageBox(message);
    return false;
  }
  return true;
}

bool ReadConfigProfile(const ProfileFile& profile, const std::string& keyword, StringList& mandatoryFiles,
                       StringList& optionalFiles, CardNameMap& cardNames, StringList& additionalReaders,
                       CardPatternMap& varCardTexts, std::string& message) {
  ReadNumberedList(profile, "Files " + keyword, "MFILE", mandatoryFiles, false);
  ReadNumberedList(profile, "Optional", "OFILE", optionalFiles, false);

  for (long n = 1;; ++n) {
    const std::string section = Format("%s %ld", "Card", n);
    const std::string cardName = profile.GetString(section, "CARDNAME");
    const std::string atr = ToUpper(profile.GetString(section, "ATR"));
    const std::string varText = profile.GetString(section, "VARTEXT");
    const std::string varAtr = ToUpper(profile.GetString(section, "VARATR"));

    if (!cardName.empty() && !atr.empty()) cardNames[atr] = cardName;
    if (!varText.empty() && !varAtr.empty()) {
      if (varAtr.find("??") == std::string::npos) {
        message = Format(res::kWildcardMissing, "VARATR", "??");
        return false;
      }
      varCardTexts.Set(varAtr, varText);
    }
    if (cardName.empty() && varText.empty()) break;
  }

  ReadNumberedList(profile, "Additional_Readers", "Reader", additionalReaders, true);
  return true;
}
