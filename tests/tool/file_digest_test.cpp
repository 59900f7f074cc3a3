// MD5 digests of files read chunk by chunk, checked against md5sum.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include "common/subprocess.h"
#include "support/test_support.h"
#include "tool/encoding.h"
#include "tool/file_digest.h"
#include "tool/log_capture.h"

namespace {

using namespace tool;
using qel::test::TempDir;
using qel::test::writeFile;

constexpr std::size_t kChunk = 1048576;  // the read chunk

std::string Pattern(std::size_t size) {
  std::string data(size, '\0');
  for (std::size_t i = 0; i < size; ++i) data[i] = static_cast<char>((i * 131 + i / 251) & 0xFF);
  return data;
}

std::string Md5sum(const std::string& path) {
  const qel::CapturedRun run = qel::runAndCapture({"md5sum", path}, false);
  EXPECT_TRUE(run.started && run.exitCode == 0) << run.error << run.output;
  return run.output.substr(0, 32);
}

TEST(FileDigestTest, SameDigestAsMd5sumAroundBlockAndChunkBoundaries) {
  TempDir dir;
  // Around one and two 64-byte blocks (where the padding takes one or two
  // final blocks), and around the read chunk.
  const std::size_t sizes[] = {0,          1,      55,         56,          63,          64,
                               65,         119,    120,        127,         128,         129,
                               kChunk - 1, kChunk, kChunk + 1, kChunk + 55, kChunk + 56, 3 * kChunk + 100};
  for (std::size_t size : sizes) {
    const std::string path = dir.file("data" + std::to_string(size));
    const std::string data = Pattern(size);
    writeFile(path, data);
    const std::string digest = MD5HashFile(path, 32);
    EXPECT_EQ(digest, Md5sum(path)) << size;
    EXPECT_EQ(digest, MD5Hash(data, 32)) << size;
  }
}

TEST(FileDigestTest, LengthCutsTheDigestAndFailuresAreEmpty) {
  TempDir dir;
  writeFile(dir.file("abc"), "abc");
  EXPECT_EQ(MD5HashFile(dir.file("abc"), 8), "90015098");
  EXPECT_EQ(MD5HashFile(dir.file("abc"), 100), "900150983cd24fb0d6963f7d28e17f72");
  EXPECT_EQ(MD5HashFile(dir.file("abc"), 0), "");
  EXPECT_EQ(MD5HashFile(dir.file("abc"), -1), "");
  tool_test::LogCapture log;
  ASSERT_EQ(::mkdir(dir.file("folder").c_str(), 0755), 0);
  ASSERT_EQ(::mkfifo(dir.file("fifo").c_str(), 0644), 0);
  for (const std::string& path : {dir.file("missing"), dir.file("folder"), dir.file("fifo"), std::string("abc")}) {
    EXPECT_EQ(MD5HashFile(path, 32), "") << path;
    EXPECT_TRUE(log.contains("MD5HashFile '" + path + "' failed, the file can't be opened")) << path;
  }
}

}  // namespace
