#include "rfid/settings_messages.h"

#include "platform/services.h"

std::string ValueWriteFailure(const SettingWriteFailure& failure) {
  std::string text = std::string(kErrorWritingRegistryValue) + ":\nHKEY_LOCAL_MACHINE\\" + failure.key + " \"" +
                     failure.value + "\"\n\n" + failure.reason;
  if (!velkaro::IsUserAnAdmin()) text += "\n\nThe settings of the reader driver can only be changed as root.";
  return text;
}

std::string UnreadableNote(const std::string& what, const std::string& why) {
  return "The stored " + what + " cannot be read, so this tab shows none: " + why;
}

std::string UnsavedChoiceNote(const std::string& what, const std::string& why) {
  return "Not stored. The tab shows your choice, which Apply tries to store again; the stored " + what +
         " cannot be read: " + why;
}
