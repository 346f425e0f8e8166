#pragma once
// Reading "diagtool.ini": the files to inspect, the known card names and
// patterns, and the additional readers to handle.

#include <map>
#include <string>
#include <vector>

#include "card/card_names.h"
#include "platform/os_version.h"
#include "platform/profile_file.h"

using StringList = std::vector<std::string>;

// "diagtool.ini" beside the running program.
std::string GetConfigFilePath();

// The keyword of the files section ("Files <keyword>") for a version record,
// or an empty text with the message to show when the system is not known.
std::string GetFilesSectionKeyword(const velkaro::OsVersionRecord& record, std::string& message);

// Fills the containers from a profile already read, with the files section
// "Files <keyword>"; false with the message to show when the card tables are
// not valid. Apart from ReadConfigFile so the tables' rules can be exercised
// on any text.
bool ReadConfigProfile(const velkaro::ProfileFile& profile, const std::string& keyword, StringList& mandatoryFiles,
                       StringList& optionalFiles, CardNameMap& cardNames, StringList& additionalReaders,
                       CardPatternMap& varCardTexts, std::string& message);

// Fills the five containers; false on failure after showing its message.
// A file that is there but was refused (not a regular file, too large, not
// text with LF line ends) leaves the containers empty and still answers true,
// after its message; `refusedBecause`, when given, then receives the reason.
bool ReadConfigFile(StringList& mandatoryFiles, StringList& optionalFiles, CardNameMap& cardNames,
                    StringList& additionalReaders, CardPatternMap& varCardTexts, std::string* refusedBecause = nullptr);
