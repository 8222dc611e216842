#include <gtest/gtest.h>
#include <syslog.h>

#include <string>
#include <vector>

#include "client/diag.h"

namespace {
constexpr const char kLogModule[] = "vpn_client";

struct Captured {
  std::vector<std::pair<int, std::string>> lines;
  Captured() {
    vpn_log_set_sink([this](int p, const char* l) { lines.emplace_back(p, l); });
  }
  ~Captured() { vpn_log_set_sink(nullptr); }
};
}  // namespace

TEST(Diag, CommonFormCarriesModuleLineAndOperation) {
  Captured c;
  int line = __LINE__ + 1;
  VPN_LOG("bin path:%s", "/usr/local/bin");
  ASSERT_EQ(c.lines.size(), 1u);
  EXPECT_EQ(c.lines[0].first, LOG_ERR);
  EXPECT_EQ(c.lines[0].second, "vpn_client at " + std::to_string(line) +
                                   " function: TestBody:bin path:/usr/local/bin");
}

TEST(Diag, LongMessageIsCutToTheBuffer) {
  Captured c;
  std::string big(5000, 'x');
  VPN_LOG("%s", big.c_str());
  ASSERT_EQ(c.lines.size(), 1u);
  EXPECT_EQ(c.lines[0].second.size(), kLogBufferSize - 1);
}

TEST(Diag, PlainAndInfoLines) {
  Captured c;
  vpn_log_info("ssl connecting\n");
  vpn_log_plain("client id %s", "abc");
  ASSERT_EQ(c.lines.size(), 2u);
  EXPECT_EQ(c.lines[0], std::make_pair(LOG_INFO, std::string("ssl connecting\n")));
  EXPECT_EQ(c.lines[1], std::make_pair(LOG_ERR, std::string("client id abc")));
}
