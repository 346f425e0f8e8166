#pragma once
// The shared ATR list that pcsc-tools installs: ATR patterns, each followed by
// tab-indented description lines. It names the cards the configuration does
// not. Read once on a worker thread of its own; a lookup waits for that read a
// few milliseconds at most, so the card update on the user-interface thread
// never parses the file.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/file_limits.h"

class CAtrList {
 public:
  // Where Debian's pcsc-tools puts the list, and the variable that overrides
  // it (an empty value turns the list off).
  static constexpr char kDefaultPath[] = "/usr/share/pcsc/smartcard_list.txt";
  static constexpr char kPathVariable[] = "VELKARO_ATR_LIST";
  // The list is about half a megabyte; nothing past this is read.
  static constexpr std::size_t kMaxFileSize = velkaro::kMaxAtrListSize;
  // A longer description is cut (at a character boundary).
  static constexpr std::size_t kMaxDescriptionLength = 255;
  // A card name taken from the list, marked so that users tell it from the
  // names the vendor configured.
  static constexpr char kNameFormat[] = "%s (ATR list)";
  // How long a lookup waits for a read still under way.
  static constexpr std::chrono::milliseconds kLookupWait{5};

  // The path from the variable, else the default path.
  static std::string ListPath();
  // Starts reading the list at `path` on a worker thread. An empty path, a
  // missing, unreadable or refused file give a list that names nothing; the
  // debug output says what was read or what failed.
  static std::shared_ptr<const CAtrList> Load(const std::string& path);
  // The list from text already read, parsed on the calling thread by the rules
  // of a file: text with NUL bytes names nothing, a last line without its end
  // is left out.
  static std::shared_ptr<const CAtrList> FromText(std::string_view text);

  // Ends a read still under way and waits for its thread.
  ~CAtrList();
  CAtrList(const CAtrList&) = delete;
  CAtrList& operator=(const CAtrList&) = delete;

  // The first description of the first pattern, in file order, that matches
  // the whole ATR text ("3B 02 14 50"); empty when none does or the list is
  // not read within kLookupWait.
  std::string Describe(std::string_view atrText) const;

  // Waits up to `timeout` for the read; whether it has ended.
  bool WaitUntilRead(std::chrono::milliseconds timeout) const;
  // Patterns in use, and entries left out (a pattern this list cannot match
  // soundly, longer than any ATR, or without a description).
  std::size_t PatternCount() const;
  std::size_t SkippedCount() const;

  struct Pattern {
    // One mask of allowed text characters per position; a zero mask stands
    // for ".*", any run of characters.
    std::vector<std::uint32_t> positions;
    std::size_t fixedLength = 0;  // positions that are not kAnyRun
    bool hasAnyRun = false;
    std::string description;
  };

 private:
  struct Token {};
  explicit CAtrList(Token) {}
  void Publish(std::vector<Pattern> patterns, std::size_t skipped);
  void ReadFile(const std::string& path);

  mutable std::mutex m_lock;  // guards m_bRead and, until it is set, the tables
  mutable std::condition_variable m_readChanged;
  bool m_bRead = false;
  // Written once, before m_bRead is set; read-only afterwards.
  std::vector<Pattern> m_patterns;
  std::size_t m_nSkipped = 0;

  std::atomic<bool> m_bStop{false};
  std::thread m_reader;
};
