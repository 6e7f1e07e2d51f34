#include "host/console.h"

#include <cstdarg>
#include <cwchar>

void WriteText(DWORD which, const std::wstring& text) {
  const HANDLE handle = GetStdHandle(which);
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE || text.empty()) return;
  DWORD mode = 0;
  DWORD written = 0;
  if (GetConsoleMode(handle, &mode)) {
    WriteConsoleW(handle, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    return;
  }
  const int length = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                         nullptr, 0, nullptr, nullptr);
  if (length <= 0) return;
  std::string bytes(static_cast<size_t>(length), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &bytes[0], length,
                      nullptr, nullptr);
  WriteFile(handle, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

std::wstring Format(const wchar_t* format, ...) {
  wchar_t buffer[4096];
  va_list arguments;
  va_start(arguments, format);
  const int length = vswprintf(buffer, sizeof buffer / sizeof buffer[0], format, arguments);
  va_end(arguments);
  return length < 0 ? std::wstring() : std::wstring(buffer, static_cast<size_t>(length));
}

void Out(const std::wstring& text) { WriteText(STD_OUTPUT_HANDLE, text); }
void Err(const std::wstring& text) { WriteText(STD_ERROR_HANDLE, L"amsiscan: " + text + L"\n"); }
