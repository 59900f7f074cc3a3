#include "tool/encoding.h"

#include <sys/mman.h>
#include <sys/random.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "tool/md5.h"
#include "tool/string_util.h"

namespace tool {

namespace {

constexpr char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr char kNameAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";

// The two characters of every 12-bit value: one lookup per half of a 3-byte
// group instead of one per character.
struct Base64Pairs {
  char pair[4096][2];
  constexpr Base64Pairs() : pair() {
    for (int i = 0; i < 4096; ++i) {
      pair[i][0] = kBase64[i >> 6];
      pair[i][1] = kBase64[i & 63];
    }
  }
};
constexpr Base64Pairs kPairs;

// Inverse of the alphabet, indexed by the unsigned byte: -1 outside it, 0 for "=".
struct Base64Inverse {
  signed char value[256];
  constexpr Base64Inverse() : value() {
    for (int i = 0; i < 256; ++i) value[i] = -1;
    for (int i = 0; i < 64; ++i) value[static_cast<unsigned char>(kBase64[i])] = static_cast<signed char>(i);
    value[static_cast<unsigned char>('=')] = 0;
  }
};
constexpr Base64Inverse kInverse;

// Makes `out` `size` bytes long (zeros), asking for huge pages behind a large
// result before its memory is first touched. Touching fresh memory costs one
// page fault per 4 KiB page, and where faults are dear (virtual machines) those
// faults, not the encoding, took most of the time; huge pages cut their number
// 512-fold. The request is only a hint: where huge pages are off nothing changes.
void SizeResult(std::string& out, std::size_t size) {
  constexpr std::size_t kHugePage = std::size_t{2} << 20;
  if (size >= 2 * kHugePage) {
    out.reserve(size);
    const auto begin = (reinterpret_cast<uintptr_t>(out.data()) + kHugePage - 1) & ~uintptr_t{kHugePage - 1};
    const auto end = (reinterpret_cast<uintptr_t>(out.data()) + size) & ~uintptr_t{kHugePage - 1};
    if (end > begin) ::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
  }
  out.resize(size);
}

// 16 random bytes shaped as a version-4, RFC 4122 variant identifier.
bool RandomIdentifier(uint8_t bytes[16]) {
  std::size_t got = 0;
  while (got < 16) {
    ssize_t n = getrandom(bytes + got, 16 - got, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    got += static_cast<std::size_t>(n);
  }
  bytes[6] = static_cast<uint8_t>((bytes[6] & 0x0F) | 0x40);
  bytes[8] = static_cast<uint8_t>((bytes[8] & 0x3F) | 0x80);
  return true;
}

std::string IdentifierText(const uint8_t b[16]) {
  char text[40];
  std::snprintf(text, sizeof text, "%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x", b[0], b[1],
                b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11], b[12], b[13], b[14], b[15]);
  return text;
}

}  // namespace

std::string Base64Encode(const std::string& data) {
  const std::size_t n = data.size();
  // Sized once and written through a pointer: appending character by
  // character costs a capacity check per character.
  std::string out;
  SizeResult(out, (n + 2) / 3 * 4);
  const auto* in = reinterpret_cast<const unsigned char*>(data.data());
  char* o = out.data();
  const unsigned char* const whole_end = in + n / 3 * 3;
  for (; in != whole_end; in += 3, o += 4) {
    const uint32_t v = static_cast<uint32_t>(in[0]) << 16 | static_cast<uint32_t>(in[1]) << 8 | in[2];
    std::memcpy(o, kPairs.pair[v >> 12], 2);
    std::memcpy(o + 2, kPairs.pair[v & 0xFFF], 2);
  }
  const std::size_t rest = n % 3;
  if (rest != 0) {
    const uint32_t v = static_cast<uint32_t>(in[0]) << 16 | (rest == 2 ? static_cast<uint32_t>(in[1]) << 8 : 0);
    o[0] = kBase64[v >> 18];
    o[1] = kBase64[(v >> 12) & 63];
    o[2] = rest == 2 ? kBase64[(v >> 6) & 63] : '=';
    o[3] = '=';
  }
  return out;
}

std::string Base64Decode(const std::string& text) {
  const std::size_t n = text.size();
  if (n == 0 || n % 4 != 0) return std::string();
  std::size_t length = n / 4 * 3;
  if (text[n - 1] == '=') --length;
  if (text[n - 2] == '=') --length;
  std::string out;
  SizeResult(out, length);
  const auto* in = reinterpret_cast<const unsigned char*>(text.data());
  char* o = out.data();
  for (std::size_t i = 0; i < n; i += 4) {
    const int d0 = kInverse.value[in[i]], d1 = kInverse.value[in[i + 1]];
    const int d2 = kInverse.value[in[i + 2]], d3 = kInverse.value[in[i + 3]];
    if ((d0 | d1 | d2 | d3) < 0) return std::string();  // not Base64 at all
    const auto v = static_cast<uint32_t>(d0 << 18 | d1 << 12 | d2 << 6 | d3);
    // Only the last group can hold fewer than three bytes of the output.
    const std::size_t at = i / 4 * 3;
    const std::size_t keep = length - at < 3 ? length - at : 3;
    if (keep > 0) o[at] = static_cast<char>(v >> 16);
    if (keep > 1) o[at + 1] = static_cast<char>((v >> 8) & 0xFF);
    if (keep > 2) o[at + 2] = static_cast<char>(v & 0xFF);
  }
  return out;
}

std::string MD5Hash(const std::string& text, int length) {
  if (length <= 0) return std::string();
  return text_internal::Md5Text(text_internal::Md5Digest(text.data(), text.size()), length);
}

std::string GenerateGuidString() {
  uint8_t bytes[16];
  if (!RandomIdentifier(bytes)) return std::string();
  return IdentifierText(bytes);
}

std::string Uuid(bool upper) {
  uint8_t bytes[16] = {};
  RandomIdentifier(bytes);
  std::string text = IdentifierText(bytes);
  return upper ? ToUpperCase(text) : text;
}

std::string GetRandomName(int length) {
  if (length < 1) return std::string();
  // A generator of its own, seeded with the second: equal names within one
  // second on any thread, and the program's rand() sequence is left alone.
  unsigned seed = static_cast<unsigned>(std::time(nullptr));
  std::string name;
  name.reserve(static_cast<std::size_t>(length));
  for (int i = 0; i < length; ++i) name += kNameAlphabet[rand_r(&seed) % 62];
  return name;
}

double ConvertBytesUnit(uint64_t bytes, char* const unit, int unit_size) {
  static const char* const kUnits[] = {"bytes", "KB", "MB", "GB", "TB"};
  int k = 0;
  while (k < 6 && (bytes >> (10 * k)) > 1024) ++k;
  if (unit != nullptr && unit_size >= 1 && k <= 4 && static_cast<std::size_t>(unit_size) > std::strlen(kUnits[k])) {
    std::memcpy(unit, kUnits[k], std::strlen(kUnits[k]) + 1);
  }
  double value = static_cast<double>(bytes);
  for (int i = 0; i < k; ++i) value /= 1024.0;
  return value;
}

std::string Data2HexString(const uint8_t* data, int length) {
  if (data == nullptr || length <= 0) return std::string();
  std::string text;
  text.reserve(static_cast<std::size_t>(length) * 2 + static_cast<std::size_t>(length) / 4);
  char hex[3];
  for (int i = 0; i < length; ++i) {
    std::snprintf(hex, sizeof hex, "%02x", data[i]);
    text += hex;
    if (i % 4 == 3) text += ' ';
  }
  return text;
}

}  // namespace tool
