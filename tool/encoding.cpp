#include "tool/encoding.h"

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
  std::snprintf(text, sizeof text, "%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x", b[0],
                b[1], b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11], b[12], b[13], b[14], b[15]);
  return text;
}

}  // namespace

std::string Base64Encode(const std::string& data) {
  std::string out;
  out.reserve((data.size() + 2) / 3 * 4);
  const auto* p = reinterpret_cast<const unsigned char*>(data.data());
  std::size_t n = data.size();
  std::size_t i = 0;
  for (; i + 3 <= n; i += 3) {
    uint32_t v = static_cast<uint32_t>(p[i]) << 16 | static_cast<uint32_t>(p[i + 1]) << 8 | p[i + 2];
    out += kBase64[v >> 18];
    out += kBase64[(v >> 12) & 63];
    out += kBase64[(v >> 6) & 63];
    out += kBase64[v & 63];
  }
  if (n - i == 1) {
    uint32_t v = static_cast<uint32_t>(p[i]) << 16;
    out += kBase64[v >> 18];
    out += kBase64[(v >> 12) & 63];
    out += "==";
  } else if (n - i == 2) {
    uint32_t v = static_cast<uint32_t>(p[i]) << 16 | static_cast<uint32_t>(p[i + 1]) << 8;
    out += kBase64[v >> 18];
    out += kBase64[(v >> 12) & 63];
    out += kBase64[(v >> 6) & 63];
    out += '=';
  }
  return out;
}

std::string Base64Decode(const std::string& text) {
  std::size_t n = text.size();
  if (n == 0 || n % 4 != 0) return std::string();
  std::size_t length = n / 4 * 3;
  if (text[n - 1] == '=') --length;
  if (text[n - 2] == '=') --length;
  std::string out;
  out.reserve(length);
  for (std::size_t i = 0; i < n; i += 4) {
    uint32_t v = 0;
    for (std::size_t k = 0; k < 4; ++k) {
      signed char digit = kInverse.value[static_cast<unsigned char>(text[i + k])];
      if (digit < 0) return std::string();  // not Base64 at all
      v = v << 6 | static_cast<uint32_t>(digit);
    }
    for (int shift = 16; shift >= 0 && out.size() < length; shift -= 8) out += static_cast<char>((v >> shift) & 0xFF);
  }
  return out;
}

std::string MD5Hash(const std::string& text, int length) {
  if (length <= 0) return std::string();
  auto digest = text_internal::Md5Digest(text.data(), text.size());
  char hex[33];
  for (int i = 0; i < 16; ++i) std::snprintf(hex + i * 2, 3, "%02x", digest[i]);
  return std::string(hex, length < 32 ? static_cast<std::size_t>(length) : 32);
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
