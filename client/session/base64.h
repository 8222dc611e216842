// The base64 codec of the outside-proxy credentials: standard alphabet and
// padding, lenient decoding, results bounded by the caller's capacity.
#pragma once
#include <cstdint>

// Characters written (a zero byte follows them), or 0 when the text and its
// zero byte do not fit `capacity`. An empty input answers 0 too.
int base64_encode(const uint8_t* in, int len, char* out, int capacity);
// Bytes written (a zero byte follows them), or 0 when the text is refused
// (over 1068 characters, or a length not a multiple of 4) or does not fit.
int base64_decode(const char* in, int len, uint8_t* out, int capacity);
// The 6-bit value of one character; every byte outside A-Z a-z 0-9 + is 63.
int b64_index(char c);

inline constexpr int kBase64DecodeMax = 1068;
