// Base64, MD5, identifiers, random names, byte units and hexadecimal dumps.
#include <ctime>
#include <regex>

#include <gtest/gtest.h>

#include "common/subprocess.h"
#include "support/test_support.h"
#include "tool/encoding.h"

namespace {

using namespace tool;

TEST(EncodingTest, Base64KnownVectors) {
  struct Case {
    std::string data, text;
  };
  const Case cases[] = {
      {"", ""},
      {"f", "Zg=="},
      {"fo", "Zm8="},
      {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="},
      {"fooba", "Zm9vYmE="},
      {"foobar", "Zm9vYmFy"},
      {std::string("\0\xff\0", 3), "AP8A"},
      {std::string("\xfb\xff", 2), "+/8="},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Base64Encode(c.data), c.text);
    EXPECT_EQ(Base64Decode(c.text), c.data) << c.text;
  }
}

TEST(EncodingTest, Base64RefusesWhatIsNotBase64) {
  for (const std::string bad : {"Zm9", "Zm9vY", "Zm9vYm",
                                "Zm9v\x80"
                                "AAA",
                                "Zm9v!AAA", "Zm 9", "Zm9v\xffg=="}) {
    EXPECT_EQ(Base64Decode(bad), "") << bad;
  }
  // "=" counts as zero bits wherever it stands; only the last two shorten.
  EXPECT_EQ(Base64Decode("Z=9v"), std::string("\x64\x0f\x6f", 3));
  EXPECT_EQ(Base64Decode("Zg==").size(), 1u);
}

TEST(EncodingTest, Base64AgreesWithTheBase64Tool) {
  // Each length modulo 3, long enough that the whole groups run long.
  qel::test::TempDir dir;
  for (std::size_t size : {300000, 300001, 300002}) {
    std::string data(size, '\0');
    for (std::size_t i = 0; i < size; ++i) data[i] = static_cast<char>((i * 167 + i / 253) & 0xFF);
    const std::string path = dir.file("data" + std::to_string(size));
    qel::test::writeFile(path, data);
    const qel::CapturedRun run = qel::runAndCapture({"base64", "-w", "0", path}, false);
    ASSERT_TRUE(run.started && run.exitCode == 0) << run.error << run.output;
    EXPECT_EQ(Base64Encode(data), run.output) << size;
    EXPECT_EQ(Base64Decode(run.output), data) << size;
  }
}

TEST(EncodingTest, Md5KnownVectors) {
  struct Case {
    std::string text, digest;
  };
  const Case cases[] = {
      {"", "d41d8cd98f00b204e9800998ecf8427e"},
      {"a", "0cc175b9c0f1b6a831c399e269772661"},
      {"abc", "900150983cd24fb0d6963f7d28e17f72"},
      {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
      {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
      {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", "d174ab98d277d9f5a5611c2c9f419d9f"},
      {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
       "57edf4a22be3c955ac49da2e2107b67a"},
      {std::string(55, 'a'), "ef1772b6dff9a122358552954ad0df65"},
      {std::string(56, 'a'), "3b0c8ac703f828b04c6c197006d17218"},
      {std::string(64, 'a'), "014842d480b571495a4a0363793f7367"},
      {std::string("\0\x01\0", 3), "418f2796e56f1a882529d8be1664eed0"},
  };
  for (const Case& c : cases) EXPECT_EQ(MD5Hash(c.text, 32), c.digest) << c.text;
  EXPECT_EQ(MD5Hash("abc", 8), "90015098");
  EXPECT_EQ(MD5Hash("abc", 100), "900150983cd24fb0d6963f7d28e17f72");
  EXPECT_EQ(MD5Hash("abc", 0), "");
  EXPECT_EQ(MD5Hash("abc", -1), "");
}

TEST(EncodingTest, IdentifierShapes) {
  const std::regex lower("^[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}$");
  const std::regex upper("^[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}$");
  std::string guid = GenerateGuidString();
  EXPECT_TRUE(std::regex_match(guid, lower)) << guid;
  EXPECT_NE(GenerateGuidString(), guid);
  std::string uuid = Uuid(false);
  EXPECT_TRUE(std::regex_match(uuid, lower)) << uuid;
  std::string big = Uuid(true);
  EXPECT_TRUE(std::regex_match(big, upper)) << big;
  EXPECT_NE(Uuid(false), uuid);
}

TEST(EncodingTest, RandomNames) {
  EXPECT_EQ(GetRandomName(0), "");
  EXPECT_EQ(GetRandomName(-3), "");
  std::string first, second;
  time_t before, after;
  do {
    before = time(nullptr);
    first = GetRandomName(24);
    second = GetRandomName(24);
    after = time(nullptr);
  } while (before != after);
  EXPECT_EQ(first, second);
  EXPECT_EQ(first.size(), 24u);
  EXPECT_EQ(first.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"),
            std::string::npos);
}

TEST(EncodingTest, ByteUnits) {
  struct Case {
    uint64_t bytes;
    int unit_size;
    double value;
    const char* unit;  // what `unit` holds afterwards (it starts as "?")
  };
  const Case cases[] = {
      {1024, 8, 1024.0, "bytes"},
      {1025, 8, 1025.0 / 1024, "KB"},
      {1572864, 8, 1.5, "MB"},
      {1048577, 8, 1048577.0 / 1024, "KB"},
      {2097153, 8, 2097153.0 / 1048576, "MB"},
      {1048576, 8, 1024.0, "KB"},
      {0, 8, 0.0, "bytes"},
      {1025, 2, 1025.0 / 1024, "?"},
      {1025, 3, 1025.0 / 1024, "KB"},
      {1025ULL << 40, 8, 1025.0 / 1024, "?"},
      {UINT64_MAX, 8, 18446744073709551615.0 / 1152921504606846976.0, "?"},
  };
  for (const Case& c : cases) {
    char unit[8] = "?";
    EXPECT_DOUBLE_EQ(ConvertBytesUnit(c.bytes, unit, c.unit_size), c.value) << c.bytes;
    EXPECT_STREQ(unit, c.unit) << c.bytes;
  }
  EXPECT_DOUBLE_EQ(ConvertBytesUnit(2048, nullptr, 8), 2.0);
}

TEST(EncodingTest, HexDump) {
  const uint8_t bytes[] = {0x01, 0xAB, 0x00, 0xFF, 0x10};
  EXPECT_EQ(Data2HexString(bytes, 4), "01ab00ff ");
  EXPECT_EQ(Data2HexString(bytes, 5), "01ab00ff 10");
  EXPECT_EQ(Data2HexString(bytes, 0), "");
  EXPECT_EQ(Data2HexString(nullptr, 4), "");
  EXPECT_EQ(Data2HexString(bytes, -1), "");
}

}  // namespace
