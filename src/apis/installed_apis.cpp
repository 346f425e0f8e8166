#include "apis/installed_apis.h"

#include "status/file_info.h"

std::vector<InstalledApiRow> FindInstalledApis() {
  std::vector<InstalledApiRow> rows;
  CFileInfo info;
  for (const InstalledApi& api : g_installedApis) {
    if (info.Inspect(api.library) != 0) continue;
    rows.push_back({info.m_strName, info.m_strVersion, api.name});
  }
  return rows;
}
