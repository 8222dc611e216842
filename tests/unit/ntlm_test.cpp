#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "client/session/ntlm.h"
#include "client/session/tls_methods.h"

namespace {

std::vector<uint8_t> hex(const std::string& h) {
  std::vector<uint8_t> v;
  for (size_t i = 0; i + 1 < h.size(); i += 2) v.push_back(static_cast<uint8_t>(std::stoi(h.substr(i, 2), nullptr, 16)));
  return v;
}
std::vector<uint8_t> bytes(const uint8_t* p, size_t n) { return std::vector<uint8_t>(p, p + n); }
uint32_t le16(const uint8_t* p) { return p[0] | p[1] << 8; }
uint32_t le32(const uint8_t* p) { return le16(p) | le16(p + 2) << 16; }

const std::vector<uint8_t> kServerChallenge = hex("0123456789abcdef");

// A type-2 message of `len` bytes with the given type and flags.
std::vector<uint8_t> challenge(uint32_t type, uint32_t flags, size_t len = 48) {
  std::vector<uint8_t> c(len, 0);
  std::memcpy(c.data(), "NTLMSSP", 8);
  for (int i = 0; i < 4; ++i) {
    c[8 + i] = static_cast<uint8_t>(type >> (8 * i));
    if (len > 20 + static_cast<size_t>(i)) c[20 + i] = static_cast<uint8_t>(flags >> (8 * i));
  }
  for (size_t i = 0; i < 8 && 24 + i < len; ++i) c[24 + i] = kServerChallenge[i];
  return c;
}

TEST(Ntlm, PublicNtlmV1Vectors) {
  // the NTLMv1 example of the public protocol documentation: password "Password"
  uint8_t lm[24], nt[24];
  ASSERT_TRUE(get_lm_response("Password", kServerChallenge.data(), lm));
  ASSERT_TRUE(get_nt_response("Password", kServerChallenge.data(), nt));
  EXPECT_EQ(bytes(lm, 24), hex("98def7b87f88aa5dafe2df779688a172def11c7d5ccdef13"));
  EXPECT_EQ(bytes(nt, 24), hex("67c43011f30298a2ad35ece64f16331c44bdbed927841f94"));

  // the two hashes, padded to 21 bytes, give those responses
  struct {
    const char* hash;
    const char* response;
  } cases[] = {{"e52cac67419a9a224a3b108f3fa6cb6d", "98def7b87f88aa5dafe2df779688a172def11c7d5ccdef13"},
               {"a4f49c406510bdcab6824ee7c30fd852", "67c43011f30298a2ad35ece64f16331c44bdbed927841f94"}};
  for (const auto& c : cases) {
    auto h = hex(c.hash);
    h.resize(21, 0);
    uint8_t out[24];
    calculate_response(h.data(), kServerChallenge.data(), out);
    EXPECT_EQ(bytes(out, 24), hex(c.response)) << c.hash;
  }
  const char16_t wide[] = u"Password";
  uint8_t md[16];
  crypto_md4(reinterpret_cast<const uint8_t*>(wide), 16, md);
  EXPECT_EQ(bytes(md, 16), hex("a4f49c406510bdcab6824ee7c30fd852"));
}

TEST(Ntlm, EmptyPasswordAndLongPassword) {
  uint8_t md[16];
  crypto_md4(nullptr, 0, md);
  EXPECT_EQ(bytes(md, 16), hex("31d6cfe0d16ae931b73c59d7e0c089c0"));

  // empty: LM from 14 zero bytes (the well-known empty LM hash), NT the MD4 of nothing
  uint8_t lm[24], nt[24], want[24];
  ASSERT_TRUE(get_lm_response("", kServerChallenge.data(), lm));
  ASSERT_TRUE(get_nt_response("", kServerChallenge.data(), nt));
  auto lmh = hex("aad3b435b51404eeaad3b435b51404ee");
  lmh.resize(21, 0);
  calculate_response(lmh.data(), kServerChallenge.data(), want);
  EXPECT_EQ(bytes(lm, 24), bytes(want, 24));
  auto nth = hex("31d6cfe0d16ae931b73c59d7e0c089c0");
  nth.resize(21, 0);
  calculate_response(nth.data(), kServerChallenge.data(), want);
  EXPECT_EQ(bytes(nt, 24), bytes(want, 24));

  // 20 characters: LM sees the first 14 uppercased, NT all 20
  uint8_t lm20[24], lm14[24], nt20[24], nt14[24];
  get_lm_response("abcdefghijklmnopqrst", kServerChallenge.data(), lm20);
  get_lm_response("ABCDEFGHIJKLMN", kServerChallenge.data(), lm14);
  EXPECT_EQ(bytes(lm20, 24), bytes(lm14, 24));
  get_nt_response("abcdefghijklmnopqrst", kServerChallenge.data(), nt20);
  get_nt_response("abcdefghijklmn", kServerChallenge.data(), nt14);
  EXPECT_NE(bytes(nt20, 24), bytes(nt14, 24));
}

TEST(Ntlm, DesKeyParity) {
  const uint8_t k[7] = {0x12, 0x34, 0x56, 0x78, 0x9a, 0xbc, 0xde};
  uint8_t key[8];
  setup_des_key(k, key);
  for (uint8_t b : key) EXPECT_EQ(__builtin_popcount(b) % 2, 1) << int(b);
  const uint8_t zero[7] = {};
  setup_des_key(zero, key);
  EXPECT_EQ(bytes(key, 8), std::vector<uint8_t>(8, 0x01));
}

TEST(Ntlm, AuthenticateMessageLayout) {
  struct {
    uint32_t flags;
    const char* domain;
    std::vector<uint32_t> offsets;  // domain, user, workstation, LM, NT
    std::vector<uint32_t> lengths;  // domain, user, workstation
    uint32_t total;
    std::vector<uint8_t> user_field;
  } cases[] = {
      {0x00000001, "corp", {64, 72, 78, 92, 116}, {8, 6, 14}, 140, {'A', 0, 'B', 0, 'C', 0}},
      {0x00000002, "corp", {64, 68, 71, 78, 102}, {4, 3, 7}, 126, {'a', 'b', 'c'}},
      {0x00000001, "", {64, 64, 70, 84, 108}, {0, 6, 14}, 132, {'A', 0, 'B', 0, 'C', 0}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.flags) + " " + c.domain);
    auto ch = challenge(2, c.flags);
    uint8_t msg[2048];
    std::memset(msg, 0xAA, sizeof msg);
    int n = create_ntlm_authenticate_message(msg, sizeof msg, ch.data(), static_cast<int>(ch.size()), "abc",
                                             "Password", c.domain);
    ASSERT_EQ(n, static_cast<int>(c.total));
    EXPECT_EQ(std::memcmp(msg, "NTLMSSP", 8), 0);
    EXPECT_EQ(le32(msg + 8), 3u);
    EXPECT_EQ(le32(msg + 60), 0x80808205u);
    const int fields[5] = {28, 36, 44, 12, 20};  // domain, user, workstation, LM, NT
    const uint32_t lens[5] = {c.lengths[0], c.lengths[1], c.lengths[2], 24, 24};
    for (int i = 0; i < 5; ++i) {
      EXPECT_EQ(le16(msg + fields[i]), lens[i]) << i;
      EXPECT_EQ(le16(msg + fields[i] + 2), lens[i]) << i;
      EXPECT_EQ(le32(msg + fields[i] + 4), c.offsets[i]) << i;
    }
    EXPECT_EQ(le32(msg + 52), 0u);
    EXPECT_EQ(le32(msg + 56), c.total);  // session key: empty, at the end
    EXPECT_EQ(bytes(msg + c.offsets[1], c.lengths[1]), c.user_field);
    const bool wide = c.flags & 1;
    std::vector<uint8_t> ws;
    for (char ch2 : std::string("TEVRAQN")) {
      ws.push_back(static_cast<uint8_t>(ch2));
      if (wide) ws.push_back(0);
    }
    EXPECT_EQ(bytes(msg + c.offsets[2], c.lengths[2]), ws);
    if (c.lengths[0] == 8) {
      EXPECT_EQ(bytes(msg + 64, 8), (std::vector<uint8_t>{'c', 0, 'o', 0, 'r', 0, 'p', 0}));
    }
    EXPECT_EQ(bytes(msg + c.offsets[3], 24), hex("98def7b87f88aa5dafe2df779688a172def11c7d5ccdef13"));
    EXPECT_EQ(bytes(msg + c.offsets[4], 24), hex("67c43011f30298a2ad35ece64f16331c44bdbed927841f94"));
    EXPECT_EQ(msg[c.total], 0xAA) << "nothing written past the message";
  }
}

TEST(Ntlm, RefusedChallengesAndCapacity) {
  uint8_t msg[2048];
  struct {
    const char* what;
    std::vector<uint8_t> ch;
    int cap;
  } cases[] = {
      {"type 3", challenge(3, 1), 2048},
      {"negotiate-128", challenge(2, 0x20000001), 2048},
      {"30 bytes", challenge(2, 1, 30), 2048},
      {"35 bytes", challenge(2, 1, 35), 2048},
      {"one byte short", challenge(2, 1), 139},
  };
  for (const auto& c : cases)
    EXPECT_EQ(create_ntlm_authenticate_message(msg, c.cap, c.ch.data(), static_cast<int>(c.ch.size()), "abc", "pw",
                                               "corp"),
              0)
        << c.what;
  auto ok = challenge(2, 1, 36);
  EXPECT_EQ(create_ntlm_authenticate_message(msg, 140, ok.data(), 36, "abc", "pw", "corp"), 140);
  // the longest the session record allows: 99-byte domain, 63-byte user
  std::string dom(99, 'd'), user(63, 'u');
  EXPECT_EQ(create_ntlm_authenticate_message(msg, 2048, ok.data(), 36, user.c_str(), "\xe9\xff", dom.c_str()), 450);
}

}  // namespace
