#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "client/session/base64.h"

namespace {

std::string enc(const std::string& in, int cap, int* n) {
  std::vector<char> out(static_cast<size_t>(cap) + 8, '\x7f');
  *n = base64_encode(reinterpret_cast<const uint8_t*>(in.data()), static_cast<int>(in.size()), out.data(), cap);
  return *n > 0 ? std::string(out.data(), static_cast<size_t>(*n)) : std::string();
}

std::vector<uint8_t> dec(const std::string& in, int cap, int* n) {
  std::vector<uint8_t> out(static_cast<size_t>(cap) + 8, 0x7f);
  *n = base64_decode(in.data(), static_cast<int>(in.size()), out.data(), cap);
  if (*n > 0) {
    EXPECT_EQ(out[static_cast<size_t>(*n)], 0) << "zero byte after the output";
    out.resize(static_cast<size_t>(*n));
  } else {
    out.clear();
  }
  return out;
}

TEST(Base64, PublicVectorsEncodeAndDecodeBack) {
  struct {
    const char* plain;
    const char* text;
  } cases[] = {{"f", "Zg=="}, {"fo", "Zm8="}, {"foo", "Zm9v"}, {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="},
               {"foobar", "Zm9vYmFy"}, {"abc", "YWJj"}};
  for (const auto& c : cases) {
    int n = 0;
    EXPECT_EQ(enc(c.plain, 64, &n), c.text) << c.plain;
    EXPECT_EQ(n, static_cast<int>(std::strlen(c.text)));
    auto bytes = dec(c.text, 64, &n);
    EXPECT_EQ(std::string(bytes.begin(), bytes.end()), c.plain) << c.text;
  }
  // empty input: only the zero byte, result 0
  char out[4] = {'x', 'x', 'x', 'x'};
  EXPECT_EQ(base64_encode(reinterpret_cast<const uint8_t*>(""), 0, out, 4), 0);
  EXPECT_EQ(out[0], '\0');
  uint8_t bout[4] = {9, 9, 9, 9};
  EXPECT_EQ(base64_decode("", 0, bout, 4), 0);
  EXPECT_EQ(bout[0], 0);
}

TEST(Base64, CapacityMustHoldTheZeroByteToo) {
  struct {
    const char* in;
    int cap;
    int want;
  } cases[] = {{"abc", 4, 0}, {"abc", 5, 4}, {"abc", 3, 0}, {"abcd", 8, 0}, {"abcd", 9, 8}, {"a", 4, 0}, {"a", 5, 4}};
  for (const auto& c : cases) {
    int n = -1;
    enc(c.in, c.cap, &n);
    EXPECT_EQ(n, c.want) << c.in << " cap " << c.cap;
  }
  std::string neg(48, '\x01');
  int n = 0;
  EXPECT_EQ(enc(neg, 1024, &n).size(), 64u);
  struct {
    const char* text;
    int cap;
    int want;
  } dcases[] = {{"YWJj", 3, 0}, {"YWJj", 4, 3}, {"YQ==", 3, 1}, {"YQ==", 2, 0}};
  for (const auto& c : dcases) {
    dec(c.text, c.cap, &n);
    EXPECT_EQ(n, c.want) << c.text << " cap " << c.cap;
  }
}

TEST(Base64, LenientDecoding) {
  struct {
    std::string text;
    std::vector<uint8_t> want;
  } cases[] = {
      {"YW=j", {0x61, 0xe3}},              // third '=' and fourth not: two bytes, c counts 63
      {"-_-_", {0xff, 0xff, 0xff}},        // URL-safe characters count 63
      {"AA==AAAA", {0, 0, 0, 0}},          // decoding goes on after a padded group
      {"A\r\n=", {0x03, 0xff}},            // blanks and line ends count 63 too
  };
  for (const auto& c : cases) {
    int n = 0;
    EXPECT_EQ(dec(c.text, 64, &n), c.want) << c.text;
  }
  EXPECT_EQ(b64_index('/'), 63);
  EXPECT_EQ(b64_index('+'), 62);
  EXPECT_EQ(b64_index('\xff'), 63);
}

TEST(Base64, LengthLimitsOfDecoding) {
  int n = -1;
  EXPECT_EQ(dec(std::string(1068, 'A'), 2048, &n).size(), 801u);
  EXPECT_EQ(n, 801);
  struct {
    size_t len;
  } refused[] = {{1072}, {5}, {3}, {1069}};
  for (const auto& c : refused) {
    dec(std::string(c.len, 'A'), 2048, &n);
    EXPECT_EQ(n, 0) << c.len;
  }
}

}  // namespace
