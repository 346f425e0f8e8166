#pragma once
// How much the tool reads of each system file it parses. Running as root, it
// must not be made to fill its memory by a huge file, a device or an endless
// /proc file; a file larger than its bound reads as a missing one.

#include <cstddef>

namespace velkaro {

inline constexpr std::size_t kKiB = 1024;
inline constexpr std::size_t kMiB = 1024 * kKiB;

// os-release: a few lines.
inline constexpr std::size_t kMaxOsReleaseSize = 64 * kKiB;
// dpkg's status file and its packages' *.list files: the status file of a
// large installation runs to tens of MB.
inline constexpr std::size_t kMaxDpkgFileSize = 64 * kMiB;
// A reader driver bundle's Info.plist, and each text it yields.
inline constexpr std::size_t kMaxInfoPlistSize = 4 * kMiB;
inline constexpr std::size_t kMaxInfoPlistValueSize = 64 * kKiB;
// The card name list (smartcard_list.txt): only its first bytes are used.
inline constexpr std::size_t kMaxAtrListSize = 4 * kMiB;
// An ELF file's note sections, where the package note lies.
inline constexpr std::size_t kMaxNoteSectionSize = 64 * kKiB;
// /proc/locks (one line per lock held in the system) and /proc/<pid>/comm.
inline constexpr std::size_t kMaxProcLocksSize = 16 * kMiB;
inline constexpr std::size_t kMaxProcCommSize = 4 * kKiB;

}  // namespace velkaro
