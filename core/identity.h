// The identity file (/etc/config/device_info): read once at start into the
// identity fields of g_gbVar, rewritten on a change from the server or the
// serial port. The file is read as `uci` reads it, and shared with `uci
// commit` under its flock, every wait on that lock bounded.
#pragma once
#include <cstddef>
#include <cstdint>

#include "core/globals.h"

// Largest identity file the adapter reads whole and rewrites (bytes).
constexpr size_t IDENTITY_FILE_MAX = 4096;
// Longest the adapter waits for the file's lock, in milliseconds.
constexpr int32_t IDENTITY_LOCK_MS = 1500;

// How uci reads a file, as IDENTITY_UciRead tells.
constexpr int32_t IDENTITY_UCI_SECTION = 0;   // it has a deviceInfo section
constexpr int32_t IDENTITY_UCI_NONE = 1;      // it parses, without that section
constexpr int32_t IDENTITY_UCI_REFUSED = 2;   // uci refuses the whole file

// Reads the identity file (its first 4096 bytes) into the record: the
// serialNum and pairCode options of its first deviceInfo section, as uci
// reads them; a file uci gives no such section (none in it, or a file uci
// refuses, said in one line) by the plain-text rule of GB_GetTagValueStr.
// Waits at most IDENTITY_LOCK_MS for the lock, then reads without it (one
// line says so). A missing or empty serial number is said in one line.
// 0 when it opens, 1 when not (fields then unchanged).
int32_t gbInitDeviceInfo();
// Finds the first occurrence of tag in text and copies its value into
// value, cut to valueSize-1 characters. The value is the rest of the line
// (up to CR or LF): read as uci reads it when it stands wholly inside one
// kind of quotes (' or "; blanks, tabs and '=' before it and blanks and tabs
// after it aside), the text between the quotes as it is; otherwise with
// blanks and '=' skipped and every other byte kept. 1 when a non-empty
// value was stored, else 0; value untouched when the tag is absent.
int32_t GB_GetTagValueStr(const char *text, const char *tag, char *value, size_t valueSize);
// Reads the NUL-terminated text as the `uci` command reads the config
// device_info (strictly: any parse error refuses the whole file) and gives
// what `uci get device_info.@deviceInfo[0].serialNum` (and pairCode) print,
// cut to the fields (sn: snSize-1, pc: pcSize-1 characters; empty when the
// option is absent). IDENTITY_UCI_SECTION, or IDENTITY_UCI_NONE /
// IDENTITY_UCI_REFUSED with both values empty. *errLine (may be null) gets
// the line uci stops at when it refuses the file, else 0.
int32_t IDENTITY_UciRead(const char *text, char *sn, size_t snSize, char *pc, size_t pcSize, uint32_t *errLine);
// Rewrites the identity file (a new staging file with the old file's
// permissions, fsync, rename, all under the flock `uci commit` takes on it,
// and never while a commit is between its unlock and its rename) and then
// the fields. Only the two values change, where uci reads them; a missing
// option is added to the deviceInfo section, a missing section to the end;
// every other byte stays. 0 on success; 1 when a value is one
// GB_DeviceInfoError refuses (longer than its field among them: never cut),
// the file cannot be written, stays locked past IDENTITY_LOCK_MS, is larger
// than 4096 bytes, is one uci refuses, or would not read back as the new
// identity; file and fields then unchanged.
int32_t GB_ModifyDeviceInfo(const char *serialNum, const char *pairCode);
// Why an identity value cannot be stored, or nullptr when it can. A value
// is stored only if the identity file, read back by the adapter or by uci,
// gives exactly its bytes: a serial number of 1 to 11 bytes, a pairing code
// of 0 to 7, none of them a control character, a blank, '=', a quote, '\\',
// '#' or ';' (bytes above 0x7F are kept as they are); and no serial number
// holding "pairCode", whose first occurrence in the file is where the
// pairing code is read from. The reason is a short fixed text, such as
// "holds a blank".
const char *GB_DeviceInfoError(const char *value, bool isSerialNum);
