#pragma once
// What the settings tabs tell the user when the settings store refuses a
// value, or cannot be read.

#include <string>

inline constexpr char kErrorWritingRegistryValue[] = "Error writing registry value";
inline constexpr char kSettingsCaption[] = "Diagnostic tool";

// A value the store refused, and why in the store's words.
struct SettingWriteFailure {
  std::string key;  // below HKEY_LOCAL_MACHINE
  std::string value;
  std::string reason;
};

// "Error writing registry value" with the key and value that could not be
// stored and the reason.
std::string ValueWriteFailure(const SettingWriteFailure& failure);

// The line a tab shows while it cannot show what is stored: `what` could not
// be read, and why.
std::string UnreadableNote(const std::string& what, const std::string& why);
// The same after a failed Apply: the tab keeps the user's choice.
std::string UnsavedChoiceNote(const std::string& what, const std::string& why);
