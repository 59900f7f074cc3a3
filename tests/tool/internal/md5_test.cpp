// The MD5 digest fed in pieces: every way of cutting the input gives the
// digest of the whole.
#include <gtest/gtest.h>

#include "tool/md5.h"

namespace {

using namespace tool::text_internal;

TEST(Md5Test, PiecesGiveTheDigestOfTheWhole) {
  std::string data(700, '\0');
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>((i * 97 + 13) & 0xFF);
  // Cuts inside a block, on block boundaries, with empty pieces, and pieces
  // that complete a pending block and then carry whole blocks and a tail.
  const std::vector<std::vector<std::size_t>> cuts = {
      {0}, {1}, {63}, {64}, {65}, {0, 0, 0}, {1, 1, 1, 1, 1}, {63, 1, 64}, {10, 200, 3}, {55, 1, 1, 129}, {128, 127}};
  for (std::size_t total : {0, 1, 55, 56, 64, 119, 120, 128, 129, 700}) {
    const std::string whole = data.substr(0, total);
    const Md5Value expected = Md5Digest(whole.data(), whole.size());
    for (const auto& pieces : cuts) {
      Md5 md5;
      std::size_t at = 0;
      for (std::size_t piece : pieces) {
        const std::size_t n = std::min(piece, total - at);
        md5.Update(whole.data() + at, n);
        at += n;
      }
      md5.Update(whole.data() + at, total - at);
      EXPECT_EQ(md5.Final(), expected) << total << " bytes, first piece " << pieces[0];
    }
  }
  EXPECT_EQ(Md5Text(Md5Digest("abc", 3), 32), "900150983cd24fb0d6963f7d28e17f72");
}

}  // namespace
