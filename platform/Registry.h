// The configuration registry: keys under one root (the local machine) holding
// named values, kept in one text file in place of the system registry.
//
// The file (path from VORN_REGISTRY, else /etc/vorn/registry.conf):
//
//     # comment
//     [SOFTWARE\Vorn\Vorn Tevrona NT\Configuration\1\ROOT\shop]
//     datadir = /srv/shop/data          a text
//     globaltimeout = dword:90          a 32-bit number (decimal, -2^31.., or 0x hex)
//     libraries[] = d,vornsql,/usr/lib/vorn/vornsql.so    appends to a list
//     errorsettings = []                an empty list
//     logfile = "/var/log/vorn\x20x.log"  quoted: \\ \" \n \r \t \xHH
//
// Key components split at '\'; key and value names ignore ASCII case; a later
// line replaces an earlier one. Bad lines are skipped (RegistryCheck lists
// them). Readers share an immutable parse of the file, made again when the
// file's identity (device, inode, size, modification and change times)
// changes, or its text within two seconds of its last change; a key keeps the
// version it was opened on, and keys opened from it share that version.
// Writes take an OFD lock on "<file>.lock", read the file again, and replace
// it by rename from a synced temporary file, so readers see the old or the
// new file and concurrent writers, of any process, lose no change. A write
// rewrites the whole file in canonical form: comments and bad lines go.
//
// Failures return false and leave an errno value in LastError(): ENOENT for a
// missing key, value or subkey index, ERANGE for a short buffer, EINVAL for a
// refused name or value, and for a file that cannot be read or written the
// system's reason (EACCES, ENOTDIR, ENOSPC, ...).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace vorn::platform {

// Value types, numbered as the system registry numbers them.
inline constexpr uint32_t kRegistryString = 1;
inline constexpr uint32_t kRegistryNumber = 4;     // 4 bytes, little-endian
inline constexpr uint32_t kRegistryMultiString = 7; // entries each ending in NUL, then a NUL

struct RegistryKeyObject;
using RegistryKey = RegistryKeyObject*;

// The root key. It is never closed and holds no values of its own.
RegistryKey LocalMachineKey();

inline constexpr const char* kRegistryPathVariable = "VORN_REGISTRY";
inline constexpr const char* kRegistryDefaultPath = "/etc/vorn/registry.conf";
// The file in use: VORN_REGISTRY's, else the default.
const char* RegistryFilePath();

// Opens an existing key below parent ('\'-separated path; empty components
// are skipped, so "" opens parent again). A key opened from the root takes
// the file's current version, one opened from a key the parent's version.
bool RegistryOpenKey(RegistryKey parent, const char* subkey, RegistryKey* key);
// Opens the key, creating it and its missing parents in the file first.
bool RegistryCreateKey(RegistryKey parent, const char* subkey, RegistryKey* key);
// Frees a key (the root is ignored).
bool RegistryCloseKey(RegistryKey key);
// Tells versions of the registry apart: keys opened on the same version of
// the file give the same number, keys opened after any change another one
// (never 0, which an invalid key gives).
uint64_t RegistryKeyVersion(RegistryKey key);
// The version a key opened from the root now would have, without opening
// one; 0 when the file cannot be read.
uint64_t RegistryVersion();

// Reads a value: its type and bytes (texts and list entries end in NUL). With
// a null data buffer only *size is set to the bytes needed; a buffer of fewer
// bytes fails with ERANGE and *size set to the bytes needed.
bool RegistryQueryValue(RegistryKey key, const char* name, uint32_t* type, void* data, size_t* size);

// Writes a value: a text of size bytes (cut at its first NUL), a list of
// NUL-terminated entries (up to an empty entry or the end), or a number of 4
// bytes. Names holding '\', '[', ']', '=' or control bytes, empty names, names
// with blanks at either end or beginning with '#' or ';' are refused, as are
// list entries that cannot be written on one line. The key takes the new
// version of the file.
bool RegistrySetValue(RegistryKey key, const char* name, uint32_t type, const void* data, size_t size);
bool RegistryDeleteValue(RegistryKey key, const char* name);

// The name of subkey index (in file order) into name, NUL-terminated; *size
// is the buffer size on entry and the name's length on success, the bytes
// needed on ERANGE. Past the last subkey: ENOENT.
bool RegistryEnumerateSubkey(RegistryKey key, uint32_t index, char* name, size_t* size);

struct RegistryProblem {
    int64_t line; // from 1
    const char* reason;
};
// The bad lines of the current file (none when it is missing). False with
// the system's reason when the file exists but cannot be read.
bool RegistryCheck(std::vector<RegistryProblem>& problems);

} // namespace vorn::platform
