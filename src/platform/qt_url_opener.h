#pragma once
// The desktop's way of opening a web address (xdg-open and its kin through
// Qt), with the command-line fallback of the platform.

#include "platform/url_opener.h"

namespace velkaro {

class QtUrlOpener final : public IUrlOpener {
 public:
  int OpenUrl(const std::string& url) override;
  int RunCommandLine(const std::string& commandLine) override { return StartCommandLine(commandLine); }
};

}  // namespace velkaro
