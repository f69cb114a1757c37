// SipHash-1-3 and SipHash-2-4 with a 128-bit key, over a short byte string.
#pragma once

#include <cstddef>
#include <cstdint>

namespace velk::py {

uint64_t siphash13(uint64_t k0, uint64_t k1, const unsigned char* data, size_t length) noexcept;
uint64_t siphash24(uint64_t k0, uint64_t k1, const unsigned char* data, size_t length) noexcept;

}  // namespace velk::py
