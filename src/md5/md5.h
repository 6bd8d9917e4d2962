#pragma once
// MD5 message digest (RFC 1321) with a three-call streaming interface.
#include <cstdint>
#include <string>

typedef unsigned char md5_byte_t;
typedef uint32_t md5_word_t;

struct md5_state_s {
  md5_word_t count[2];  // message length in bits, low word first
  md5_word_t abcd[4];   // chaining words
  md5_byte_t buf[64];   // partial block not yet processed
};
typedef md5_state_s md5_state_t;

void md5_init(md5_state_t *pms);
// A byte count of 0 or less changes nothing.
void md5_append(md5_state_t *pms, const md5_byte_t *data, int nbytes);
void md5_finish(md5_state_t *pms, md5_byte_t digest[16]);

// The digest of text as 32 lowercase hexadecimal characters.
std::string Md5Hex(const std::string &text);
