#include <gtest/gtest.h>

#include <string>

#include "md5.h"

namespace {

std::string Hex(const md5_byte_t d[16]) {
  static const char digits[] = "0123456789abcdef";
  std::string s;
  for (int i = 0; i < 16; ++i) {
    s += digits[d[i] >> 4];
    s += digits[d[i] & 15];
  }
  return s;
}

std::string Pieces(const std::string &text, const std::vector<int> &sizes) {
  md5_state_t st;
  md5_init(&st);
  size_t at = 0;
  for (int n : sizes) {
    md5_append(&st, reinterpret_cast<const md5_byte_t *>(text.data() + at), n);
    if (n > 0) at += size_t(n);
  }
  md5_append(&st, reinterpret_cast<const md5_byte_t *>(text.data() + at), int(text.size() - at));
  md5_byte_t d[16];
  md5_finish(&st, d);
  return Hex(d);
}

}  // namespace

TEST(Md5, Rfc1321TestSuite) {
  EXPECT_EQ(Md5Hex(""), "d41d8cd98f00b204e9800998ecf8427e");
  EXPECT_EQ(Md5Hex("a"), "0cc175b9c0f1b6a831c399e269772661");
  EXPECT_EQ(Md5Hex("abc"), "900150983cd24fb0d6963f7d28e17f72");
  EXPECT_EQ(Md5Hex("message digest"), "f96b697d7cb7938d525a2f31aaf161d0");
  EXPECT_EQ(Md5Hex("abcdefghijklmnopqrstuvwxyz"), "c3fcd3d76192e4007dfb496cca67e13b");
  EXPECT_EQ(Md5Hex("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"),
            "d174ab98d277d9f5a5611c2c9f419d9f");
  std::string digits;
  for (int i = 0; i < 8; ++i) digits += "1234567890";
  EXPECT_EQ(Md5Hex(digits), "57edf4a22be3c955ac49da2e2107b67a");
}

TEST(Md5, PaddingAtBlockBoundaries) {
  // 55 bytes pad with one byte; 56 need a whole extra block; 64 is exactly one block.
  EXPECT_EQ(Md5Hex(std::string(55, 'a')), "ef1772b6dff9a122358552954ad0df65");
  EXPECT_EQ(Md5Hex(std::string(56, 'a')), "3b0c8ac703f828b04c6c197006d17218");
  EXPECT_EQ(Md5Hex(std::string(64, 'a')), "014842d480b571495a4a0363793f7367");
  EXPECT_EQ(Md5Hex(std::string(1000, 'a')), "cabe45dcc9ae5b66ba86600cca6b8ba8");
}

TEST(Md5, PiecewiseAppendsGiveTheSameDigest) {
  std::string text;
  for (int i = 0; i < 300; ++i) text += char('A' + i % 53);
  const std::string whole = Md5Hex(text);
  EXPECT_EQ(Pieces(text, {}), whole);
  EXPECT_EQ(Pieces(text, {1, 2, 3, 5, 8, 13, 21, 34, 55}), whole);
  EXPECT_EQ(Pieces(text, {63, 1, 64, 65}), whole);
  EXPECT_EQ(Pieces(text, {0, -5, 100, 0, 120}), whole);  // empty and negative counts change nothing
}
