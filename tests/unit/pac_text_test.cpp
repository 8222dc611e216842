#include "client/proxy/pac_text.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>

#include "tests/unit/pac_eval.h"

namespace {

struct temp_pac {
  std::string path;
  explicit temp_pac(const std::string& text) {
    char name[] = "/tmp/pac_text_test_XXXXXX";
    int fd = mkstemp(name);
    close(fd);
    path = name;
    std::ofstream(path) << text;
  }
  ~temp_pac() { unlink(path.c_str()); }
};

// The JavaScript characters of an ASCII text with U+2028 written as E2 80 A8.
std::string char_codes(const std::string& t) {
  std::string out;
  for (size_t i = 0; i < t.size(); ++i) {
    unsigned code = static_cast<unsigned char>(t[i]);
    if (code == 0xe2) {
      code = 0x2028;
      i += 2;
    }
    out += (out.empty() ? "" : ",") + std::to_string(code);
  }
  return out;
}

std::string percent_encode(const std::string& t) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : t) {
    out += '%';
    out += kHex[c >> 4];
    out += kHex[c & 0xf];
  }
  return out;
}

TEST(PacText, EscapedTextsStayWholeInEitherQuote) {
  const std::string texts[] = {
      "plain.example:8080", "a\"b", "a'b", "ends\\", "\\\"", "line\nfeed\rreturn\ttab", "nul\x01\x7f",
      "\xe2\x80\xa8sep", "\");return \"EVIL\";//", "');return 'EVIL';//",
  };
  for (const auto& t : texts) {
    const std::string expect = "String.fromCharCode(" + char_codes(t) + ")";
    const std::string pac = "function FindProxyForURL(url, host) {\n  var a = " + pac_js_quote(t) + ";\n  var b = '" +
                            pac_js_escape(t) + "';\n  return (a == " + expect + " && b == " + expect +
                            ") ? \"SAME\" : \"DIFF\";\n}\n";
    temp_pac f(pac);
    auto r = pac_evaluate(f.path, {"http://a/"});
    ASSERT_TRUE(r.ok) << t << ": " << r.error;
    EXPECT_EQ(r.answers[0], "SAME") << t;
  }
}

TEST(PacText, HostPatternsMatchLikeTheirWildcards) {
  struct row {
    const char* pattern;
    const char* host;
    bool match;
  };
  const row rows[] = {
      {"*.local", "printer.local", true},
      {"*.local", "localhost", false},
      {"169.254/16", "169.254/16", true},
      {"169.254/16", "169x254/16", false},
      {"10.*", "10.1.2.3", true},
      {"10.*", "110.1.2.3", false},
      {"a+b(c)[d]{e}|f$^?/\\'\"", "a+b(c)[d]{e}|f$^?/\\'\"", true},
      {"a+b", "aab", false},
      {"host_name-1", "host_name-1", true},
      {"tab\there", "tab\there", true},
  };
  for (const auto& r : rows) {
    const std::string pac =
        "function FindProxyForURL(url, host) {\n  var h = decodeURIComponent(url.substring(9));\n"
        "  if (h.search(/^" +
        pac_host_pattern(r.pattern) + "$/) >= 0) return \"DIRECT\";\n  return \"PROXY p:1\";\n}\n";
    temp_pac f(pac);
    auto res = pac_evaluate(f.path, {"http://t/" + percent_encode(r.host)});
    ASSERT_TRUE(res.ok) << r.pattern << ": " << res.error;
    EXPECT_EQ(res.answers[0], r.match ? "DIRECT" : "PROXY p:1") << r.pattern << " vs " << r.host;
  }
}

TEST(PacText, RulesAndSchemeTestsKeepTheirLayout) {
  EXPECT_EQ(pac_isinnet_test(htonl(0x0a000000), htonl(0xff000000)),
            "\tif (isInNet(host, \"10.0.0.0\", \"255.0.0.0\")) {\n");
  EXPECT_EQ(pac_scheme_test("rtsp"), "\tif (url.substring(0, 5) == \"rtsp:\") {\n");
  EXPECT_EQ(pac_scheme_test("gopher"), "\tif (url.substring(0, 7) == \"gopher:\") {\n");
  EXPECT_EQ(pac_return_proxy_block("p:1"), "\t\treturn \"PROXY p:1\";\n\t}\n");
}

}  // namespace
