#include "values/siphash.h"

#include <cstring>

namespace velk::py {

namespace {

constexpr uint64_t rotl(uint64_t x, int b) { return (x << b) | (x >> (64 - b)); }

struct SipState {
  uint64_t v0, v1, v2, v3;

  void round() noexcept {
    v0 += v1;
    v1 = rotl(v1, 13);
    v1 ^= v0;
    v0 = rotl(v0, 32);
    v2 += v3;
    v3 = rotl(v3, 16);
    v3 ^= v2;
    v0 += v3;
    v3 = rotl(v3, 21);
    v3 ^= v0;
    v2 += v1;
    v1 = rotl(v1, 17);
    v1 ^= v2;
    v2 = rotl(v2, 32);
  }
  template <int Rounds>
  void absorb(uint64_t m) noexcept {
    v3 ^= m;
    for (int i = 0; i < Rounds; ++i) round();
    v0 ^= m;
  }
};

uint64_t load_le64(const unsigned char* p) noexcept {
  uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}

// Compression rounds per 8-byte word, then finalisation rounds.
template <int C, int D>
uint64_t siphash(uint64_t k0, uint64_t k1, const unsigned char* data, size_t length) noexcept {
  SipState s{k0 ^ 0x736f6d6570736575ULL, k1 ^ 0x646f72616e646f6dULL, k0 ^ 0x6c7967656e657261ULL,
             k1 ^ 0x7465646279746573ULL};
  const size_t whole = length & ~size_t(7);
  for (size_t i = 0; i < whole; i += 8) s.absorb<C>(load_le64(data + i));
  uint64_t last = uint64_t(length & 0xff) << 56;
  for (size_t i = whole; i < length; ++i) last |= uint64_t(data[i]) << (8 * (i - whole));
  s.absorb<C>(last);
  s.v2 ^= 0xff;
  for (int i = 0; i < D; ++i) s.round();
  return s.v0 ^ s.v1 ^ s.v2 ^ s.v3;
}

}  // namespace

uint64_t siphash13(uint64_t k0, uint64_t k1, const unsigned char* data, size_t length) noexcept {
  return siphash<1, 3>(k0, k1, data, length);
}

uint64_t siphash24(uint64_t k0, uint64_t k1, const unsigned char* data, size_t length) noexcept {
  return siphash<2, 4>(k0, k1, data, length);
}

}  // namespace velk::py
