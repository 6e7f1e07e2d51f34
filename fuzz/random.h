// A small seeded generator: the same seed gives the same cases on every
// machine and architecture.
#pragma once

#include <cstdint>

class Random {
 public:
  explicit Random(uint64_t seed) : state_(seed) {}

  // splitmix64
  uint64_t Next() {
    uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  // Uniform in [0, bound); 0 for a bound of 0.
  uint32_t Below(uint32_t bound) {
    return bound == 0 ? 0 : static_cast<uint32_t>(Next() % bound);
  }
  // Uniform in [low, high].
  uint32_t Between(uint32_t low, uint32_t high) { return low + Below(high - low + 1); }
  // True with `percent` per cent.
  bool Chance(uint32_t percent) { return Below(100) < percent; }

 private:
  uint64_t state_;
};

// The seed of case `index` of a run: each case can be replayed on its own.
inline uint64_t CaseSeed(uint64_t runSeed, uint64_t index) {
  Random mix(runSeed ^ (index * 0xD1B54A32D192ED03ull));
  return mix.Next();
}
