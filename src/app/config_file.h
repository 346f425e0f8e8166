#pragma once
// Reading "diagtool.ini": the files to inspect, the known card names and
// patterns, and the additional readers to handle.

#include <map>
#include <string>
#include <vector>

#include "card/card_names.h"
#include "platform/os_version.h"

using StringList = std::vector<std::string>;

// "diagtool.ini" beside the running program.
std::string GetConfigFilePath();

// The keyword of the files section ("Files <keyword>") for a version record,
// or an empty text with the message to show when the system is not known.
std::string GetFilesSectionKeyword(const velkaro::OsVersionRecord& record, std::string& message);

// Fills the five containers; false on failure after showing its message.
bool ReadConfigFile(StringList& mandatoryFiles, StringList& optionalFiles, CardNameMap& cardNames,
                    StringList& additionalReaders, CardPatternMap& varCardTexts);
