// Files and directories that a test or a run makes for itself.
#pragma once

#include <string>

// A new, empty directory under the temporary directory, named after
// `prefix`, this process and a counter; no trailing backslash.
std::wstring MakeTempDirectory(const wchar_t* prefix);
// Removes a directory made for a test, with its files.
void RemoveTestDirectory(const std::wstring& directory);

bool WriteTextFile(const std::wstring& path, const std::string& text);
// The whole file, or an empty string; readable while another process writes it.
std::string ReadTextFile(const std::wstring& path);
