#pragma once
// The card programming interfaces the reader vendor ships as libraries.

#include <array>
#include <string>
#include <vector>

struct InstalledApi {
  const char* library;
  const char* name;
};

inline constexpr std::array<InstalledApi, 4> g_installedApis = {{
    {"libzelbric.so", "CT-API"},
    {"libquanth.so", "Synchronous API"},
    {"libmorlek.so", "SPE-API"},
    {"libtavrin.so", "GK-API"},
}};

// One row of the "APIs" tab: a library that was found with a readable version.
struct InstalledApiRow {
  std::string fileName;
  std::string version;
  std::string apiName;
};

// The installed libraries in table order. Searches the file system: never on
// the user-interface thread.
std::vector<InstalledApiRow> FindInstalledApis();
