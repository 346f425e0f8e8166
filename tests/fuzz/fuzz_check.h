#pragma once
// The oracle's check in every fuzz target: a failed one names itself before
// it aborts, so a finding says which property broke.

#include <cstdio>
#include <cstdlib>
#include <string>

#define FUZZ_CHECK(condition)                                                                      \
  do {                                                                                             \
    if (!(condition)) {                                                                            \
      std::fprintf(stderr, "fuzz check failed: %s (%s:%d)\n", #condition, __FILE__, __LINE__);   \
      std::abort();                                                                                \
    }                                                                                              \
  } while (false)

// Text with its control and other bytes as \xNN, for the report of a check.
inline std::string FuzzPrintable(const std::string& text) {
  std::string out;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '\n' || (byte >= 0x20 && byte < 0x7F)) {
      out += c;
    } else {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
      out += escaped;
    }
  }
  return out;
}

// The same for two texts that must be equal; both are printed.
#define FUZZ_CHECK_EQUAL(a, b)                                                                     \
  do {                                                                                             \
    const std::string fuzzA = (a);                                                                 \
    const std::string fuzzB = (b);                                                                 \
    if (fuzzA != fuzzB) {                                                                          \
      std::fprintf(stderr, "fuzz check failed: %s == %s (%s:%d)\n--- %s\n+++ %s\n", #a, #b, __FILE__, \
                   __LINE__, FuzzPrintable(fuzzA).c_str(), FuzzPrintable(fuzzB).c_str());          \
      std::abort();                                                                                \
    }                                                                                              \
  } while (false)
