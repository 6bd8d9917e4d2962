#include "md5.h"

#include <cstdio>
#include <cstring>

namespace {

const md5_word_t kInit[4] = {0x67452301u, 0xefcdab89u, 0x98badcfeu, 0x10325476u};

// Sine-derived constants, one per step.
const md5_word_t kT[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391};

const int kShift[64] = {7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22,
                        5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20,
                        4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23,
                        6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21};

inline md5_word_t Rotl(md5_word_t v, int n) { return (v << n) | (v >> (32 - n)); }

void Process(md5_state_t *pms, const md5_byte_t *block) {
  md5_word_t X[16];
  for (int i = 0; i < 16; ++i) {
    X[i] = md5_word_t(block[i * 4]) | (md5_word_t(block[i * 4 + 1]) << 8) | (md5_word_t(block[i * 4 + 2]) << 16) |
           (md5_word_t(block[i * 4 + 3]) << 24);
  }
  md5_word_t a = pms->abcd[0], b = pms->abcd[1], c = pms->abcd[2], d = pms->abcd[3];
  for (int i = 0; i < 64; ++i) {
    md5_word_t f;
    int g;
    if (i < 16) {
      f = (b & c) | (~b & d);
      g = i;
    } else if (i < 32) {
      f = (b & d) | (c & ~d);
      g = (5 * i + 1) % 16;
    } else if (i < 48) {
      f = b ^ c ^ d;
      g = (3 * i + 5) % 16;
    } else {
      f = c ^ (b | ~d);
      g = (7 * i) % 16;
    }
    md5_word_t t = d;
    d = c;
    c = b;
    b = b + Rotl(a + f + kT[i] + X[g], kShift[i]);
    a = t;
  }
  pms->abcd[0] += a;
  pms->abcd[1] += b;
  pms->abcd[2] += c;
  pms->abcd[3] += d;
}

}  // namespace

void md5_init(md5_state_t *pms) {
  pms->count[0] = pms->count[1] = 0;
  std::memcpy(pms->abcd, kInit, sizeof kInit);
}

void md5_append(md5_state_t *pms, const md5_byte_t *data, int nbytes) {
  if (nbytes <= 0) return;
  const md5_byte_t *p = data;
  int left = nbytes;
  int offset = int((pms->count[0] >> 3) & 63);
  md5_word_t nbits = md5_word_t(nbytes) << 3;

  pms->count[1] += md5_word_t(nbytes) >> 29;
  pms->count[0] += nbits;
  if (pms->count[0] < nbits) pms->count[1]++;

  if (offset) {
    int copy = (offset + nbytes > 64 ? 64 - offset : nbytes);
    std::memcpy(pms->buf + offset, p, copy);
    if (offset + copy < 64) return;
    p += copy;
    left -= copy;
    Process(pms, pms->buf);
  }
  // Whole blocks straight from the caller's data.
  for (; left >= 64; p += 64, left -= 64) Process(pms, p);
  if (left) std::memcpy(pms->buf, p, left);
}

void md5_finish(md5_state_t *pms, md5_byte_t digest[16]) {
  static const md5_byte_t pad[64] = {0x80};
  md5_byte_t data[8];
  for (int i = 0; i < 8; ++i) data[i] = md5_byte_t(pms->count[i >> 2] >> ((i & 3) << 3));
  // Pad to 56 bytes mod 64: at least one byte, at most 64.
  md5_append(pms, pad, int(((55 - (pms->count[0] >> 3)) & 63) + 1));
  md5_append(pms, data, 8);
  for (int i = 0; i < 16; ++i) digest[i] = md5_byte_t(pms->abcd[i >> 2] >> ((i & 3) << 3));
}

std::string Md5Hex(const std::string &text) {
  md5_state_t st;
  md5_byte_t digest[16];
  md5_init(&st);
  md5_append(&st, reinterpret_cast<const md5_byte_t *>(text.data()), int(text.size()));
  md5_finish(&st, digest);
  char hex[33];
  for (int i = 0; i < 16; ++i) std::snprintf(hex + 2 * i, 3, "%02x", digest[i]);
  return std::string(hex, 32);
}
