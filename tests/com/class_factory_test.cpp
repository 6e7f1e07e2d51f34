#include "testkit/provider_dll.h"

#include "tests/support/patching_test.h"

#include <gtest/gtest.h>

namespace {

struct HeapWatch {
  decltype(&HeapAlloc) realAlloc = nullptr;
  bool failAlloc = false;
  size_t allocs = 0;
};
HeapWatch gHeapWatch;

LPVOID WINAPI WatchedHeapAlloc(HANDLE heap, DWORD flags, SIZE_T bytes) {
  ++gHeapWatch.allocs;
  if (gHeapWatch.failAlloc) return nullptr;
  return gHeapWatch.realAlloc(heap, flags, bytes);
}

class ClassFactoryTest : public PatchingTest {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dll.Load());
    moduleUnderTest = dll.module;
    gHeapWatch = HeapWatch();
    gHeapWatch.realAlloc = Patch("kernel32.dll", "HeapAlloc", &WatchedHeapAlloc);
    factory = dll.Factory();
    ASSERT_NE(factory, nullptr);
  }
  void TearDown() override {
    RestorePatches();
    if (factory != nullptr) factory->Release();
  }

  ProviderDll dll;
  IClassFactory* factory = nullptr;
};

TEST_F(ClassFactoryTest, QueryInterfaceServesOnlyUnknownAndClassFactory) {
  struct Case {
    const char* name;
    IID interfaceId;
    bool served;
  };
  const Case cases[] = {{"IUnknown", IID_IUnknown, true},
                        {"IClassFactory", IID_IClassFactory, true},
                        {"IAntimalwareProvider", IID_IAntimalwareProvider, false},
                        {"IAmsiStream", IID_IAmsiStream, false}};
  for (const Case& c : cases) {
    void* object = reinterpret_cast<void*>(0xdeadbeef);
    EXPECT_EQ(factory->QueryInterface(c.interfaceId, &object), c.served ? S_OK : E_NOINTERFACE)
        << c.name;
    EXPECT_EQ(object, c.served ? static_cast<void*>(factory) : nullptr) << c.name;
  }
  EXPECT_EQ(factory->QueryInterface(IID_IUnknown, nullptr), E_POINTER);
}

TEST_F(ClassFactoryTest, AddRefAndReleaseAreConstant) {
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(factory->AddRef(), 2u);
    EXPECT_EQ(factory->AddRef(), 2u);
    EXPECT_EQ(factory->Release(), 1u);
  }
  EXPECT_EQ(dll.canUnloadNow(), S_OK);
}

TEST_F(ClassFactoryTest, CreateInstanceHandsOutProvidersForTheirInterfaces) {
  for (const IID& interfaceId : {IID_IUnknown, IID_IAntimalwareProvider}) {
    void* object = nullptr;
    ASSERT_EQ(factory->CreateInstance(nullptr, interfaceId, &object), S_OK);
    ASSERT_NE(object, nullptr);
    auto* provider = static_cast<IAntimalwareProvider*>(object);
    EXPECT_EQ(provider->lpVtbl->AddRef(provider), 2u);
    EXPECT_EQ(dll.canUnloadNow(), S_FALSE);
    EXPECT_EQ(provider->lpVtbl->Release(provider), 1u);
    EXPECT_EQ(provider->lpVtbl->Release(provider), 0u);
    EXPECT_EQ(dll.canUnloadNow(), S_OK);
  }
}

TEST_F(ClassFactoryTest, CreateInstanceRefusals) {
  IUnknown* outer = reinterpret_cast<IUnknown*>(factory);  // any non-null object
  struct Case {
    const char* name;
    IUnknown* outer;
    IID interfaceId;
    bool failHeap;
    HRESULT expected;
    size_t allocs;  // a refused interface allocates, and frees again
  };
  const Case cases[] = {
      {"aggregation", outer, IID_IAntimalwareProvider, false, CLASS_E_NOAGGREGATION, 0},
      {"aggregation asking for IUnknown", outer, IID_IUnknown, false, CLASS_E_NOAGGREGATION, 0},
      {"unsupported interface", nullptr, IID_IClassFactory, false, E_NOINTERFACE, 1},
      {"no memory", nullptr, IID_IAntimalwareProvider, true, E_OUTOFMEMORY, 1},
  };
  for (const Case& c : cases) {
    gHeapWatch.allocs = 0;
    gHeapWatch.failAlloc = c.failHeap;
    void* object = reinterpret_cast<void*>(0xdeadbeef);
    EXPECT_EQ(factory->CreateInstance(c.outer, c.interfaceId, &object), c.expected) << c.name;
    EXPECT_EQ(object, nullptr) << c.name;
    EXPECT_EQ(gHeapWatch.allocs, c.allocs) << c.name;
    EXPECT_EQ(dll.canUnloadNow(), S_OK) << c.name << ": an object was left counted";
  }
  gHeapWatch.failAlloc = false;
  gHeapWatch.allocs = 0;
  EXPECT_EQ(factory->CreateInstance(outer, IID_IUnknown, nullptr), E_POINTER);
  EXPECT_EQ(factory->CreateInstance(nullptr, IID_IUnknown, nullptr), E_POINTER);
  EXPECT_EQ(gHeapWatch.allocs, 0u);
}

}  // namespace
