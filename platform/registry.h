// The registry calls the engine makes, answered from a read-only text file:
// $VANTOR_REGISTRY (relative: to the folder the process started in), or
// ../etc/vantor/registry.ini beside the executable when that is unset or
// empty, as both the build tree and an installation have it (the format is
// in registry_tree.h). A missing or unreadable file is an empty registry,
// named on standard error once per read. The file is read again when its path, size or modification
// time changes, so a key opened afterwards sees the new contents while keys
// opened before keep the tree they were opened in. Skipped lines of a file
// are reported on standard error once per read.
//
// Semantics kept from the Windows calls: results are ERROR_* codes; names
// of keys and values compare case-insensitively; REG_SZ sizes count the
// terminating zero; a data buffer that is too small gives ERROR_MORE_DATA with
// the needed size; the empty or null value name is the key's default value
// ("@" in the file); subkeys enumerate in the order of their upper-case names.
// Requests for write access are refused with ERROR_ACCESS_DENIED.
#pragma once

#include <cstdint>
#include <string>

namespace platform {

struct RegistryKeyHandle;
using HKEY = RegistryKeyHandle*;
using REGSAM = std::uint32_t;

// The predefined roots: always open; closing one does nothing.
inline HKEY const HKEY_CLASSES_ROOT = reinterpret_cast<HKEY>(std::uintptr_t{0x80000000u});
inline HKEY const HKEY_CURRENT_USER = reinterpret_cast<HKEY>(std::uintptr_t{0x80000001u});
inline HKEY const HKEY_LOCAL_MACHINE = reinterpret_cast<HKEY>(std::uintptr_t{0x80000002u});

inline constexpr std::int32_t ERROR_SUCCESS = 0;
inline constexpr std::int32_t ERROR_FILE_NOT_FOUND = 2;
inline constexpr std::int32_t ERROR_ACCESS_DENIED = 5;
inline constexpr std::int32_t ERROR_INVALID_HANDLE = 6;
inline constexpr std::int32_t ERROR_INVALID_PARAMETER = 87;
inline constexpr std::int32_t ERROR_MORE_DATA = 234;
inline constexpr std::int32_t ERROR_NO_MORE_ITEMS = 259;

inline constexpr std::uint32_t REG_NONE = 0;
inline constexpr std::uint32_t REG_SZ = 1;
inline constexpr std::uint32_t REG_DWORD = 4;

inline constexpr REGSAM KEY_QUERY_VALUE = 0x0001;
inline constexpr REGSAM KEY_SET_VALUE = 0x0002;
inline constexpr REGSAM KEY_ENUMERATE_SUB_KEYS = 0x0008;
inline constexpr REGSAM KEY_WOW64_64KEY = 0x0100;
inline constexpr REGSAM KEY_WOW64_32KEY = 0x0200;
inline constexpr REGSAM KEY_READ = 0x00020019;
inline constexpr REGSAM KEY_WRITE = 0x00020006;
inline constexpr REGSAM KEY_ALL_ACCESS = 0x000F003F;

struct FILETIME {
  std::uint32_t dwLowDateTime;
  std::uint32_t dwHighDateTime;
};

// The file the registry is read from.
std::string RegistryFilePath();
// The same from the value of VANTOR_REGISTRY (null: unset), the folder the
// process started in and the folder of its executable.
std::string RegistryFilePathFor(const char* variable, const std::string& start_folder,
                               const std::string& executable_folder);
// The line that names a registry file that is missing or cannot be read
// (error: the errno value) and the variable that sets it.
std::string MissingRegistryText(const std::string& path, int error);
// Whether the registry file is missing or could not be read (already said
// in that line): what is not found in it then needs no line of its own.
bool RegistryFileUnread();

// An empty or null sub_key opens a new handle to key itself. *result is null
// on failure.
std::int32_t RegOpenKeyExA(HKEY key, const char* sub_key, std::uint32_t options, REGSAM desired,
                           HKEY* result);

// With data null, *data_size receives the size. reserved must be null.
std::int32_t RegQueryValueExA(HKEY key, const char* value_name, std::uint32_t* reserved,
                              std::uint32_t* type, std::uint8_t* data, std::uint32_t* data_size);

// A text value as a string without its closing zeros: false when the value
// is missing, is not a text, or needs more than `limit` bytes with its zero
// (0: any length, else the caller's designed buffer size).
bool RegQueryText(HKEY key, const char* value_name, std::size_t limit, std::string* text);

// *name_length is the buffer's size in characters on entry (room for the
// zero included) and the name's length without the zero on success; it is
// left alone when the buffer is too small. Keys have no class: a class
// buffer receives the empty text. Write times are zero.
std::int32_t RegEnumKeyExA(HKEY key, std::uint32_t index, char* name, std::uint32_t* name_length,
                           std::uint32_t* reserved, char* class_name, std::uint32_t* class_length,
                           FILETIME* last_write_time);

// Lengths of names are without the terminating zero; the longest value data
// is in bytes (a text's zero counted). Every out argument may be null.
std::int32_t RegQueryInfoKeyA(HKEY key, char* class_name, std::uint32_t* class_length,
                              std::uint32_t* reserved, std::uint32_t* subkey_count,
                              std::uint32_t* max_subkey_length, std::uint32_t* max_class_length,
                              std::uint32_t* value_count, std::uint32_t* max_value_name_length,
                              std::uint32_t* max_value_length,
                              std::uint32_t* security_descriptor_size, FILETIME* last_write_time);

std::int32_t RegCloseKey(HKEY key);

}  // namespace platform
