#include "tool/md5.h"

#include <bit>
#include <cstring>

namespace tool::text_internal {

namespace {

uint32_t LoadLittle(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap32(v);
  return v;
}

// The four step kinds of RFC 1321, each with its rotation as a constant so
// that the 64 steps below compile to straight-line code without a branch.
// G is written with a sum of disjoint terms, which the processor can work on
// before b is known.
template <int S>
inline uint32_t Step1(uint32_t a, uint32_t b, uint32_t c, uint32_t d, uint32_t m, uint32_t k) {
  return std::rotl(a + (d ^ (b & (c ^ d))) + m + k, S) + b;
}
template <int S>
inline uint32_t Step2(uint32_t a, uint32_t b, uint32_t c, uint32_t d, uint32_t m, uint32_t k) {
  return std::rotl(a + m + k + (c & ~d) + (b & d), S) + b;
}
template <int S>
inline uint32_t Step3(uint32_t a, uint32_t b, uint32_t c, uint32_t d, uint32_t m, uint32_t k) {
  return std::rotl(a + (b ^ c ^ d) + m + k, S) + b;
}
template <int S>
inline uint32_t Step4(uint32_t a, uint32_t b, uint32_t c, uint32_t d, uint32_t m, uint32_t k) {
  return std::rotl(a + (c ^ (b | ~d)) + m + k, S) + b;
}

// Folds `count` whole 64-byte blocks into the state.
void Blocks(uint32_t state[4], const uint8_t* data, std::size_t count) {
  uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
  for (; count != 0; --count, data += 64) {
    uint32_t m[16];
    for (int i = 0; i < 16; ++i) m[i] = LoadLittle(data + 4 * i);
    const uint32_t a0 = a, b0 = b, c0 = c, d0 = d;
    a = Step1<7>(a, b, c, d, m[0], 0xd76aa478);
    d = Step1<12>(d, a, b, c, m[1], 0xe8c7b756);
    c = Step1<17>(c, d, a, b, m[2], 0x242070db);
    b = Step1<22>(b, c, d, a, m[3], 0xc1bdceee);
    a = Step1<7>(a, b, c, d, m[4], 0xf57c0faf);
    d = Step1<12>(d, a, b, c, m[5], 0x4787c62a);
    c = Step1<17>(c, d, a, b, m[6], 0xa8304613);
    b = Step1<22>(b, c, d, a, m[7], 0xfd469501);
    a = Step1<7>(a, b, c, d, m[8], 0x698098d8);
    d = Step1<12>(d, a, b, c, m[9], 0x8b44f7af);
    c = Step1<17>(c, d, a, b, m[10], 0xffff5bb1);
    b = Step1<22>(b, c, d, a, m[11], 0x895cd7be);
    a = Step1<7>(a, b, c, d, m[12], 0x6b901122);
    d = Step1<12>(d, a, b, c, m[13], 0xfd987193);
    c = Step1<17>(c, d, a, b, m[14], 0xa679438e);
    b = Step1<22>(b, c, d, a, m[15], 0x49b40821);

    a = Step2<5>(a, b, c, d, m[1], 0xf61e2562);
    d = Step2<9>(d, a, b, c, m[6], 0xc040b340);
    c = Step2<14>(c, d, a, b, m[11], 0x265e5a51);
    b = Step2<20>(b, c, d, a, m[0], 0xe9b6c7aa);
    a = Step2<5>(a, b, c, d, m[5], 0xd62f105d);
    d = Step2<9>(d, a, b, c, m[10], 0x02441453);
    c = Step2<14>(c, d, a, b, m[15], 0xd8a1e681);
    b = Step2<20>(b, c, d, a, m[4], 0xe7d3fbc8);
    a = Step2<5>(a, b, c, d, m[9], 0x21e1cde6);
    d = Step2<9>(d, a, b, c, m[14], 0xc33707d6);
    c = Step2<14>(c, d, a, b, m[3], 0xf4d50d87);
    b = Step2<20>(b, c, d, a, m[8], 0x455a14ed);
    a = Step2<5>(a, b, c, d, m[13], 0xa9e3e905);
    d = Step2<9>(d, a, b, c, m[2], 0xfcefa3f8);
    c = Step2<14>(c, d, a, b, m[7], 0x676f02d9);
    b = Step2<20>(b, c, d, a, m[12], 0x8d2a4c8a);

    a = Step3<4>(a, b, c, d, m[5], 0xfffa3942);
    d = Step3<11>(d, a, b, c, m[8], 0x8771f681);
    c = Step3<16>(c, d, a, b, m[11], 0x6d9d6122);
    b = Step3<23>(b, c, d, a, m[14], 0xfde5380c);
    a = Step3<4>(a, b, c, d, m[1], 0xa4beea44);
    d = Step3<11>(d, a, b, c, m[4], 0x4bdecfa9);
    c = Step3<16>(c, d, a, b, m[7], 0xf6bb4b60);
    b = Step3<23>(b, c, d, a, m[10], 0xbebfbc70);
    a = Step3<4>(a, b, c, d, m[13], 0x289b7ec6);
    d = Step3<11>(d, a, b, c, m[0], 0xeaa127fa);
    c = Step3<16>(c, d, a, b, m[3], 0xd4ef3085);
    b = Step3<23>(b, c, d, a, m[6], 0x04881d05);
    a = Step3<4>(a, b, c, d, m[9], 0xd9d4d039);
    d = Step3<11>(d, a, b, c, m[12], 0xe6db99e5);
    c = Step3<16>(c, d, a, b, m[15], 0x1fa27cf8);
    b = Step3<23>(b, c, d, a, m[2], 0xc4ac5665);

    a = Step4<6>(a, b, c, d, m[0], 0xf4292244);
    d = Step4<10>(d, a, b, c, m[7], 0x432aff97);
    c = Step4<15>(c, d, a, b, m[14], 0xab9423a7);
    b = Step4<21>(b, c, d, a, m[5], 0xfc93a039);
    a = Step4<6>(a, b, c, d, m[12], 0x655b59c3);
    d = Step4<10>(d, a, b, c, m[3], 0x8f0ccc92);
    c = Step4<15>(c, d, a, b, m[10], 0xffeff47d);
    b = Step4<21>(b, c, d, a, m[1], 0x85845dd1);
    a = Step4<6>(a, b, c, d, m[8], 0x6fa87e4f);
    d = Step4<10>(d, a, b, c, m[15], 0xfe2ce6e0);
    c = Step4<15>(c, d, a, b, m[6], 0xa3014314);
    b = Step4<21>(b, c, d, a, m[13], 0x4e0811a1);
    a = Step4<6>(a, b, c, d, m[4], 0xf7537e82);
    d = Step4<10>(d, a, b, c, m[11], 0xbd3af235);
    c = Step4<15>(c, d, a, b, m[2], 0x2ad7d2bb);
    b = Step4<21>(b, c, d, a, m[9], 0xeb86d391);

    a += a0;
    b += b0;
    c += c0;
    d += d0;
  }
  state[0] = a;
  state[1] = b;
  state[2] = c;
  state[3] = d;
}

}  // namespace

Md5::Md5() : state_{0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476}, pending_{} {}

void Md5::Update(const void* data, std::size_t size) {
  const auto* bytes = static_cast<const uint8_t*>(data);
  length_ += size;
  if (pending_size_ != 0) {
    const std::size_t take = size < 64 - pending_size_ ? size : 64 - pending_size_;
    std::memcpy(pending_ + pending_size_, bytes, take);
    pending_size_ += take;
    bytes += take;
    size -= take;
    if (pending_size_ < 64) return;
    Blocks(state_, pending_, 1);
    pending_size_ = 0;
  }
  // Whole blocks straight from the caller's buffer; only a tail is kept.
  Blocks(state_, bytes, size / 64);
  pending_size_ = size % 64;
  if (pending_size_ != 0) std::memcpy(pending_, bytes + size - pending_size_, pending_size_);
}

Md5Value Md5::Final() {
  // A 0x80 byte, zeros up to 56 bytes modulo 64, and the length in bits
  // (little-endian), in one or two final blocks.
  const uint64_t bits = length_ * 8;
  uint8_t tail[128] = {};
  std::memcpy(tail, pending_, pending_size_);
  tail[pending_size_] = 0x80;
  const std::size_t tail_size = pending_size_ < 56 ? 64 : 128;
  for (int i = 0; i < 8; ++i) tail[tail_size - 8 + static_cast<std::size_t>(i)] = static_cast<uint8_t>(bits >> (8 * i));
  Blocks(state_, tail, tail_size / 64);
  Md5Value digest{};
  for (std::size_t i = 0; i < 16; ++i) digest[i] = static_cast<uint8_t>(state_[i / 4] >> (8 * (i % 4)));
  return digest;
}

Md5Value Md5Digest(const void* data, std::size_t size) {
  Md5 md5;
  md5.Update(data, size);
  return md5.Final();
}

std::string Md5Text(const Md5Value& digest, int length) {
  if (length <= 0) return std::string();
  static constexpr char kHex[] = "0123456789abcdef";
  char text[32];
  for (std::size_t i = 0; i < 16; ++i) {
    text[2 * i] = kHex[digest[i] >> 4];
    text[2 * i + 1] = kHex[digest[i] & 15];
  }
  return std::string(text, length < 32 ? static_cast<std::size_t>(length) : 32);
}

}  // namespace tool::text_internal
