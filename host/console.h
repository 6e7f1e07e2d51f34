// amsiscan's output: results on standard output, progress and errors on
// standard error, as UTF-16 to a console and UTF-8 elsewhere.
#pragma once

#include <windows.h>

#include <string>

void WriteText(DWORD which, const std::wstring& text);
// `text` on standard output as it is.
void Out(const std::wstring& text);
// "amsiscan: " + `text` + a line end on standard error.
void Err(const std::wstring& text);
// printf-style formatting into a string of at most 4095 characters.
std::wstring Format(const wchar_t* format, ...);
