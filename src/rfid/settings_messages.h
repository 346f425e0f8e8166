#pragma once
// What the settings tabs tell the user when the settings store refuses a
// value.

#include <string>

inline constexpr char kErrorWritingRegistryValue[] = "Error writing registry value";
inline constexpr char kSettingsCaption[] = "Diagnostic tool";

// "Error writing registry value" with the key and value that could not be
// stored, and the likely reason.
std::string ValueWriteFailure(const std::string& key, const std::string& value);
