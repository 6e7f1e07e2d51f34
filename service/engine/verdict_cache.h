// The verdict cache: the verdict and rule last given for a content, keyed by
// the SHA-256 of the content and its `truncated` flag, so that a repeated
// scan is answered without running the engines again.
//
// Bounded: at most `capacity` entries; storing one more evicts the least
// recently used (a hit counts as a use). Each entry lives `ttlSeconds` from
// when it was stored; an expired entry is a miss and goes. Capacity 0 or a
// time to live of 0 switches the cache off: nothing is stored or found. The
// service empties it (Clear, or Configure) on every reload of rules or
// configuration, since a verdict holds only for the rules that gave it.
//
// Time is a GetTickCount64 value passed in by the caller. Thread-safe.
//
// ContentHasher computes the SHA-256 incrementally with the platform's
// BCrypt primitives, as the content arrives in pieces.
#pragma once

#include "service/engine/engine_handles.h"

#include <windows.h>

#include <list>
#include <string>
#include <unordered_map>

struct ContentDigest {
  BYTE bytes[32];
};

// The SHA-256 algorithm provider, opened once and shared by every hasher
// (BCrypt allows hashes to be created from it on any thread at once).
class Sha256Algorithm {
 public:
  // False, with the NTSTATUS in `status`, when the platform refuses.
  bool Open(NTSTATUS* status);
  BCRYPT_ALG_HANDLE handle() const { return algorithm_.get(); }

 private:
  UniqueBcryptAlgorithm algorithm_;
};

// One content's SHA-256. A hasher that failed (Begin or a Feed) stays failed
// and its Finish returns false; the content is then simply not cached.
class ContentHasher {
 public:
  bool Begin(const Sha256Algorithm& algorithm);
  void Feed(const BYTE* bytes, size_t count);
  bool Finish(ContentDigest* digest);

 private:
  UniqueBcryptHash hash_;
  bool failed_ = true;
};

struct CacheKey {
  ContentDigest digest;
  bool truncated;
};

struct CachedVerdict {
  bool detected = false;
  std::string engine;  // which engine gave it ("rules", "clamd")
  std::string rule;    // the rule or signature name; empty when clean
};

class VerdictCache {
 public:
  VerdictCache(size_t capacity, DWORD ttlSeconds);
  VerdictCache(const VerdictCache&) = delete;
  VerdictCache& operator=(const VerdictCache&) = delete;

  // Takes new limits and empties the cache (a reload).
  void Configure(size_t capacity, DWORD ttlSeconds);
  void Clear();

  bool enabled() const;
  size_t size() const;

  // A verdict stored for `key` less than the time to live before `now`.
  bool Lookup(const CacheKey& key, ULONGLONG now, CachedVerdict* verdict);
  void Store(const CacheKey& key, const CachedVerdict& verdict, ULONGLONG now);

 private:
  struct Entry {
    CacheKey key;
    CachedVerdict verdict;
    ULONGLONG storedAt;
  };
  struct KeyHash {
    size_t operator()(const CacheKey& key) const;
  };
  struct KeyEqual {
    bool operator()(const CacheKey& a, const CacheKey& b) const;
  };
  using Recency = std::list<Entry>;  // most recently used first

  mutable SRWLOCK lock_ = SRWLOCK_INIT;
  size_t capacity_;      // under lock_
  ULONGLONG ttlMs_;      // under lock_
  Recency recency_;      // under lock_
  std::unordered_map<CacheKey, Recency::iterator, KeyHash, KeyEqual> index_;  // under lock_
};
