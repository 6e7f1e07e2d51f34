// What the built DLL's image offers and needs: its export and import tables.
#include "testkit/provider_dll.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <set>
#include <string>
#include <vector>

namespace {

class DllImageTest : public testing::Test {
 protected:
  void SetUp() override {
    // Mapped as an image but not run: the tables are what the file holds.
    module = LoadLibraryExW(ProviderDllPath().c_str(), nullptr, DONT_RESOLVE_DLL_REFERENCES);
    ASSERT_NE(module, nullptr) << GetLastError();
  }
  void TearDown() override {
    if (module != nullptr) FreeLibrary(module);
  }

  template <typename T>
  const T* At(DWORD rva) const {
    return reinterpret_cast<const T*>(reinterpret_cast<const BYTE*>(module) + rva);
  }
  const IMAGE_DATA_DIRECTORY& Directory(int index) const {
    const auto* dos = At<IMAGE_DOS_HEADER>(0);
    const auto* nt = At<IMAGE_NT_HEADERS>(static_cast<DWORD>(dos->e_lfanew));
    return nt->OptionalHeader.DataDirectory[index];
  }

  HMODULE module = nullptr;
};

TEST_F(DllImageTest, ExportsExactlyTheFourUndecoratedNames) {
  const IMAGE_DATA_DIRECTORY& directory = Directory(IMAGE_DIRECTORY_ENTRY_EXPORT);
  ASSERT_NE(directory.VirtualAddress, 0u);
  const auto* exports = At<IMAGE_EXPORT_DIRECTORY>(directory.VirtualAddress);
  std::vector<std::string> names;
  const DWORD* nameRvas = At<DWORD>(exports->AddressOfNames);
  for (DWORD i = 0; i < exports->NumberOfNames; ++i) names.push_back(At<char>(nameRvas[i]));
  EXPECT_EQ(names, (std::vector<std::string>{"DllCanUnloadNow", "DllGetClassObject",
                                             "DllRegisterServer", "DllUnregisterServer"}));
  EXPECT_EQ(exports->NumberOfFunctions, 4u) << "an export by ordinal only";
}

TEST_F(DllImageTest, ImportsOnlyTheSystemDllsItCalls) {
  const IMAGE_DATA_DIRECTORY& directory = Directory(IMAGE_DIRECTORY_ENTRY_IMPORT);
  ASSERT_NE(directory.VirtualAddress, 0u);
  std::set<std::string> imported;
  for (const auto* descriptor = At<IMAGE_IMPORT_DESCRIPTOR>(directory.VirtualAddress);
       descriptor->Name != 0; ++descriptor) {
    std::string name = At<char>(descriptor->Name);
    std::transform(name.begin(), name.end(), name.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    imported.insert(name);
  }
  // No C runtime DLL: the module carries the few routines it needs.
  EXPECT_EQ(imported, (std::set<std::string>{"ADVAPI32.DLL", "KERNEL32.DLL", "OLE32.DLL",
                                             "USER32.DLL"}));
}

TEST_F(DllImageTest, HasNoTlsCallbacks) {
  // A TLS directory would carry callbacks that run before DllMain and on
  // every thread of the host.
  EXPECT_EQ(Directory(IMAGE_DIRECTORY_ENTRY_TLS).VirtualAddress, 0u);
  EXPECT_EQ(Directory(IMAGE_DIRECTORY_ENTRY_TLS).Size, 0u);
}

TEST_F(DllImageTest, CarriesVersionResourceWithProductName) {
  wchar_t path[MAX_PATH];
  ASSERT_GT(GetModuleFileNameW(module, path, MAX_PATH), 0u);
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeW(path, &ignored);
  ASSERT_GT(size, 0u);
  std::vector<BYTE> info(size);
  ASSERT_TRUE(GetFileVersionInfoW(path, 0, size, info.data()));
  auto text = [&](const wchar_t* name) {
    wchar_t* value = nullptr;
    UINT length = 0;
    const std::wstring query = std::wstring(L"\\StringFileInfo\\040904B0\\") + name;
    if (!VerQueryValueW(info.data(), query.c_str(), reinterpret_cast<void**>(&value), &length)) {
      return std::wstring();
    }
    return std::wstring(value);
  };
  EXPECT_EQ(text(L"ProductName"), L"Kestrov Antivirus");
  EXPECT_EQ(text(L"OriginalFilename"), ProviderDllName);
  EXPECT_FALSE(text(L"FileDescription").empty());
  EXPECT_EQ(text(L"FileVersion"), KESTROV_PROJECT_VERSION);
  EXPECT_EQ(text(L"ProductVersion"), KESTROV_PROJECT_VERSION);
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  ASSERT_TRUE(VerQueryValueW(info.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
  EXPECT_EQ(fixed->dwFileType, static_cast<DWORD>(VFT_DLL));
  EXPECT_EQ(fixed->dwFileVersionMS, static_cast<DWORD>(KESTROV_PROJECT_VERSION_MS));
  EXPECT_EQ(fixed->dwFileVersionLS, static_cast<DWORD>(KESTROV_PROJECT_VERSION_LS));
}

}  // namespace
