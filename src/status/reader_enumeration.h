#pragma once
// The present readers this tool handles, asked of PC/SC without any window,
// and the difference between two reader lists. The General page forwards to
// these; the log lists its readers through them too.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "card/reader_models.h"
#include "platform/service_state.h"

// How long a refresh waits for pcsc-lite's answer to its enumeration. A
// mute card costs 400 ms inside pcsc-lite's status call, so this leaves room
// for a few; a stopped pcscd never answers at all.
inline constexpr std::chrono::milliseconds kEnumerationDeadline{1500};

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

// CReaderEnumerator on a worker thread that stays between calls (starting
// one every second would cost more than the listing), waited for up to a
// deadline: a stopped pcscd holds pcsc-lite's calls for good,
// SCardEstablishContext included, which holds a process-wide lock
// meanwhile. After a missed deadline no further call is made until the late
// one has come back: it would only queue behind it. The enumerator and its
// context are shared with the worker, which may still be inside them.
class CTimedReaderEnumerator {
 public:
  explicit CTimedReaderEnumerator(std::chrono::milliseconds deadline = kEnumerationDeadline);
  // The worker ends once it is back from a call that is still out.
  ~CTimedReaderEnumerator();
  CTimedReaderEnumerator(const CTimedReaderEnumerator&) = delete;
  CTimedReaderEnumerator& operator=(const CTimedReaderEnumerator&) = delete;

  // kAnswered with the readers in `list` (which must be empty); kRefused
  // when PC/SC cannot be asked; kNoAnswer when the call missed its deadline
  // or an earlier one is still out. `isAdditional` may be called on another
  // thread, after this call has returned.
  velkaro::PcscdReply Enumerate(std::vector<std::string>& list, std::shared_ptr<const CReaderModelMaps> maps,
                                AdditionalReaderTest isAdditional);
  // Whether a call that missed its deadline has still not come back.
  bool CallOutstanding() const;

 // What the caller shares with the worker thread that makes the calls.
  struct Call;

 private:
  std::shared_ptr<Call> m_call;
  std::chrono::milliseconds m_deadline;
};

// What changed from `known` to `present`: the names that went (in `known`'s
// order) and the names that came (in `present`'s order).
struct ReaderListChange {
  std::vector<std::string> removed;
  std::vector<std::string> added;
  bool empty() const { return removed.empty() && added.empty(); }
};
ReaderListChange DiffReaderLists(const std::vector<std::string>& known, const std::vector<std::string>& present);
