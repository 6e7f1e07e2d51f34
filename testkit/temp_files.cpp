#include "testkit/temp_files.h"

#include "platform/unique_handle.h"

#include <windows.h>

#include <cwchar>
#include <vector>

std::wstring MakeTempDirectory(const wchar_t* prefix) {
  static LONG gCounter = 0;
  wchar_t temp[MAX_PATH];
  GetTempPathW(MAX_PATH, temp);
  wchar_t name[MAX_PATH + 96];
  swprintf(name, MAX_PATH + 96, L"%ls%ls-%lu-%ld-%llu", temp, prefix, GetCurrentProcessId(),
           InterlockedIncrement(&gCounter), GetTickCount64());
  CreateDirectoryW(name, nullptr);
  return name;
}

void RemoveTestDirectory(const std::wstring& directory) {
  std::vector<std::wstring> names;
  WIN32_FIND_DATAW found;
  const HANDLE search = FindFirstFileW((directory + L"\\*").c_str(), &found);
  if (search != INVALID_HANDLE_VALUE) {
    do {
      if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) names.push_back(found.cFileName);
    } while (FindNextFileW(search, &found));
    FindClose(search);
  }
  for (const std::wstring& name : names) DeleteFileW((directory + L"\\" + name).c_str());
  RemoveDirectoryW(directory.c_str());
}

bool WriteTextFile(const std::wstring& path, const std::string& text) {
  UniqueFileHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
  DWORD written = 0;
  return file && WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written,
                           nullptr) && written == text.size();
}

std::string ReadTextFile(const std::wstring& path) {
  std::string text;
  UniqueFileHandle file(CreateFileW(path.c_str(), GENERIC_READ,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING, 0, nullptr));
  if (!file) return text;
  char chunk[4096];
  DWORD count = 0;
  while (ReadFile(file.get(), chunk, sizeof chunk, &count, nullptr) && count > 0) {
    text.append(chunk, count);
  }
  return text;
}
