#include "host/load_engine.h"

#include "testkit/provider_dll.h"
#include "testkit/request_bytes.h"

#include <objbase.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <mutex>
#include <vector>

namespace {

// Records every call; the engine calls it from all of its threads at once.
class RecordingObserver : public ScanObserver {
 public:
  struct After {
    unsigned long scan;
    size_t provider;
    HRESULT hr;
    AMSI_RESULT result;
  };
  void BeforeScan(unsigned long scan) override {
    std::lock_guard<std::mutex> hold(lock_);
    before.push_back(scan);
  }
  void AfterScan(unsigned long scan, size_t provider, HRESULT hr, AMSI_RESULT result) override {
    std::lock_guard<std::mutex> hold(lock_);
    after.push_back({scan, provider, hr, result});
  }
  std::vector<unsigned long> before;
  std::vector<After> after;

 private:
  std::mutex lock_;
};

// The built provider, with no service running (the tests of this program
// hold the pipe name): every scan is answered "not detected" at once.
class LoadEngineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    initialized_ = SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED));
    providers_.resize(1);
    std::wstring failure;
    ASSERT_EQ(LoadBuiltProvider(&providers_[0], &failure), S_OK);
    const Bytes bytes = PatternBytes(3000);
    ASSERT_EQ(content_.Assign(bytes.data(), bytes.size()), S_OK);
  }
  void TearDown() override {
    providers_.clear();
    if (initialized_) CoUninitialize();
  }

  LoadSettings Settings(unsigned long scans, unsigned long threads, ScanObserver* observer) {
    LoadSettings settings;
    settings.providers = &providers_;
    settings.stream.content = &content_;
    settings.stream.appName = L"load-engine-test";
    settings.scans = scans;
    settings.threads = threads;
    settings.observer = observer;
    return settings;
  }

  std::vector<LoadedProvider> providers_;
  ScanContent content_;
  bool initialized_ = false;
};

TEST_F(LoadEngineTest, ObservesEveryScanOnceAndCountsItsResult) {
  RecordingObserver observer;
  LoadFigures figures;
  ASSERT_TRUE(RunLoad(Settings(37, 4, &observer), &figures));

  std::sort(observer.before.begin(), observer.before.end());
  std::vector<unsigned long> expected(37);
  for (unsigned long k = 0; k < 37; ++k) expected[k] = k;
  EXPECT_EQ(observer.before, expected);

  ASSERT_EQ(observer.after.size(), 37u);
  std::vector<unsigned long> afterScans;
  for (const auto& call : observer.after) {
    afterScans.push_back(call.scan);
    EXPECT_EQ(call.provider, 0u);
    EXPECT_EQ(call.hr, S_OK);
    EXPECT_EQ(call.result, AMSI_RESULT_NOT_DETECTED);
  }
  std::sort(afterScans.begin(), afterScans.end());
  EXPECT_EQ(afterScans, expected);

  ASSERT_EQ(figures.providers.size(), 1u);
  EXPECT_EQ(figures.providers[0].clean, 37);
  EXPECT_EQ(figures.providers[0].malware, 0);
  EXPECT_EQ(figures.providers[0].failed, 0);
  EXPECT_EQ(figures.threadsStarted, 4u);
  ASSERT_EQ(figures.latencyMs.size(), 37u);
  EXPECT_TRUE(std::is_sorted(figures.latencyMs.begin(), figures.latencyMs.end()));
  EXPECT_GT(figures.latencyMs.front(), 0.0);
}

TEST_F(LoadEngineTest, StartsNoMoreThreadsThanScans) {
  LoadFigures figures;
  ASSERT_TRUE(RunLoad(Settings(2, 8, nullptr), &figures));
  EXPECT_EQ(figures.threadsStarted, 2u);
  EXPECT_EQ(figures.providers[0].clean, 2);
  EXPECT_EQ(figures.latencyMs.size(), 2u);
}

}  // namespace
