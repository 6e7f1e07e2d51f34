#include "service/engine/verdict_cache.h"

#include <cstring>

namespace {

// BCryptHashData takes a ULONG count; larger pieces go in parts.
constexpr size_t MaxHashPart = 0x40000000;

bool Succeeded(NTSTATUS status) { return status >= 0; }

}  // namespace

bool Sha256Algorithm::Open(NTSTATUS* status) {
  BCRYPT_ALG_HANDLE algorithm = nullptr;
  *status = BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0);
  if (!Succeeded(*status)) return false;
  algorithm_.reset(algorithm);
  return true;
}

bool ContentHasher::Begin(const Sha256Algorithm& algorithm) {
  hash_.reset();
  failed_ = true;
  if (algorithm.handle() == nullptr) return false;
  BCRYPT_HASH_HANDLE hash = nullptr;
  // BCrypt keeps the hash object itself (no buffer of ours).
  if (!Succeeded(BCryptCreateHash(algorithm.handle(), &hash, nullptr, 0, nullptr, 0, 0))) {
    return false;
  }
  hash_.reset(hash);
  failed_ = false;
  return true;
}

void ContentHasher::Feed(const BYTE* bytes, size_t count) {
  while (!failed_ && count > 0) {
    const size_t part = count < MaxHashPart ? count : MaxHashPart;
    // BCryptHashData does not write the input; its parameter is not const.
    if (!Succeeded(BCryptHashData(hash_.get(), const_cast<BYTE*>(bytes),
                                  static_cast<ULONG>(part), 0))) {
      failed_ = true;
    }
    bytes += part;
    count -= part;
  }
}

bool ContentHasher::Finish(ContentDigest* digest) {
  const bool ok = !failed_ && Succeeded(BCryptFinishHash(hash_.get(), digest->bytes,
                                                         sizeof digest->bytes, 0));
  hash_.reset();
  failed_ = true;
  return ok;
}

size_t VerdictCache::KeyHash::operator()(const CacheKey& key) const {
  // The digest is already uniformly spread: its first bytes are the hash.
  size_t value = 0;
  memcpy(&value, key.digest.bytes, sizeof value);
  return value ^ static_cast<size_t>(key.truncated);
}

bool VerdictCache::KeyEqual::operator()(const CacheKey& a, const CacheKey& b) const {
  return a.truncated == b.truncated &&
         memcmp(a.digest.bytes, b.digest.bytes, sizeof a.digest.bytes) == 0;
}

VerdictCache::VerdictCache(size_t capacity, DWORD ttlSeconds)
    : capacity_(capacity), ttlMs_(static_cast<ULONGLONG>(ttlSeconds) * 1000) {}

void VerdictCache::Configure(size_t capacity, DWORD ttlSeconds) {
  ExclusiveLock hold(&lock_);
  capacity_ = capacity;
  ttlMs_ = static_cast<ULONGLONG>(ttlSeconds) * 1000;
  index_.clear();
  recency_.clear();
}

void VerdictCache::Clear() {
  ExclusiveLock hold(&lock_);
  index_.clear();
  recency_.clear();
}

bool VerdictCache::enabled() const {
  AcquireSRWLockShared(&lock_);
  const bool on = capacity_ > 0 && ttlMs_ > 0;
  ReleaseSRWLockShared(&lock_);
  return on;
}

size_t VerdictCache::size() const {
  AcquireSRWLockShared(&lock_);
  const size_t count = recency_.size();
  ReleaseSRWLockShared(&lock_);
  return count;
}

bool VerdictCache::Lookup(const CacheKey& key, ULONGLONG now, CachedVerdict* verdict) {
  ExclusiveLock hold(&lock_);
  const auto found = index_.find(key);
  if (found == index_.end()) return false;
  const Recency::iterator entry = found->second;
  if (now - entry->storedAt >= ttlMs_) {
    index_.erase(found);
    recency_.erase(entry);
    return false;
  }
  recency_.splice(recency_.begin(), recency_, entry);
  *verdict = entry->verdict;
  return true;
}

void VerdictCache::Store(const CacheKey& key, const CachedVerdict& verdict, ULONGLONG now) {
  ExclusiveLock hold(&lock_);
  if (capacity_ == 0 || ttlMs_ == 0) return;
  const auto found = index_.find(key);
  if (found != index_.end()) {
    found->second->verdict = verdict;
    found->second->storedAt = now;
    recency_.splice(recency_.begin(), recency_, found->second);
    return;
  }
  while (recency_.size() >= capacity_) {
    index_.erase(recency_.back().key);
    recency_.pop_back();
  }
  recency_.push_front(Entry{key, verdict, now});
  index_.emplace(key, recency_.begin());
}
