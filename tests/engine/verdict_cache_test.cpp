#include "service/engine/verdict_cache.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <thread>
#include <vector>

namespace {

std::string Hex(const ContentDigest& digest) {
  std::string hex;
  char pair[3];
  for (const BYTE b : digest.bytes) {
    snprintf(pair, sizeof pair, "%02x", b);
    hex += pair;
  }
  return hex;
}

class ContentHasherTest : public testing::Test {
 protected:
  void SetUp() override {
    NTSTATUS status = 0;
    ASSERT_TRUE(algorithm_.Open(&status)) << "status " << status;
  }

  // The digest of `content` fed in pieces of the sizes in `pieces`, repeated.
  std::string Digest(const std::string& content, const std::vector<size_t>& pieces) {
    ContentHasher hasher;
    EXPECT_TRUE(hasher.Begin(algorithm_));
    size_t at = 0;
    for (size_t i = 0; at < content.size(); ++i) {
      size_t piece = pieces.empty() ? content.size() : pieces[i % pieces.size()];
      if (piece > content.size() - at) piece = content.size() - at;
      hasher.Feed(reinterpret_cast<const BYTE*>(content.data()) + at, piece);
      at += piece;
    }
    ContentDigest digest;
    EXPECT_TRUE(hasher.Finish(&digest));
    return Hex(digest);
  }

  Sha256Algorithm algorithm_;
};

TEST_F(ContentHasherTest, GivesTheKnownDigests) {
  struct {
    std::string content;
    const char* digest;
  } const vectors[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {std::string(1000000, 'a'),
       "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
  };
  for (const auto& v : vectors) {
    EXPECT_EQ(Digest(v.content, {}), v.digest) << v.content.size() << " bytes in one piece";
    EXPECT_EQ(Digest(v.content, {1, 7, 4096, 65535}), v.digest)
        << v.content.size() << " bytes in odd pieces";
  }
}

TEST_F(ContentHasherTest, DoesNotDependOnHowTheContentIsCut) {
  std::string pattern(1 << 20, '\0');
  for (size_t i = 0; i < pattern.size(); ++i) pattern[i] = static_cast<char>((i * 131 + i / 977) & 0xFF);
  const std::string whole = Digest(pattern, {});
  EXPECT_EQ(Digest(pattern, {3}), whole);
  EXPECT_EQ(Digest(pattern, {65537, 1, 333}), whole);
  pattern[pattern.size() / 2] ^= 1;
  EXPECT_NE(Digest(pattern, {65537, 1, 333}), whole) << "one changed bit changes the digest";
}

TEST_F(ContentHasherTest, HashersAreIndependentAndReusable) {
  ContentHasher first;
  ContentHasher second;
  ASSERT_TRUE(first.Begin(algorithm_));
  ASSERT_TRUE(second.Begin(algorithm_));
  first.Feed(reinterpret_cast<const BYTE*>("ab"), 2);
  second.Feed(reinterpret_cast<const BYTE*>("xyz"), 3);
  first.Feed(reinterpret_cast<const BYTE*>("c"), 1);
  ContentDigest digest;
  ASSERT_TRUE(first.Finish(&digest));
  EXPECT_EQ(Hex(digest), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_FALSE(first.Finish(&digest)) << "a finished hasher needs Begin again";
  ASSERT_TRUE(first.Begin(algorithm_));
  ASSERT_TRUE(first.Finish(&digest));
  EXPECT_EQ(Hex(digest), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  ASSERT_TRUE(second.Finish(&digest));
  EXPECT_NE(Hex(digest), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

TEST(ContentHasherWithoutAlgorithmTest, Fails) {
  Sha256Algorithm unopened;
  ContentHasher hasher;
  EXPECT_FALSE(hasher.Begin(unopened));
  hasher.Feed(reinterpret_cast<const BYTE*>("abc"), 3);
  ContentDigest digest;
  EXPECT_FALSE(hasher.Finish(&digest));
}

CacheKey Key(int n, bool truncated = false) {
  CacheKey key{};
  for (size_t i = 0; i < sizeof key.digest.bytes; ++i) {
    key.digest.bytes[i] = static_cast<BYTE>(n * 37 + static_cast<int>(i));
  }
  key.truncated = truncated;
  return key;
}

CachedVerdict Verdict(const char* rule) {
  CachedVerdict verdict;
  verdict.detected = rule[0] != '\0';
  verdict.engine = "clamd";
  verdict.rule = rule;
  return verdict;
}

constexpr ULONGLONG T0 = 5000000;

TEST(VerdictCacheTest, FindsWhatWasStoredUnderTheSameKeyOnly) {
  VerdictCache cache(16, 60);
  EXPECT_TRUE(cache.enabled());
  CachedVerdict found;
  EXPECT_FALSE(cache.Lookup(Key(1), T0, &found));
  cache.Store(Key(1), Verdict("YARA.Kestrov_PS_Downloader.UNOFFICIAL"), T0);
  ASSERT_TRUE(cache.Lookup(Key(1), T0 + 1, &found));
  EXPECT_TRUE(found.detected);
  EXPECT_EQ(found.engine, "clamd");
  EXPECT_EQ(found.rule, "YARA.Kestrov_PS_Downloader.UNOFFICIAL");
  EXPECT_FALSE(cache.Lookup(Key(1, true), T0 + 1, &found)) << "truncated is part of the key";
  EXPECT_FALSE(cache.Lookup(Key(2), T0 + 1, &found));
  CacheKey oneBitOff = Key(1);
  oneBitOff.digest.bytes[31] ^= 0x80;
  EXPECT_FALSE(cache.Lookup(oneBitOff, T0 + 1, &found)) << "the whole digest is compared";

  cache.Store(Key(1, true), Verdict(""), T0);
  ASSERT_TRUE(cache.Lookup(Key(1, true), T0 + 1, &found));
  EXPECT_FALSE(found.detected);
  ASSERT_TRUE(cache.Lookup(Key(1), T0 + 1, &found));
  EXPECT_TRUE(found.detected) << "the two keys are separate entries";
  EXPECT_EQ(cache.size(), 2u);
}

TEST(VerdictCacheTest, StoringAgainReplacesTheVerdict) {
  VerdictCache cache(4, 60);
  cache.Store(Key(1), Verdict("First"), T0);
  cache.Store(Key(1), Verdict("Second"), T0 + 10);
  CachedVerdict found;
  ASSERT_TRUE(cache.Lookup(Key(1), T0 + 20, &found));
  EXPECT_EQ(found.rule, "Second");
  EXPECT_EQ(cache.size(), 1u);
}

TEST(VerdictCacheTest, EvictsTheLeastRecentlyUsedAtCapacity) {
  VerdictCache cache(3, 60);
  cache.Store(Key(1), Verdict("One"), T0);
  cache.Store(Key(2), Verdict("Two"), T0);
  cache.Store(Key(3), Verdict("Three"), T0);
  CachedVerdict found;
  ASSERT_TRUE(cache.Lookup(Key(1), T0, &found)) << "a use makes 1 the most recent";
  cache.Store(Key(4), Verdict("Four"), T0);
  EXPECT_EQ(cache.size(), 3u);
  EXPECT_FALSE(cache.Lookup(Key(2), T0, &found)) << "2 was the least recently used";
  EXPECT_TRUE(cache.Lookup(Key(1), T0, &found));
  EXPECT_TRUE(cache.Lookup(Key(3), T0, &found));
  EXPECT_TRUE(cache.Lookup(Key(4), T0, &found));
  // Now 3 is the oldest use: storing again over 1 keeps the rest.
  cache.Store(Key(1), Verdict("One again"), T0);
  cache.Store(Key(5), Verdict("Five"), T0);
  EXPECT_FALSE(cache.Lookup(Key(3), T0, &found));
  EXPECT_TRUE(cache.Lookup(Key(1), T0, &found));
  EXPECT_EQ(found.rule, "One again");
  EXPECT_EQ(cache.size(), 3u);
}

TEST(VerdictCacheTest, EntriesExpireAfterTheirTimeToLive) {
  VerdictCache cache(8, 10);
  cache.Store(Key(1), Verdict("One"), T0);
  cache.Store(Key(2), Verdict("Two"), T0 + 5000);
  CachedVerdict found;
  EXPECT_TRUE(cache.Lookup(Key(1), T0 + 9999, &found));
  EXPECT_FALSE(cache.Lookup(Key(1), T0 + 10000, &found)) << "10 s after it was stored";
  EXPECT_EQ(cache.size(), 1u) << "the expired entry went";
  EXPECT_FALSE(cache.Lookup(Key(1), T0 + 9999, &found)) << "and does not come back";
  EXPECT_TRUE(cache.Lookup(Key(2), T0 + 14999, &found)) << "a hit does not extend the life";
  EXPECT_FALSE(cache.Lookup(Key(2), T0 + 15000, &found));
  // Storing again starts a new life.
  cache.Store(Key(3), Verdict("Three"), T0);
  cache.Store(Key(3), Verdict("Three"), T0 + 8000);
  EXPECT_TRUE(cache.Lookup(Key(3), T0 + 17999, &found));
}

TEST(VerdictCacheTest, ClearAndConfigureEmptyIt) {
  VerdictCache cache(8, 60);
  cache.Store(Key(1), Verdict("One"), T0);
  cache.Store(Key(2), Verdict("Two"), T0);
  cache.Clear();
  EXPECT_EQ(cache.size(), 0u);
  CachedVerdict found;
  EXPECT_FALSE(cache.Lookup(Key(1), T0, &found));
  cache.Store(Key(1), Verdict("One"), T0);
  EXPECT_TRUE(cache.Lookup(Key(1), T0, &found)) << "a cleared cache works on";

  cache.Configure(2, 1);
  EXPECT_EQ(cache.size(), 0u) << "a reload empties the cache";
  cache.Store(Key(1), Verdict("One"), T0);
  cache.Store(Key(2), Verdict("Two"), T0);
  cache.Store(Key(3), Verdict("Three"), T0);
  EXPECT_EQ(cache.size(), 2u) << "the new capacity holds";
  EXPECT_FALSE(cache.Lookup(Key(3), T0 + 1000, &found)) << "the new time to live holds";
}

TEST(VerdictCacheTest, ZeroEntriesOrZeroTimeToLiveSwitchItOff) {
  for (const auto& limits : {std::pair<size_t, DWORD>{0, 60}, std::pair<size_t, DWORD>{8, 0}}) {
    VerdictCache cache(limits.first, limits.second);
    EXPECT_FALSE(cache.enabled());
    cache.Store(Key(1), Verdict("One"), T0);
    CachedVerdict found;
    EXPECT_FALSE(cache.Lookup(Key(1), T0, &found));
    EXPECT_EQ(cache.size(), 0u);
  }
  VerdictCache cache(8, 60);
  cache.Configure(0, 60);
  EXPECT_FALSE(cache.enabled());
  cache.Configure(1, 60);
  EXPECT_TRUE(cache.enabled());
}

TEST(VerdictCacheTest, StaysConsistentUnderConcurrentUse) {
  VerdictCache cache(64, 60);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&cache, t] {
      CachedVerdict found;
      for (int i = 0; i < 5000; ++i) {
        const int n = (i * 7 + t) % 200;
        if (cache.Lookup(Key(n), T0, &found)) {
          // A hit gives the verdict stored under that very key.
          if (found.rule != std::to_string(n)) ADD_FAILURE() << "wrong verdict for " << n;
        } else {
          cache.Store(Key(n), Verdict(std::to_string(n).c_str()), T0);
        }
        if (i % 1000 == 999 && t == 0) cache.Clear();
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_LE(cache.size(), 64u);
}

}  // namespace
