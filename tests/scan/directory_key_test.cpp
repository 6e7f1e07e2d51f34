#include "scan/directory_key.h"

#include "testkit/child_process.h"
#include "testkit/test_service.h"
#include "tests/support/patching_test.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// Key buffers are preset to a sentinel, so that a missing terminator or a
// write past it shows.
constexpr wchar_t Sentinel = 0xBEEF;

std::wstring KeyOf(const std::wstring& path) {
  wchar_t key[DirectoryKeyChars + 4];
  for (wchar_t& unit : key) unit = Sentinel;
  MakeDirectoryKey(path.c_str(), key);
  EXPECT_EQ(key[DirectoryKeyChars], Sentinel) << "written past the key buffer";
  return key;
}

struct KeyCase {
  const char* name;
  const wchar_t* path;
  const wchar_t* key;
};

void PrintTo(const KeyCase& c, std::ostream* out) { *out << c.name; }

class DirectoryKeyTable : public testing::TestWithParam<KeyCase> {};

TEST_P(DirectoryKeyTable, KeyIsFoldedPrefixUpToLastBackslash) {
  EXPECT_EQ(KeyOf(GetParam().path), GetParam().key);
}

INSTANTIATE_TEST_SUITE_P(
    Paths, DirectoryKeyTable,
    testing::Values(
        KeyCase{"Plain", L"C:\\Program Files\\Scanner\\Provider64.dll",
                L"c:\\program files\\scanner\\"},
        KeyCase{"Capitals", L"D:\\TOOLS\\SCAN.EXE", L"d:\\tools\\"},
        KeyCase{"EndsInBackslash", L"C:\\Tools\\", L"c:\\tools\\"},
        KeyCase{"NonAsciiCapitalKept", L"C:\\\u00C4RGER\\Scan.exe", L"c:\\\u00C4rger\\"},
        KeyCase{"NoBackslash", L"Provider64.dll", L""},
        KeyCase{"ForwardSlashesOnly", L"C:/Tools/Scan.exe", L""},
        KeyCase{"Empty", L"", L""},
        KeyCase{"LongPathPrefixKept", L"\\\\?\\C:\\Tools\\Scan.exe", L"\\\\?\\c:\\tools\\"},
        KeyCase{"OnlyAsciiCapitalsFold", L"Z:\\AZ@[`az{\\x", L"z:\\az@[`az{\\"},
        KeyCase{"SoftHyphenKept", L"C:\\dir\u00AD\\x.exe", L"c:\\dir\u00AD\\"}),
    [](const testing::TestParamInfo<KeyCase>& info) { return std::string(info.param.name); });

TEST(DirectoryKey, PathOf259UnitsEndingInBackslashIsKeptWhole) {
  std::wstring path = L"C:\\" + std::wstring(255, L'A') + L"\\";
  ASSERT_EQ(path.size(), 259u);
  wchar_t key[DirectoryKeyChars];
  for (wchar_t& unit : key) unit = Sentinel;
  MakeDirectoryKey(path.c_str(), key);
  EXPECT_EQ(key[259], L'\0');
  EXPECT_EQ(std::wstring(key), L"c:\\" + std::wstring(255, L'a') + L"\\");
}

TEST(DirectoryKey, OnlyFirst259UnitsOfLongerPathAreSeen) {
  // A backslash at index 259 is not seen; the one at 200 is the last.
  std::wstring path = L"C:\\" + std::wstring(196, L'B') + L"\\";  // backslash at 199
  path += std::wstring(259 - path.size(), L'c');
  path += L"\\tail.exe";  // backslash at index 259
  EXPECT_EQ(KeyOf(path), L"c:\\" + std::wstring(196, L'b') + L"\\");
}

TEST(DirectoryKey, KeysCompareCodeUnitByCodeUnit) {
  struct Case {
    const wchar_t* a;
    const wchar_t* b;
    bool equal;
  };
  const Case cases[] = {
      {L"c:\\scan\\", L"c:\\scan\\", true},
      {L"", L"", true},
      {L"c:\\scan\\", L"c:\\scan\u00AD\\", false},  // soft hyphen
      {L"c:\\scan\\", L"c:\\sc\uFEFFan\\", false},  // zero-width no-break space
      {L"c:\\scan\\", L"c:\\scan\u200D\\", false},  // zero-width joiner
      {L"c:\\caf\u00E9\\", L"c:\\cafe\u0301\\", false},
      {L"c:\\\u00E4rger\\", L"c:\\\u00C4rger\\", false},
      {L"c:\\scan\\", L"c:\\scan\\sub\\", false},
      {L"c:\\scan\\sub\\", L"c:\\scan\\", false},
      {L"c:\\scan\\", L"", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(DirectoryKeysEqual(c.a, c.b), c.equal) << "\"" << testing::PrintToString(c.a)
                                                      << "\" vs " << testing::PrintToString(c.b);
    EXPECT_EQ(DirectoryKeysEqual(c.b, c.a), c.equal);
  }
}

// GetModuleFileNameW as a test scripts it: copies `modulePath` like the real
// call, including its behaviour when the path does not fit.
struct ModulePathScript {
  decltype(&GetModuleFileNameW) real = nullptr;
  bool fail = false;
  std::wstring modulePath;
  HMODULE askedFor = reinterpret_cast<HMODULE>(1);
  DWORD askedSize = 0;
};
ModulePathScript gModulePathScript;

DWORD WINAPI ScriptedGetModuleFileName(HMODULE module, LPWSTR buffer, DWORD size) {
  gModulePathScript.askedFor = module;
  gModulePathScript.askedSize = size;
  if (gModulePathScript.fail) {
    SetLastError(ERROR_INVALID_HANDLE);
    return 0;
  }
  const std::wstring& path = gModulePathScript.modulePath;
  if (path.size() < size) {
    wmemcpy(buffer, path.c_str(), path.size() + 1);
    return static_cast<DWORD>(path.size());
  }
  // Cut short and, as Wine does it, left without a terminator.
  wmemcpy(buffer, path.c_str(), size);
  SetLastError(ERROR_INSUFFICIENT_BUFFER);
  return size;
}

class ModuleDirectoryKeyTest : public PatchingTest {
 protected:
  void SetUp() override {
    gModulePathScript = ModulePathScript();
    for (wchar_t& unit : moduleDirectoryKey) unit = 0;
  }
  void Script() {
    gModulePathScript.real =
        Patch("kernel32.dll", "GetModuleFileNameW", &ScriptedGetModuleFileName);
  }
  std::wstring Key() const { return moduleDirectoryKey; }
};

TEST_F(ModuleDirectoryKeyTest, ComesFromTheModulesOwnPath) {
  InitModuleDirectoryKey(nullptr);  // the test program itself
  std::wstring expected = ProgramDirectory();
  for (wchar_t& unit : expected) {
    if (unit >= L'A' && unit <= L'Z') unit = static_cast<wchar_t>(unit + 0x20);
  }
  EXPECT_EQ(Key(), expected);
  EXPECT_FALSE(Key().empty());
}

TEST_F(ModuleDirectoryKeyTest, AsksForItsOwnInstanceWithRoomFor260Units) {
  Script();
  gModulePathScript.modulePath = L"C:\\Kestrov\\KestrovAmsi64.dll";
  const HMODULE instance = reinterpret_cast<HMODULE>(0x10000);
  InitModuleDirectoryKey(instance);
  EXPECT_EQ(gModulePathScript.askedFor, instance);
  EXPECT_EQ(gModulePathScript.askedSize, 260u);
  EXPECT_EQ(Key(), L"c:\\kestrov\\");
}

TEST_F(ModuleDirectoryKeyTest, PathLengthsDecideWhetherKeyIsMade) {
  struct Case {
    size_t length;  // characters of the module path
    bool keyMade;
  };
  const Case cases[] = {{0, false}, {1, true}, {258, true}, {259, true}, {260, false},
                        {300, false}};
  Script();
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "path of " << c.length << " characters");
    for (wchar_t& unit : moduleDirectoryKey) unit = 0;
    std::wstring path;
    if (c.length == 1) {
      path = L"\\";
    } else if (c.length > 0) {
      path = L"C:\\" + std::wstring(c.length - 9, L'D') + L"\\x.dll";
    }
    ASSERT_EQ(path.size(), c.length);
    gModulePathScript.fail = c.length == 0;
    gModulePathScript.modulePath = path;
    InitModuleDirectoryKey(nullptr);
    if (c.keyMade) {
      EXPECT_EQ(Key(), KeyOf(path));
      EXPECT_FALSE(Key().empty());
    } else {
      EXPECT_TRUE(Key().empty());
    }
  }
}

}  // namespace
