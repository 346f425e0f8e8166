#include "platform/qt_url_opener.h"

#include <QDesktopServices>
#include <QUrl>

namespace velkaro {

int QtUrlOpener::OpenUrl(const std::string& url) {
  const QUrl target(QString::fromStdString(url), QUrl::StrictMode);
  if (!target.isValid()) return kNoAssociation;
  return QDesktopServices::openUrl(target) ? kOpenSucceeded : kNoAssociation;
}

}  // namespace velkaro
