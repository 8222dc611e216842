// NTLMv1 authenticate message for the outside proxy: the LM and NT responses
// to the proxy's challenge and the type-3 message that carries them.
#pragma once
#include <cstddef>
#include <cstdint>

inline constexpr int kNtlmChallengeMin = 36;
inline constexpr int kNtlmHeaderSize = 64;
inline constexpr int kNtlmResponseSize = 24;
inline constexpr uint32_t kNtlmAuthenticateFlags = 0x80808205;
inline constexpr uint32_t kNtlmFlagUnicode = 0x00000001;
inline constexpr uint32_t kNtlmFlag128 = 0x20000000;
inline constexpr int kUnicodeBuffUnits = 512;

// The message's length in bytes, or 0 when refused: a challenge shorter than
// 36 bytes, not of type 2, asking for 128-bit keys, a failed NT computation,
// or a message longer than `capacity`. Not reentrant (static working storage).
int create_ntlm_authenticate_message(uint8_t* out, int capacity, const uint8_t* challenge, int challenge_len,
                                     const char* user, const char* password, const char* domain);
// LM response: the password's first 14 bytes, ASCII letters uppercased.
bool get_lm_response(const char* password, const uint8_t challenge[8], uint8_t out[24]);
// NT response: MD4 of the whole password widened to 16-bit units. False when
// its working storage cannot be had.
bool get_nt_response(const char* password, const uint8_t challenge[8], uint8_t out[24]);
// Three DES encryptions of the challenge, keyed by the 21-byte padded hash.
void calculate_response(const uint8_t hash[21], const uint8_t challenge[8], uint8_t out[24]);
// 7 key bytes spread over 8 with odd parity in each low bit.
void setup_des_key(const uint8_t key56[7], uint8_t key64[8]);
// Widens at most 512 bytes into the static unit buffer (little-endian units
// when stored), uppercasing ASCII letters first when `upper` is set.
const uint16_t* ascii_to_unicode(const char* text, std::size_t len, bool upper);
