// NTLMv1 responses and the type-3 message. The message layout is decoded and
// encoded byte by byte in little-endian order.
#include "client/session/ntlm.h"

#include <cstring>
#include <memory>
#include <new>

#include "client/session/tls_methods.h"

namespace {
constexpr uint8_t magic_lm_number[8] = {'K', 'G', 'S', '!', '@', '#', '$', '%'};
constexpr char kWorkstation[] = "TEVRAQN";
constexpr std::size_t kWorkstationLen = sizeof kWorkstation - 1;

uint8_t ntlm_challenge[kNtlmChallengeMin];
uint8_t ntlm_header[kNtlmHeaderSize];
uint8_t lm_resp[kNtlmResponseSize];
uint8_t nt_resp[kNtlmResponseSize];
uint8_t hashed_password[21];
uint16_t unicode_buff[kUnicodeBuffUnits];

uint32_t le32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
void put16(uint8_t* p, uint32_t v) {
  p[0] = uint8_t(v);
  p[1] = uint8_t(v >> 8);
}
void put32(uint8_t* p, uint32_t v) {
  put16(p, v);
  put16(p + 2, v >> 16);
}
// A security buffer: length, capacity (the same), offset.
void put_field(uint8_t* p, uint32_t len, uint32_t off) {
  put16(p, len);
  put16(p + 2, len);
  put32(p + 4, off);
}
uint8_t upper_ascii(uint8_t c) { return (c >= 'a' && c <= 'z') ? uint8_t(c - 'a' + 'A') : c; }

// Writes `len` bytes of `text` at `p`, widened to units when `wide`.
void put_text(uint8_t* p, const char* text, std::size_t len, bool wide, bool upper) {
  if (!wide) {
    std::memcpy(p, text, len);
    return;
  }
  const uint16_t* u = ascii_to_unicode(text, len, upper);
  for (std::size_t i = 0; i < len; ++i) put16(p + 2 * i, u[i]);
}
}  // namespace

const uint16_t* ascii_to_unicode(const char* text, std::size_t len, bool upper) {
  if (len > kUnicodeBuffUnits) len = kUnicodeBuffUnits;
  std::memset(unicode_buff, 0, sizeof unicode_buff);
  for (std::size_t i = 0; i < len; ++i) {
    uint8_t c = static_cast<uint8_t>(text[i]);
    unicode_buff[i] = upper ? upper_ascii(c) : c;
  }
  return unicode_buff;
}

void setup_des_key(const uint8_t k[7], uint8_t key[8]) {
  key[0] = k[0];
  key[1] = uint8_t(k[0] << 7 | k[1] >> 1);
  key[2] = uint8_t(k[1] << 6 | k[2] >> 2);
  key[3] = uint8_t(k[2] << 5 | k[3] >> 3);
  key[4] = uint8_t(k[3] << 4 | k[4] >> 4);
  key[5] = uint8_t(k[4] << 3 | k[5] >> 5);
  key[6] = uint8_t(k[5] << 2 | k[6] >> 6);
  key[7] = uint8_t(k[6] << 1);
  for (int i = 0; i < 8; ++i) {
    uint8_t b = key[i] & 0xFE;
    int ones = __builtin_popcount(b);
    key[i] = uint8_t(b | ((ones % 2 == 0) ? 1 : 0));
  }
}

void calculate_response(const uint8_t hash[21], const uint8_t challenge[8], uint8_t out[24]) {
  for (int i = 0; i < 3; ++i) {
    uint8_t key[8];
    setup_des_key(hash + 7 * i, key);
    crypto_des_ecb_block(key, challenge, out + 8 * i);
  }
}

bool get_lm_response(const char* password, const uint8_t challenge[8], uint8_t out[24]) {
  uint8_t pw[14] = {};
  for (std::size_t i = 0; i < sizeof pw && password[i] != '\0'; ++i) pw[i] = upper_ascii(uint8_t(password[i]));
  std::memset(hashed_password, 0, sizeof hashed_password);
  for (int i = 0; i < 2; ++i) {
    uint8_t key[8];
    setup_des_key(pw + 7 * i, key);
    crypto_des_ecb_block(key, magic_lm_number, hashed_password + 8 * i);
  }
  calculate_response(hashed_password, challenge, out);
  return true;
}

bool get_nt_response(const char* password, const uint8_t challenge[8], uint8_t out[24]) {
  const std::size_t len = std::strlen(password);
  // An empty password has an empty working area: that is no failure.
  std::unique_ptr<uint8_t[]> wide(new (std::nothrow) uint8_t[len ? 2 * len : 1]);
  if (!wide) return false;
  for (std::size_t i = 0; i < len; ++i) put16(wide.get() + 2 * i, static_cast<uint8_t>(password[i]));
  std::memset(hashed_password, 0, sizeof hashed_password);
  crypto_md4(wide.get(), 2 * len, hashed_password);
  calculate_response(hashed_password, challenge, out);
  return true;
}

int create_ntlm_authenticate_message(uint8_t* out, int capacity, const uint8_t* challenge, int challenge_len,
                                     const char* user, const char* password, const char* domain) {
  if (challenge_len < kNtlmChallengeMin) return 0;
  std::memcpy(ntlm_challenge, challenge, sizeof ntlm_challenge);
  if (le32(ntlm_challenge + 8) != 2) return 0;
  const uint32_t flags = le32(ntlm_challenge + 20);
  const bool wide = (flags & kNtlmFlagUnicode) != 0;
  if (flags & kNtlmFlag128) return 0;
  const uint8_t* server_challenge = ntlm_challenge + 24;

  const std::size_t dlen = std::strlen(domain), ulen = std::strlen(user);
  if (dlen > kUnicodeBuffUnits || ulen > kUnicodeBuffUnits) return 0;
  const uint32_t scale = wide ? 2 : 1;
  const uint32_t D = uint32_t(dlen) * scale, U = uint32_t(ulen) * scale, W = uint32_t(kWorkstationLen) * scale;

  if (!get_lm_response(password, server_challenge, lm_resp)) return 0;
  if (!get_nt_response(password, server_challenge, nt_resp)) return 0;

  const uint32_t payload = kNtlmHeaderSize + D + U + W;
  const uint32_t total = payload + 2 * kNtlmResponseSize;
  std::memset(ntlm_header, 0, sizeof ntlm_header);
  std::memcpy(ntlm_header, "NTLMSSP", 8);
  put32(ntlm_header + 8, 3);
  put_field(ntlm_header + 12, kNtlmResponseSize, payload);
  put_field(ntlm_header + 20, kNtlmResponseSize, payload + kNtlmResponseSize);
  put_field(ntlm_header + 28, D, kNtlmHeaderSize);
  put_field(ntlm_header + 36, U, kNtlmHeaderSize + D);
  put_field(ntlm_header + 44, W, kNtlmHeaderSize + D + U);
  put_field(ntlm_header + 52, 0, total);
  put32(ntlm_header + 60, kNtlmAuthenticateFlags);

  if (capacity < 0 || total > uint32_t(capacity)) return 0;
  std::memset(out, 0, total);
  uint8_t* p = out + kNtlmHeaderSize;
  put_text(p, domain, dlen, wide, false);
  p += D;
  put_text(p, user, ulen, wide, true);
  p += U;
  put_text(p, kWorkstation, kWorkstationLen, wide, false);
  p += W;
  std::memcpy(p, lm_resp, sizeof lm_resp);
  std::memcpy(p + kNtlmResponseSize, nt_resp, sizeof nt_resp);
  std::memcpy(out, ntlm_header, sizeof ntlm_header);
  return int(total);
}
