#include "testkit/provider_dll.h"

#include "testkit/child_process.h"
#include "testkit/fake_amsi_stream.h"
#include "testkit/request_bytes.h"
#include "testkit/test_service.h"

#include <gtest/gtest.h>

namespace {

class ModuleTest : public testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(dll.Load()); }
  ProviderDll dll;
};

TEST_F(ModuleTest, ClassObjectIsOneFactoryForItsInterfacesOnly) {
  struct Case {
    const char* name;
    CLSID classId;
    IID interfaceId;
    HRESULT expected;
  };
  const CLSID other = {0x5d3a9c71, 0x2e4b, 0x4f86, {0xa1, 0xc9, 0x7b, 0x20, 0xe6, 0xd4, 0xf3, 0x59}};
  const Case cases[] = {
      {"IClassFactory", ProviderClassId, IID_IClassFactory, S_OK},
      {"IUnknown", ProviderClassId, IID_IUnknown, S_OK},
      {"IAntimalwareProvider", ProviderClassId, IID_IAntimalwareProvider, E_NOINTERFACE},
      {"other class", other, IID_IClassFactory, CLASS_E_CLASSNOTAVAILABLE},
      {"null class", GUID_NULL, IID_IUnknown, CLASS_E_CLASSNOTAVAILABLE},
  };
  void* first = nullptr;
  for (const Case& c : cases) {
    void* object = reinterpret_cast<void*>(0xdeadbeef);
    EXPECT_EQ(dll.getClassObject(c.classId, c.interfaceId, &object), c.expected) << c.name;
    if (c.expected == S_OK) {
      EXPECT_NE(object, nullptr) << c.name;
      if (first == nullptr) first = object;
      EXPECT_EQ(object, first) << c.name << ": not the same factory";
    } else {
      EXPECT_EQ(object, nullptr) << c.name;
    }
  }
  EXPECT_EQ(dll.canUnloadNow(), S_OK) << "asking for the factory created something";
}

TEST_F(ModuleTest, NullOutPointerIsRejectedForAnyClass) {
  EXPECT_EQ(dll.getClassObject(ProviderClassId, IID_IClassFactory, nullptr), E_POINTER);
  EXPECT_EQ(dll.getClassObject(GUID_NULL, IID_IClassFactory, nullptr), E_POINTER);
}

TEST_F(ModuleTest, UnloadIsAllowedOnlyWithoutObjectsAndLocks) {
  EXPECT_EQ(dll.canUnloadNow(), S_OK);
  IClassFactory* factory = dll.Factory();
  ASSERT_NE(factory, nullptr);
  factory->AddRef();  // holding the factory keeps nothing loaded
  EXPECT_EQ(dll.canUnloadNow(), S_OK);

  IAntimalwareProvider* first = dll.NewProvider();
  IAntimalwareProvider* second = dll.NewProvider();
  ASSERT_NE(first, nullptr);
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(dll.canUnloadNow(), S_FALSE);
  EXPECT_EQ(first->lpVtbl->Release(first), 0u);
  EXPECT_EQ(dll.canUnloadNow(), S_FALSE) << "one release counted as two";
  EXPECT_EQ(second->lpVtbl->Release(second), 0u);
  EXPECT_EQ(dll.canUnloadNow(), S_OK);

  EXPECT_EQ(factory->LockServer(2), S_OK);  // any non-zero value locks
  EXPECT_EQ(dll.canUnloadNow(), S_FALSE);
  EXPECT_EQ(factory->LockServer(FALSE), S_OK);
  EXPECT_EQ(dll.canUnloadNow(), S_OK);

  // Unlocking with no lock held is counted too: -1 keeps the module loaded
  // until a later lock brings the count back to zero.
  EXPECT_EQ(factory->LockServer(FALSE), S_OK);
  EXPECT_EQ(dll.canUnloadNow(), S_FALSE);
  EXPECT_EQ(factory->LockServer(TRUE), S_OK);
  EXPECT_EQ(dll.canUnloadNow(), S_OK);
  factory->Release();
}

// The module directory key comes from the DLL's own file: a scan reaches
// the service (which runs from the build directory) only from a DLL that
// lies in that directory too.
class ModuleDirectoryTest : public testing::Test {
 protected:
  AMSI_RESULT ScanWith(const std::wstring& dllPath) {
    ProviderDll dll;
    if (!dll.Load(dllPath)) return static_cast<AMSI_RESULT>(0);
    IAntimalwareProvider* provider = dll.NewProvider();
    if (provider == nullptr) return static_cast<AMSI_RESULT>(0);
    FakeAmsiStream stream;
    stream.SetContent(PatternBytes(100), true);
    AMSI_RESULT result = static_cast<AMSI_RESULT>(0xdeadbeef);
    EXPECT_EQ(provider->lpVtbl->Scan(provider, stream.get(), &result), S_OK);
    provider->lpVtbl->Release(provider);
    return result;
  }
  void TearDown() override {
    service.Stop();
    for (const std::wstring& copy : copies) DeleteFileW(copy.c_str());
    for (auto it = directories.rbegin(); it != directories.rend(); ++it) {
      RemoveDirectoryW(it->c_str());
    }
  }
  std::wstring CopyDllTo(const std::wstring& directory) {
    CreateDirectoryW(directory.c_str(), nullptr);
    directories.push_back(directory);
    const std::wstring copy = directory + L"\\" + ProviderDllName;
    EXPECT_TRUE(CopyFileW(ProviderDllPath().c_str(), copy.c_str(), FALSE)) << GetLastError();
    copies.push_back(copy);
    return copy;
  }

  TestService service;
  std::vector<std::wstring> copies;
  std::vector<std::wstring> directories;
};

TEST_F(ModuleDirectoryTest, ScanReachesServiceOnlyFromTheServicesDirectory) {
  ASSERT_TRUE(service.Start(TestServiceScript()));
  EXPECT_EQ(ScanWith(ProviderDllPath()), AMSI_RESULT_DETECTED);
  EXPECT_EQ(ScanWith(CopyDllTo(ProgramDirectory() + L"elsewhere")),
            AMSI_RESULT_NOT_DETECTED);
  EXPECT_TRUE(service.WaitForEndedConnections(2));
  service.Stop();
  const auto connections = service.Connections();
  ASSERT_EQ(connections.size(), 2u);
  EXPECT_FALSE(connections[0].empty());
  EXPECT_TRUE(connections[1].empty()) << "the copy elsewhere sent bytes";
}

TEST_F(ModuleDirectoryTest, DllWithPathOf260OrMoreLoadsAndDetectsNothing) {
  // Nested directories until the DLL's path has at least 260 characters.
  std::wstring directory = ProgramDirectory();
  directory.pop_back();
  while (directory.size() + 1 + wcslen(ProviderDllName) < 270) {
    directory += L"\\" + std::wstring(40, L'd');
    CreateDirectoryW(directory.c_str(), nullptr);
    directories.push_back(directory);
  }
  const std::wstring dllPath = CopyDllTo(directory);
  ASSERT_GE(dllPath.size(), 260u);
  // A service that the DLL in the build directory is served by: the copy
  // with the long path has no directory key and trusts no server.
  ASSERT_TRUE(service.Start(TestServiceScript()));
  EXPECT_EQ(ScanWith(dllPath), AMSI_RESULT_NOT_DETECTED);
  EXPECT_EQ(ScanWith(ProviderDllPath()), AMSI_RESULT_DETECTED);
  EXPECT_TRUE(service.WaitForEndedConnections(2));
  service.Stop();
  const auto connections = service.Connections();
  ASSERT_EQ(connections.size(), 2u);
  EXPECT_TRUE(connections[0].empty()) << "the DLL with the long path sent bytes";
}

}  // namespace
