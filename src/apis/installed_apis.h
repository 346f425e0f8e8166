#pragma once
// The card programming interfaces the reader vendor ships as libraries.

#include <array>

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
