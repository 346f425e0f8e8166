#include "rfid/settings_messages.h"

#include "platform/services.h"

std::string ValueWriteFailure(const std::string& key, const std::string& value) {
  std::string text = std::string(kErrorWritingRegistryValue) + ":\nHKEY_LOCAL_MACHINE\\" + key + " \"" + value + "\"";
  if (!velkaro::IsUserAnAdmin()) text += "\n\nThe settings of the reader driver can only be changed as root.";
  return text;
}
