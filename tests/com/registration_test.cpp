#include "testkit/provider_dll.h"

#include "testkit/child_process.h"

#include "testkit/fake_amsi_stream.h"
#include "testkit/request_bytes.h"
#include "testkit/test_service.h"
#include "tests/support/patching_test.h"

#include <objbase.h>
#include <olectl.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// This build's registry view, and the other one.
constexpr REGSAM OwnView = sizeof(void*) == 8 ? KEY_WOW64_64KEY : KEY_WOW64_32KEY;
constexpr REGSAM OtherView = sizeof(void*) == 8 ? KEY_WOW64_32KEY : KEY_WOW64_64KEY;

const std::wstring ClassKey = std::wstring(L"Software\\Classes\\CLSID\\") + ProviderClassIdText;
const std::wstring InprocKey = ClassKey + L"\\InprocServer32";
const std::wstring ProviderKey =
    std::wstring(L"Software\\Microsoft\\AMSI\\Providers\\") + ProviderClassIdText;

bool KeyExists(const std::wstring& path, REGSAM view = OwnView) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ | view, &key) != ERROR_SUCCESS) {
    return false;
  }
  RegCloseKey(key);
  return true;
}

struct Value {
  bool present = false;
  DWORD type = 0;
  DWORD bytes = 0;
  std::wstring text;
};

Value ReadValue(const std::wstring& path, const wchar_t* name, REGSAM view = OwnView) {
  Value value;
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ | view, &key) != ERROR_SUCCESS) {
    return value;
  }
  wchar_t data[512] = {};
  DWORD bytes = sizeof data - sizeof(wchar_t);
  if (RegQueryValueExW(key, name, nullptr, &value.type, reinterpret_cast<BYTE*>(data), &bytes) ==
      ERROR_SUCCESS) {
    value.present = true;
    value.bytes = bytes;
    value.text = data;
  }
  RegCloseKey(key);
  return value;
}

// Runs the registry tool of this build's architecture (a 32-bit process
// reaches the 32-bit one through the system directory's redirection).
DWORD RunRegsvr32(const std::wstring& arguments) {
  wchar_t system[MAX_PATH];
  GetSystemDirectoryW(system, MAX_PATH);
  return RunProgram(std::wstring(system) + L"\\regsvr32.exe", L"/s " + arguments);
}

class RegistrationTest : public PatchingTest {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dll.Load());
    moduleUnderTest = dll.module;
    dll.unregisterServer();
  }
  void TearDown() override {
    RestorePatches();
    dll.unregisterServer();
  }

  void ExpectCompleteClassRegistration() {
    const Value name = ReadValue(ClassKey, nullptr);
    EXPECT_EQ(name.type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(name.text, L"Kestrov Antivirus");
    EXPECT_EQ(name.bytes, 36u);
    const Value server = ReadValue(InprocKey, nullptr);
    EXPECT_EQ(server.type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(server.text, ProviderDllPath());
    EXPECT_EQ(server.bytes, (ProviderDllPath().size() + 1) * 2);
    const Value threading = ReadValue(InprocKey, L"ThreadingModel");
    EXPECT_EQ(threading.type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(threading.text, L"Both");
    EXPECT_EQ(threading.bytes, 10u);
  }
  void ExpectProviderEntry() {
    const Value provider = ReadValue(ProviderKey, nullptr);
    EXPECT_EQ(provider.type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(provider.text, L"Kestrov Antivirus");
    EXPECT_EQ(provider.bytes, 36u);
  }
  void ExpectNothingRegistered() {
    EXPECT_FALSE(KeyExists(ClassKey));
    EXPECT_FALSE(KeyExists(ProviderKey));
  }

  ProviderDll dll;
};

TEST_F(RegistrationTest, Regsvr32WritesFourValuesIntoItsOwnView) {
  ASSERT_EQ(RunRegsvr32(Quoted(ProviderDllPath())), 0u);
  ExpectCompleteClassRegistration();
  ExpectProviderEntry();
  EXPECT_FALSE(KeyExists(ClassKey, OtherView)) << "landed in the other registry view";
  EXPECT_FALSE(KeyExists(ProviderKey, OtherView)) << "landed in the other registry view";

  // Registering again overwrites the same four values.
  ASSERT_EQ(RunRegsvr32(Quoted(ProviderDllPath())), 0u);
  ExpectCompleteClassRegistration();
  ExpectProviderEntry();
}

TEST_F(RegistrationTest, UnregisterRemovesBothKeysButNotTheirParents) {
  ASSERT_EQ(RunRegsvr32(Quoted(ProviderDllPath())), 0u);
  ASSERT_TRUE(KeyExists(InprocKey));
  ASSERT_EQ(RunRegsvr32(L"/u " + Quoted(ProviderDllPath())), 0u);
  ExpectNothingRegistered();
  EXPECT_FALSE(KeyExists(InprocKey));
  EXPECT_TRUE(KeyExists(L"Software\\Classes\\CLSID"));
  EXPECT_TRUE(KeyExists(L"Software\\Microsoft\\AMSI\\Providers"));
  // Nothing left to remove is no failure.
  EXPECT_EQ(dll.unregisterServer(), S_OK);
  EXPECT_EQ(RunRegsvr32(L"/u " + Quoted(ProviderDllPath())), 0u);
}

// Registry calls of the DLL, counted and made to fail as a test says.
struct RegistryFaults {
  decltype(&RegCreateKeyExW) realCreate = nullptr;
  decltype(&RegSetValueExW) realSet = nullptr;
  decltype(&RegCloseKey) realClose = nullptr;
  decltype(&GetModuleFileNameW) realModuleFileName = nullptr;
  int failCreateAt = 0;  // 1-based call number; 0: none fails
  int failSetAt = 0;
  int creates = 0;
  int opened = 0;
  int sets = 0;
  int closes = 0;
  DWORD moduleFileNameResult = 0xFFFFFFFF;  // 0xFFFFFFFF: the real answer
};
RegistryFaults gFaults;

LSTATUS WINAPI FaultyRegCreateKey(HKEY parent, LPCWSTR path, DWORD reserved, LPWSTR keyClass,
                                  DWORD options, REGSAM access, LPSECURITY_ATTRIBUTES sa,
                                  PHKEY key, LPDWORD disposition) {
  if (++gFaults.creates == gFaults.failCreateAt) return ERROR_ACCESS_DENIED;
  const LSTATUS status =
      gFaults.realCreate(parent, path, reserved, keyClass, options, access, sa, key, disposition);
  if (status == ERROR_SUCCESS) ++gFaults.opened;
  return status;
}

LSTATUS WINAPI FaultyRegSetValue(HKEY key, LPCWSTR name, DWORD reserved, DWORD type,
                                 const BYTE* data, DWORD bytes) {
  if (++gFaults.sets == gFaults.failSetAt) return ERROR_ACCESS_DENIED;
  return gFaults.realSet(key, name, reserved, type, data, bytes);
}

LSTATUS WINAPI CountedRegCloseKey(HKEY key) {
  ++gFaults.closes;
  return gFaults.realClose(key);
}

DWORD WINAPI ScriptedModuleFileName(HMODULE module, LPWSTR buffer, DWORD size) {
  const DWORD real = gFaults.realModuleFileName(module, buffer, size);
  if (gFaults.moduleFileNameResult == 0xFFFFFFFF) return real;
  if (gFaults.moduleFileNameResult == 0) {
    SetLastError(ERROR_INVALID_HANDLE);
    return 0;
  }
  // Cut short: the whole buffer filled and no terminator.
  for (DWORD i = 0; i < size; ++i) buffer[i] = L'x';
  SetLastError(ERROR_INSUFFICIENT_BUFFER);
  return size;
}

class RegistrationFaultTest : public RegistrationTest {
 protected:
  void SetUp() override {
    RegistrationTest::SetUp();
    gFaults = RegistryFaults();
    gFaults.realCreate = Patch("advapi32.dll", "RegCreateKeyExW", &FaultyRegCreateKey);
    gFaults.realSet = Patch("advapi32.dll", "RegSetValueExW", &FaultyRegSetValue);
    gFaults.realClose = Patch("advapi32.dll", "RegCloseKey", &CountedRegCloseKey);
    gFaults.realModuleFileName =
        Patch("kernel32.dll", "GetModuleFileNameW", &ScriptedModuleFileName);
  }
  void ExpectEveryKeyClosed() { EXPECT_EQ(gFaults.closes, gFaults.opened); }
};

TEST_F(RegistrationFaultTest, InProcessRegistrationMatchesRegsvr32) {
  EXPECT_EQ(dll.registerServer(), S_OK);
  ExpectCompleteClassRegistration();
  ExpectProviderEntry();
  EXPECT_EQ(gFaults.creates, 4);
  EXPECT_EQ(gFaults.sets, 4);
  ExpectEveryKeyClosed();
}

TEST_F(RegistrationFaultTest, FirstKeyRefusedWritesNothing) {
  gFaults.failCreateAt = 1;
  EXPECT_EQ(dll.registerServer(), SELFREG_E_CLASS);
  EXPECT_EQ(gFaults.creates, 1);
  EXPECT_EQ(gFaults.sets, 0);
  ExpectNothingRegistered();
  ExpectEveryKeyClosed();
}

TEST_F(RegistrationFaultTest, ProviderKeyRefusedLeavesCompleteClassRegistration) {
  gFaults.failCreateAt = 4;
  EXPECT_EQ(dll.registerServer(), SELFREG_E_CLASS);
  ExpectCompleteClassRegistration();
  EXPECT_FALSE(KeyExists(ProviderKey));
  ExpectEveryKeyClosed();
}

TEST_F(RegistrationFaultTest, FailingWriteStopsAtItsKeyAndClosesIt) {
  struct Case {
    int failSetAt;
    bool classNamed, serverNamed, threadingNamed;
  };
  const Case cases[] = {{1, false, false, false}, {2, true, false, false}, {3, true, true, false},
                        {4, true, true, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "write " << c.failSetAt << " fails");
    dll.unregisterServer();
    gFaults.creates = gFaults.opened = gFaults.sets = gFaults.closes = 0;
    gFaults.failSetAt = c.failSetAt;
    EXPECT_EQ(dll.registerServer(), SELFREG_E_CLASS);
    EXPECT_EQ(gFaults.sets, c.failSetAt) << "went on after the failing write";
    EXPECT_TRUE(KeyExists(ClassKey));  // created by the first step in every case
    EXPECT_EQ(ReadValue(ClassKey, nullptr).present, c.classNamed);
    EXPECT_EQ(ReadValue(InprocKey, nullptr).present, c.serverNamed);
    EXPECT_EQ(ReadValue(InprocKey, L"ThreadingModel").present, c.threadingNamed);
    EXPECT_EQ(KeyExists(ProviderKey), c.failSetAt == 4);
    EXPECT_FALSE(ReadValue(ProviderKey, nullptr).present);
    ExpectEveryKeyClosed();
  }
}

TEST_F(RegistrationFaultTest, ModulePathThatCannotBeFetchedOrDoesNotFitWritesNothing) {
  for (DWORD result : {0u, 260u}) {
    SCOPED_TRACE(testing::Message() << "GetModuleFileNameW returns " << result);
    gFaults.moduleFileNameResult = result;
    EXPECT_EQ(dll.registerServer(), E_FAIL);
    EXPECT_EQ(gFaults.creates, 0);
    ExpectNothingRegistered();
  }
}

TEST_F(RegistrationTest, ComActivatesTheRegisteredDllAndScansThroughIt) {
  ASSERT_EQ(RunRegsvr32(Quoted(ProviderDllPath())), 0u);
  TestService service;
  ASSERT_TRUE(service.Start(TestServiceScript()));
  for (DWORD model : {COINIT_MULTITHREADED, COINIT_APARTMENTTHREADED}) {
    SCOPED_TRACE(model == COINIT_MULTITHREADED ? "MTA" : "STA");
    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, model)));
    void* object = nullptr;
    ASSERT_EQ(CoCreateInstance(ProviderClassId, nullptr, CLSCTX_INPROC_SERVER,
                               IID_IAntimalwareProvider, &object),
              S_OK);
    auto* provider = static_cast<IAntimalwareProvider*>(object);
    // Served by the very DLL that was registered.
    HMODULE owner = nullptr;
    ASSERT_TRUE(GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                       GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                                   reinterpret_cast<LPCWSTR>(provider->lpVtbl->Scan), &owner));
    EXPECT_EQ(owner, dll.module);

    FakeAmsiStream stream;
    stream.SetName(AMSI_ATTRIBUTE_APP_NAME, L"activation");
    stream.SetContent(PatternBytes(500), true);
    AMSI_RESULT result = static_cast<AMSI_RESULT>(0);
    EXPECT_EQ(provider->lpVtbl->Scan(provider, stream.get(), &result), S_OK);
    EXPECT_EQ(result, AMSI_RESULT_DETECTED);
    provider->lpVtbl->Release(provider);
    CoUninitialize();
  }
  service.Stop();
  const auto connections = service.Connections();
  ASSERT_EQ(connections.size(), 2u);
  EXPECT_EQ(ParseRequest(connections[0]).appName, Utf16Bytes(L"activation"));
}

}  // namespace
