// libFuzzer target for the settings store's text format. Beyond "does not
// crash", it checks the property the store relies on: whatever the parser
// accepts, the writer writes so that reading it back gives the same keys and
// values, and writing that again gives the same text.
//
// Stores reach megabytes, so the cost must stay linear in the size: a large
// input (at least kLargeInput bytes) is timed against its first eighth, and a
// ratio of more than kMostRatio between the two marks a super-linear path.

#include <time.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string_view>

#include "fuzz_check.h"
#include "platform/store/registry_text.h"

namespace {

// The eighth of a large input must itself be big enough (64 KiB) that fixed
// costs and timer noise do not decide the ratio.
constexpr std::size_t kLargeInput = 512 * 1024;
// A linear store gives about 8; four times that per byte is a fault, not noise.
constexpr double kMostRatio = 32.0;
constexpr int kTimings = 3;

velkaro::RegKeyNode Apply(const velkaro::RegDocument& document) {
  velkaro::RegKeyNode top;
  for (const auto& root : velkaro::RegRoots()) top.AddSubkey(root.name);
  velkaro::ApplyRegSections(document.sections, top);
  return top;
}

// What the store does with a file it reads and writes back: parse, apply,
// format. False when the text does not parse.
bool ReadAndWrite(std::string_view text) {
  velkaro::RegDocument document;
  velkaro::RegTextError error;
  if (!velkaro::ParseRegText(text, document, error)) return false;
  return !velkaro::FormatRegText(Apply(document)).empty();
}

// The thread's processor time: other processes on a loaded machine do not
// count, as they would in the time of the clock.
double CpuSeconds() {
  timespec now {};
  ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// The shortest of a few timings of ReadAndWrite, in seconds; nothing when the
// text does not parse.
std::optional<double> Seconds(std::string_view text) {
  double best = 1e9;
  for (int i = 0; i < kTimings; ++i) {
    const double start = CpuSeconds();
    if (!ReadAndWrite(text)) return std::nullopt;
    best = std::min(best, CpuSeconds() - start);
  }
  return best;
}

void CheckLinearCost(std::string_view text) {
  if (text.size() < kLargeInput) return;
  const std::size_t cut = text.rfind('\n', text.size() / 8);
  if (cut == std::string_view::npos || cut + 1 < kLargeInput / 8) return;
  const std::string_view eighth = text.substr(0, cut + 1);
  const auto small = Seconds(eighth);
  const auto large = Seconds(text);
  if (!small || !large) return;
  // The ratio for exactly eight times the size, however the cut fell.
  const double ratio = *large / std::max(*small, 1e-6) * 8.0 * static_cast<double>(eighth.size()) /
                       static_cast<double>(text.size());
  if (ratio > kMostRatio) {
    std::fprintf(stderr,
                 "fuzz finding: super-linear cost: %zu bytes took %.3f s, their first %zu bytes %.3f s: "
                 "%.1f times for eight times the size (more than %.0f)\n",
                 text.size(), *large, eighth.size(), *small, ratio, kMostRatio);
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  velkaro::RegDocument document;
  velkaro::RegTextError error;
  if (!velkaro::ParseRegText(text, document, error)) {
    FUZZ_CHECK(!error.message.empty() && document.sections.empty());
    return 0;
  }
  const velkaro::RegKeyNode top = Apply(document);
  const std::string written = velkaro::FormatRegText(top);
  velkaro::RegDocument again;
  FUZZ_CHECK(velkaro::ParseRegText(written, again, error));
  const velkaro::RegKeyNode back = Apply(again);
  FUZZ_CHECK(back == top);
  FUZZ_CHECK_EQUAL(velkaro::FormatRegText(back), written);
  CheckLinearCost(text);
  return 0;
}
