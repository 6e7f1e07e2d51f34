#include "testkit/provider_dll.h"

#include "testkit/fake_amsi_stream.h"
#include "testkit/request_bytes.h"
#include "testkit/test_service.h"
#include "tests/support/patching_test.h"

#include <objbase.h>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

struct Watch {
  decltype(&HeapFree) realHeapFree = nullptr;
  decltype(&CoTaskMemAlloc) realCoTaskMemAlloc = nullptr;
  ProviderDll* dll = nullptr;
  std::vector<void*> freed;
  std::vector<HRESULT> unloadAnswerWhileFreeing;
  bool failCoTaskMemAlloc = false;
  std::vector<SIZE_T> taskAllocSizes;
};
Watch gWatch;

BOOL WINAPI WatchedHeapFree(HANDLE heap, DWORD flags, LPVOID block) {
  gWatch.freed.push_back(block);
  gWatch.unloadAnswerWhileFreeing.push_back(gWatch.dll->canUnloadNow());
  return gWatch.realHeapFree(heap, flags, block);
}

LPVOID WINAPI WatchedCoTaskMemAlloc(SIZE_T bytes) {
  gWatch.taskAllocSizes.push_back(bytes);
  if (gWatch.failCoTaskMemAlloc) return nullptr;
  return gWatch.realCoTaskMemAlloc(bytes);
}

class ProviderTest : public PatchingTest {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dll.Load());
    moduleUnderTest = dll.module;
    gWatch = Watch();
    gWatch.dll = &dll;
    gWatch.realHeapFree = Patch("kernel32.dll", "HeapFree", &WatchedHeapFree);
    gWatch.realCoTaskMemAlloc = Patch("ole32.dll", "CoTaskMemAlloc", &WatchedCoTaskMemAlloc);
    provider = dll.NewProvider();
    ASSERT_NE(provider, nullptr);
  }
  void TearDown() override {
    if (provider != nullptr) provider->lpVtbl->Release(provider);
    RestorePatches();
  }

  ULONG AddRef() { return provider->lpVtbl->AddRef(provider); }
  ULONG Release() { return provider->lpVtbl->Release(provider); }

  ProviderDll dll;
  IAntimalwareProvider* provider = nullptr;
};

TEST_F(ProviderTest, QueryInterfaceServesUnknownAndProviderWithOneReference) {
  struct Case {
    const char* name;
    IID interfaceId;
    bool served;
  };
  const Case cases[] = {{"IUnknown", IID_IUnknown, true},
                        {"IAntimalwareProvider", IID_IAntimalwareProvider, true},
                        {"IClassFactory", IID_IClassFactory, false},
                        {"IAmsiStream", IID_IAmsiStream, false}};
  for (const Case& c : cases) {
    void* object = reinterpret_cast<void*>(0xdeadbeef);
    EXPECT_EQ(provider->lpVtbl->QueryInterface(provider, c.interfaceId, &object),
              c.served ? S_OK : E_NOINTERFACE)
        << c.name;
    EXPECT_EQ(object, c.served ? static_cast<void*>(provider) : nullptr) << c.name;
    // A served interface holds one more reference; a refused one none.
    EXPECT_EQ(AddRef(), c.served ? 3u : 2u) << c.name;
    Release();
    if (c.served) Release();
  }
  EXPECT_EQ(provider->lpVtbl->QueryInterface(provider, IID_IUnknown, nullptr), E_POINTER);
  EXPECT_EQ(AddRef(), 2u);
  Release();
}

TEST_F(ProviderTest, LastReleaseFreesTheRecordBeforeTheModuleMayUnload) {
  EXPECT_EQ(AddRef(), 2u);
  EXPECT_EQ(Release(), 1u);
  EXPECT_TRUE(gWatch.freed.empty());
  void* const record = provider;
  EXPECT_EQ(Release(), 0u);
  provider = nullptr;
  ASSERT_EQ(gWatch.freed, std::vector<void*>{record});
  // While the record was being freed the object was still counted.
  EXPECT_EQ(gWatch.unloadAnswerWhileFreeing, std::vector<HRESULT>{S_FALSE});
  EXPECT_EQ(dll.canUnloadNow(), S_OK);
}

TEST_F(ProviderTest, DisplayNameIsANewBlockEachCall) {
  LPWSTR first = nullptr;
  LPWSTR second = nullptr;
  ASSERT_EQ(provider->lpVtbl->DisplayName(provider, &first), S_OK);
  ASSERT_EQ(provider->lpVtbl->DisplayName(provider, &second), S_OK);
  ASSERT_NE(first, nullptr);
  ASSERT_NE(second, nullptr);
  EXPECT_NE(first, second);
  EXPECT_EQ(std::wstring(first), L"Kestrov Antivirus");
  EXPECT_EQ(0, memcmp(first, L"Kestrov Antivirus", 36));
  EXPECT_EQ(gWatch.taskAllocSizes, (std::vector<SIZE_T>{36, 36}));
  CoTaskMemFree(first);
  CoTaskMemFree(second);
}

TEST_F(ProviderTest, DisplayNameWithoutMemoryStoresNull) {
  gWatch.failCoTaskMemAlloc = true;
  LPWSTR name = reinterpret_cast<LPWSTR>(0xdeadbeef);
  EXPECT_EQ(provider->lpVtbl->DisplayName(provider, &name), E_OUTOFMEMORY);
  EXPECT_EQ(name, nullptr);
  EXPECT_EQ(provider->lpVtbl->DisplayName(provider, nullptr), E_POINTER);
  EXPECT_EQ(gWatch.taskAllocSizes.size(), 1u);
}

TEST_F(ProviderTest, CloseSessionChangesNothing) {
  for (ULONGLONG session : {0ull, 1ull, 0xFFFFFFFFFFFFFFFFull}) {
    provider->lpVtbl->CloseSession(provider, session);
  }
  EXPECT_EQ(AddRef(), 2u);
  Release();
  LPWSTR name = nullptr;
  ASSERT_EQ(provider->lpVtbl->DisplayName(provider, &name), S_OK);
  EXPECT_EQ(std::wstring(name), L"Kestrov Antivirus");
  CoTaskMemFree(name);
  FakeAmsiStream stream;  // no service: still a clean answer
  stream.SetContent(PatternBytes(10), true);
  AMSI_RESULT result = static_cast<AMSI_RESULT>(0);
  EXPECT_EQ(provider->lpVtbl->Scan(provider, stream.get(), &result), S_OK);
  EXPECT_EQ(result, AMSI_RESULT_NOT_DETECTED);
}

TEST_F(ProviderTest, ThreadsRacingOnOneObjectLeaveItsCountExact) {
  TestServiceScript script;
  script.instances = 16;
  TestService service;
  ASSERT_TRUE(service.Start(script));
  constexpr int Threads = 8;
  constexpr int Rounds = 2000;
  std::atomic<int> detected{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < Threads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < Rounds; ++i) {
        void* object = nullptr;
        provider->lpVtbl->AddRef(provider);
        provider->lpVtbl->QueryInterface(provider, IID_IAntimalwareProvider, &object);
        provider->lpVtbl->Release(provider);
        provider->lpVtbl->Release(provider);
        if (t % 2 == 0 && i % 500 == 0) {
          FakeAmsiStream stream;
          stream.SetContent(PatternBytes(256, static_cast<unsigned>(i)), true);
          AMSI_RESULT result = AMSI_RESULT_NOT_DETECTED;
          provider->lpVtbl->Scan(provider, stream.get(), &result);
          if (result == AMSI_RESULT_DETECTED) ++detected;
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(detected.load(), Threads / 2 * (Rounds / 500));
  EXPECT_TRUE(gWatch.freed.empty()) << "freed while references were held";
  EXPECT_EQ(AddRef(), 2u);
  EXPECT_EQ(Release(), 1u);
  EXPECT_EQ(dll.canUnloadNow(), S_FALSE);
}

}  // namespace
