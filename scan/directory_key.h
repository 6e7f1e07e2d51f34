// Directory keys: the directory part of a path, ASCII-folded, used to tell
// whether the pipe server runs from the provider's own directory.
#pragma once

#include <windows.h>

// Code units of a key buffer, terminator included.
constexpr DWORD DirectoryKeyChars = MAX_PATH;

// The key of the provider module's own file; empty until
// InitModuleDirectoryKey fills it at process attach, read-only afterwards.
extern wchar_t moduleDirectoryKey[DirectoryKeyChars];

// Writes into `key` the first 259 code units of `path` at most, up to and
// including the last backslash among them, with 'A'-'Z' lower-cased and
// nothing else changed. A path without a backslash gives the empty key.
void MakeDirectoryKey(const wchar_t* path, wchar_t* key);

// Fills moduleDirectoryKey from the file path of `instance`; leaves it empty
// when the path cannot be fetched or does not fit in MAX_PATH.
void InitModuleDirectoryKey(HINSTANCE instance);

// True when two keys hold the same code units. Both are already folded, so
// the comparison is exact: a linguistic comparison would call keys equal
// that differ by ignorable characters such as U+00AD.
bool DirectoryKeysEqual(const wchar_t* a, const wchar_t* b);
