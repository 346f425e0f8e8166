#pragma once
// The present readers this tool handles, asked of PC/SC without any window,
// and the difference between two reader lists. The General page forwards to
// these; the log lists its readers through them too.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "card/reader_models.h"

// Whether a reader's base name (upper case, without the index) is one the
// configuration names as an additional reader.
using AdditionalReaderTest = std::function<bool(const std::string& upperBaseName)>;

// The names of a PC/SC multi-string, never reading past its end.
std::vector<std::string> SplitMultiString(const std::vector<char>& buffer);

// Whether a reader is handled: a known model or alias, a configured
// additional reader, or one of the brand's readers.
bool IsHandledReader(const std::string& readerName, const CReaderModelMaps& maps,
                     const AdditionalReaderTest& isAdditional);

// The full names of the present, handled readers in the order PC/SC lists
// them. A reader reported unknown or unavailable is absent. False when PC/SC
// cannot be asked or `list` is not empty.
bool EnumerateReaders(std::vector<std::string>& list, const CReaderModelMaps& maps,
                      const AdditionalReaderTest& isAdditional);

// Enumeration on one PC/SC context kept between calls, taken anew only when
// pcscd has gone and come back: a refresh every second then costs pcscd no
// new connection. Used by one thread at a time.
class CReaderEnumerator {
 public:
  CReaderEnumerator() = default;
  ~CReaderEnumerator();
  CReaderEnumerator(const CReaderEnumerator&) = delete;
  CReaderEnumerator& operator=(const CReaderEnumerator&) = delete;

  // As EnumerateReaders.
  bool Enumerate(std::vector<std::string>& list, const CReaderModelMaps& maps, const AdditionalReaderTest& isAdditional);

 private:
  bool ListOnContext(std::vector<std::string>& list, const CReaderModelMaps& maps,
                     const AdditionalReaderTest& isAdditional, long& result);
  void Release();

  std::intptr_t m_hContext = 0;
  bool m_bHasContext = false;
};

// What changed from `known` to `present`: the names that went (in `known`'s
// order) and the names that came (in `present`'s order).
struct ReaderListChange {
  std::vector<std::string> removed;
  std::vector<std::string> added;
  bool empty() const { return removed.empty() && added.empty(); }
};
ReaderListChange DiffReaderLists(const std::vector<std::string>& known, const std::vector<std::string>& present);
