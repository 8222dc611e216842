// Base64 for the outside-proxy traversal. No allocation, one pass.
#include "client/session/base64.h"

namespace {
constexpr char map[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
}  // namespace

int b64_index(char ch) {
  const unsigned char c = static_cast<unsigned char>(ch);
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  // '/' and, leniently, '=', '-', '_' and any other byte
  return 63;
}

int base64_encode(const uint8_t* in, int len, char* out, int capacity) {
  if (capacity <= 0) return 0;
  int written = 0;
  for (int i = 0; i < len; i += 3) {
    if (written + 3 >= capacity) return 0;
    const int left = len - i;
    const unsigned b1 = in[i];
    const unsigned b2 = left > 1 ? in[i + 1] : 0;
    const unsigned b3 = left > 2 ? in[i + 2] : 0;
    out[written++] = map[b1 >> 2];
    out[written++] = map[((b1 & 0x03) << 4) | (b2 >> 4)];
    out[written++] = left > 1 ? map[((b2 & 0x0F) << 2) | (b3 >> 6)] : '=';
    out[written++] = left > 2 ? map[b3 & 0x3F] : '=';
  }
  if (written >= capacity) return 0;
  out[written] = '\0';
  return written;
}

int base64_decode(const char* in, int len, uint8_t* out, int capacity) {
  if (len < 0 || len > kBase64DecodeMax || len % 4 != 0 || capacity <= 0) return 0;
  int written = 0;
  for (int i = 0; i < len; i += 4) {
    if (written + 2 >= capacity) return 0;
    const unsigned a = static_cast<unsigned>(b64_index(in[i]));
    const unsigned b = static_cast<unsigned>(b64_index(in[i + 1]));
    const unsigned c = static_cast<unsigned>(b64_index(in[i + 2]));
    const unsigned d = static_cast<unsigned>(b64_index(in[i + 3]));
    out[written++] = static_cast<uint8_t>((a << 2) | (b >> 4));
    // '=' ends only its own group: the two tests are independent
    if (in[i + 2] != '=') out[written++] = static_cast<uint8_t>(((b & 0x0F) << 4) | (c >> 2));
    if (in[i + 3] != '=') out[written++] = static_cast<uint8_t>(((c & 0x03) << 6) | d);
  }
  if (written >= capacity) return 0;
  out[written] = 0;
  return written;
}
