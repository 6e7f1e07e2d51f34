// Text conversions and output for the scan service: UTF-16LE from the wire
// and from the command line, UTF-8 for the log and for files.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

// Converts UTF-16LE bytes (as they arrive on the pipe, possibly unaligned) to
// UTF-8. An unpaired surrogate becomes U+FFFD, so that every name can be
// logged; `count` is in bytes, a trailing odd byte is ignored.
std::string Utf16BytesToUtf8(const BYTE* bytes, size_t count);
// Appends code point `code` (below 0x110000, no surrogate) as UTF-8.
void AppendUtf8(std::string* out, uint32_t code);
std::string WideToUtf8(const std::wstring& text);
// Strict conversion of UTF-8 to UTF-16: false for any malformed sequence.
bool Utf8ToWide(const std::string& text, std::wstring* wide);

// Appends `text` (UTF-8) to `out` as the body of a JSON string: quotes,
// backslashes and control characters escaped, everything else as it is.
void AppendJsonString(std::string* out, const std::string& text);

// Writes UTF-8 text to a standard handle: as wide text to a console, as bytes
// to a file or pipe. Returns false if the handle refused it.
bool WriteUtf8(HANDLE handle, const std::string& text);
// The same, for a caller that already knows whether `handle` is a console.
bool WriteUtf8(HANDLE handle, const std::string& text, bool console);
// Writes a line to stderr, prefixed with the program name.
void PrintError(const std::wstring& message);
