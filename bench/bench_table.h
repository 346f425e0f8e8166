#pragma once
// The one table of the benchmarks: each figure with its n, median and
// maximum, beside the peer measured in the same run where there is one, and
// the ratio of the two medians. scripts/bench joins the rows of every
// benchmark under one header.

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

namespace bench {

struct Summary {
  std::size_t n = 0;
  double median = 0;
  double max = 0;
};

inline Summary Summarise(std::vector<double> values) {
  Summary summary;
  summary.n = values.size();
  if (values.empty()) return summary;
  std::sort(values.begin(), values.end());
  const std::size_t middle = values.size() / 2;
  summary.median = values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
  summary.max = values.back();
  return summary;
}

// Two decimals, or three significant digits below 1 (a load of 0.197 % is
// not 0.20 %).
inline std::string Figure(double value) {
  char text[32];
  std::snprintf(text, sizeof text, value != 0 && value < 1 && value > -1 ? "%.3g" : "%.2f", value);
  return text;
}

inline void PrintHeader() {
  std::printf("| What | n | median | max | peer | peer n | peer median | peer max | ratio of medians |\n");
  std::printf("|---|---|---|---|---|---|---|---|---|\n");
}

inline void PrintRow(const std::string& what, const std::vector<double>& values, const std::string& peer = {},
                     const std::vector<double>& peerValues = {}) {
  const Summary own = Summarise(values);
  std::printf("| %s | %zu | ", what.c_str(), own.n);
  if (own.n) std::printf("%s | %s | ", Figure(own.median).c_str(), Figure(own.max).c_str());
  else std::printf("- | - | ");
  if (peer.empty()) {
    std::printf("- | - | - | - | - |\n");
    return;
  }
  const Summary other = Summarise(peerValues);
  std::printf("%s | %zu | ", peer.c_str(), other.n);
  if (!other.n) {
    std::printf("- | - | - |\n");
    return;
  }
  std::printf("%s | %s | ", Figure(other.median).c_str(), Figure(other.max).c_str());
  if (own.n && other.median > 0) std::printf("%s |\n", Figure(own.median / other.median).c_str());
  else std::printf("- |\n");
}

}  // namespace bench
