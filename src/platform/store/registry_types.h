#pragma once
// The types, values and result codes of the Win32 registry calls, shared by
// the calls (registry.h) and the store beneath them (registry_store.h), which
// answers the same result codes.
//
// Sizes, types and counts are std::uint32_t (the Win32 DWORD). The header
// deliberately defines no DWORD or BYTE of its own: pcsc-lite's headers define
// DWORD as unsigned long, and both may meet in one translation unit.

#include <cstdint>

using LSTATUS = long;
using REGSAM = std::uint32_t;
using HKEY = struct RegistryKeyHandle*;

struct FILETIME {
  std::uint32_t dwLowDateTime;
  std::uint32_t dwHighDateTime;
};

// Root keys, with the Windows handle values.
#define HKEY_CLASSES_ROOT (reinterpret_cast<HKEY>(static_cast<std::uintptr_t>(0x80000000u)))
#define HKEY_CURRENT_USER (reinterpret_cast<HKEY>(static_cast<std::uintptr_t>(0x80000001u)))
#define HKEY_LOCAL_MACHINE (reinterpret_cast<HKEY>(static_cast<std::uintptr_t>(0x80000002u)))
#define HKEY_USERS (reinterpret_cast<HKEY>(static_cast<std::uintptr_t>(0x80000003u)))
#define HKEY_PERFORMANCE_DATA (reinterpret_cast<HKEY>(static_cast<std::uintptr_t>(0x80000004u)))
#define HKEY_CURRENT_CONFIG (reinterpret_cast<HKEY>(static_cast<std::uintptr_t>(0x80000005u)))
#define HKEY_DYN_DATA (reinterpret_cast<HKEY>(static_cast<std::uintptr_t>(0x80000006u)))

// Value types.
inline constexpr std::uint32_t REG_NONE = 0;
inline constexpr std::uint32_t REG_SZ = 1;
inline constexpr std::uint32_t REG_EXPAND_SZ = 2;
inline constexpr std::uint32_t REG_BINARY = 3;
inline constexpr std::uint32_t REG_DWORD = 4;
inline constexpr std::uint32_t REG_DWORD_BIG_ENDIAN = 5;
inline constexpr std::uint32_t REG_LINK = 6;
inline constexpr std::uint32_t REG_MULTI_SZ = 7;
inline constexpr std::uint32_t REG_RESOURCE_LIST = 8;
inline constexpr std::uint32_t REG_QWORD = 11;

// Access rights.
inline constexpr REGSAM KEY_QUERY_VALUE = 0x0001;
inline constexpr REGSAM KEY_SET_VALUE = 0x0002;
inline constexpr REGSAM KEY_CREATE_SUB_KEY = 0x0004;
inline constexpr REGSAM KEY_ENUMERATE_SUB_KEYS = 0x0008;
inline constexpr REGSAM KEY_NOTIFY = 0x0010;
inline constexpr REGSAM KEY_READ = 0x20019;
inline constexpr REGSAM KEY_WRITE = 0x20006;
inline constexpr REGSAM KEY_ALL_ACCESS = 0xF003F;

// Dispositions of RegCreateKeyEx.
inline constexpr std::uint32_t REG_CREATED_NEW_KEY = 1;
inline constexpr std::uint32_t REG_OPENED_EXISTING_KEY = 2;
inline constexpr std::uint32_t REG_OPTION_NON_VOLATILE = 0;

// Result codes.
inline constexpr LSTATUS ERROR_SUCCESS = 0;
inline constexpr LSTATUS ERROR_FILE_NOT_FOUND = 2;
inline constexpr LSTATUS ERROR_ACCESS_DENIED = 5;
inline constexpr LSTATUS ERROR_INVALID_HANDLE = 6;
inline constexpr LSTATUS ERROR_NOT_ENOUGH_MEMORY = 8;
inline constexpr LSTATUS ERROR_INVALID_PARAMETER = 87;
inline constexpr LSTATUS ERROR_BAD_PATHNAME = 161;    // an empty, over-long or unprintable key name
inline constexpr LSTATUS ERROR_MORE_DATA = 234;
inline constexpr LSTATUS ERROR_NO_MORE_ITEMS = 259;
inline constexpr LSTATUS ERROR_BADDB = 1009;          // the store file cannot be parsed
inline constexpr LSTATUS ERROR_CANTREAD = 1012;       // the store file cannot be read
inline constexpr LSTATUS ERROR_CANTWRITE = 1013;      // the store file cannot be written
inline constexpr LSTATUS ERROR_KEY_DELETED = 1018;    // the handle's key was deleted meanwhile
inline constexpr LSTATUS ERROR_UNSUPPORTED_TYPE = 1630;  // a value of another type than the one asked for
