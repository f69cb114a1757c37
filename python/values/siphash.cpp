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
  void absorb(uint64_t m) noexcept {
    v3 ^= m;
    round();  // one compression round
    v0 ^= m;
  }
};

uint64_t load_le64(const unsigned char* p) noexcept {
  uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}

}  // namespace

uint64_t siphash13(uint64_t k0, uint64_t k1, const unsigned char* data, size_t length) noexcept {
  SipState s{k0 ^ 0x736f6d6570736575ULL, k1 ^ 0x646f72616e646f6dULL, k0 ^ 0x6c7967656e657261ULL,
             k1 ^ 0x7465646279746573ULL};
  const size_t whole = length & ~size_t(7);
  for (size_t i = 0; i < whole; i += 8) s.absorb(load_le64(data + i));
  uint64_t last = uint64_t(length & 0xff) << 56;
  for (size_t i = whole; i < length; ++i) last |= uint64_t(data[i]) << (8 * (i - whole));
  s.absorb(last);
  s.v2 ^= 0xff;
  for (int i = 0; i < 3; ++i) s.round();  // three finalisation rounds
  return s.v0 ^ s.v1 ^ s.v2 ^ s.v3;
}

}  // namespace velk::py
