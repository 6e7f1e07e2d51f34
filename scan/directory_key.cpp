#include "scan/directory_key.h"

wchar_t moduleDirectoryKey[DirectoryKeyChars];

void MakeDirectoryKey(const wchar_t* path, wchar_t* key) {
  DWORD cut = 0;
  for (DWORD k = 0; path[k] != L'\0'; ++k) {
    key[k] = path[k];
    if (path[k] == L'\\') cut = k + 1;
    if (k == DirectoryKeyChars - 2) break;  // 259 units at most; index 259 is never read
  }
  key[cut] = L'\0';
  for (DWORD k = 0; key[k] != L'\0'; ++k) {
    if (key[k] >= L'A' && key[k] <= L'Z') key[k] = static_cast<wchar_t>(key[k] + 0x20);
  }
}

void InitModuleDirectoryKey(HINSTANCE instance) {
  wchar_t path[MAX_PATH];
  const DWORD length = GetModuleFileNameW(instance, path, MAX_PATH);
  // 0 means failure and MAX_PATH a path cut short (possibly unterminated):
  // both leave the key empty, so that no server is ever trusted.
  if (length - 1 > MAX_PATH - 2) return;
  MakeDirectoryKey(path, moduleDirectoryKey);
}

bool DirectoryKeysEqual(const wchar_t* a, const wchar_t* b) {
  DWORD k = 0;
  while (a[k] == b[k]) {
    if (a[k] == L'\0') return true;
    ++k;
  }
  return false;
}
