#pragma once
// The decoded ATR as lines of text, and beside what a driver reports: shared
// by the ATR details window and velkaro-diag-log --atr, so both read alike.

#include <optional>
#include <string>
#include <vector>

#include "card/atr_decoder.h"

// "  2  13            TA1          Fi = 372, ...": offset, bytes, field, meaning.
std::string AtrEntryLine(const AtrEntry& entry);

// "T=1", or "T=0 (by default: no TD1)"; T=15 named when it qualifies global bytes.
std::string AtrProtocolsOffered(const AtrSummary& summary);
// "0x13: Fi = 372, Di = 4, f max = 5 MHz", or the defaults without TA1.
std::string AtrTa1Text(const AtrSummary& summary);

// The summary after the entries: the one-line verdict, the convention, the
// protocols, TA1, the historical bytes and where decoding stopped.
std::vector<std::string> AtrSummaryLines(const AtrSummary& summary);

// What a page shows from the driver, as it shows it ("T=1", "0x13", "n/a").
struct AtrDriverValues {
  std::string protocolInUse;
  std::optional<std::string> ta1InUse;  // unset where the page shows a rate instead
};

// The differences between the driver's values and the ATR's, one sentence
// each; a single sentence saying so when they agree or cannot be compared.
std::vector<std::string> CompareWithDriver(const AtrSummary& summary, const AtrDriverValues& driver);
