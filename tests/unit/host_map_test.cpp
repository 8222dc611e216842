#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#include "client/hostnet/hostnet_internal.h"
#include "client/hostnet_ops.h"
#include "hostnet_test_util.h"

using namespace hostnet_test;

#include "tests/unit/file_text.h"

namespace {

using test_files::slurp;

// A private root with an etc/hosts of its own; the /etc paths point into it.
class HostMap : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/vpnc_hosts_XXXXXX";
    root_ = mkdtemp(tmpl);
    mkdir((root_ + "/etc").c_str(), 0755);
    hostnet_set_root(root_.c_str());
    list_ = std::make_unique<_VPN_HOST_MAP_LIST_>();
  }
  void TearDown() override {
    hostnet_set_root("");
    std::system(("rm -rf " + root_).c_str());
  }
  void write_hosts(const std::string& text, mode_t mode) {
    std::ofstream(path("hosts")) << text;
    chmod(path("hosts").c_str(), mode);
  }
  std::string path(const char* name) const { return root_ + "/etc/" + name; }
  mode_t mode_of(const char* name) const {
    struct stat st {};
    stat(path(name).c_str(), &st);
    return st.st_mode & 07777;
  }
  void add(uint32_t ip_addr, const char* text, const char* name) {
    _VPN_HOST_MAP_& e = list_->entries[list_->count++];
    e.ip = ip_addr;
    std::snprintf(e.ip_text, sizeof e.ip_text, "%s", text);
    std::snprintf(e.host_name, sizeof e.host_name, "%s", name);
  }

  std::string root_;
  std::unique_ptr<_VPN_HOST_MAP_LIST_> list_;
};

TEST_F(HostMap, AppendsTheMappingsAndKeepsTheHostsFileAside) {
  const std::string own = "127.0.0.1\tlocalhost\n";
  write_hosts(own, 0644);
  add(ip("10.1.1.5"), "", "intranet");
  add(0, "192.0.2.1", "gw.example.test");
  add(0, "2001:db8::1", "v6host");
  LogCapture log;
  EXPECT_EQ(setHostMap(list_.get()), 1);
  EXPECT_EQ(slurp(path("hosts")),
            own + "10.1.1.5\tintranet\n192.0.2.1\tgw.example.test\n2001:db8::1\tv6host\n");
  EXPECT_EQ(slurp(path("hosts.bak.tevra")), own);
  EXPECT_NE(access(path("hosts.tevra").c_str(), F_OK), 0);
  EXPECT_EQ(mode_of("hosts"), 0644u);  // never writable by everybody
  EXPECT_TRUE(log.has("ipv4:10.1.1.5\tintranet\n"));
  EXPECT_TRUE(log.has("ipv6: 192.0.2.1\tgw.example.test\n"));

  EXPECT_EQ(restoreHostMap(), 1);
  EXPECT_EQ(slurp(path("hosts")), own);
  EXPECT_NE(access(path("hosts.bak.tevra").c_str(), F_OK), 0);
}

TEST_F(HostMap, NewlineGoesBeforeTheFirstMappingWhenTheFileLacksOne) {
  write_hosts("127.0.0.1\tlocalhost", 0600);
  add(ip("10.1.1.5"), "", "intranet");
  EXPECT_EQ(setHostMap(list_.get()), 1);
  EXPECT_EQ(slurp(path("hosts")), "127.0.0.1\tlocalhost\n10.1.1.5\tintranet\n");
  EXPECT_EQ(mode_of("hosts"), 0600u);
}

TEST_F(HostMap, EntriesThatCouldBreakTheFileAreSkipped) {
  write_hosts("127.0.0.1\tlocalhost\n", 0644);
  add(0, "not-an-ip", "a.test");
  add(0, "10.0.0.1 10.0.0.2", "b.test");
  add(ip("10.0.0.3"), "", "evil\nhost");
  add(ip("10.0.0.4"), "", "two words");
  add(ip("10.0.0.5"), "", "");
  add(0, "10.0.0.6\t", "c.test");
  add(ip("10.0.0.7"), "", "ok.test");
  std::memset(list_->entries[list_->count - 1].ip_text, 'z', sizeof list_->entries[0].ip_text);  // unused: ip set
  add(0, "", "");
  std::memset(list_->entries[list_->count - 1].host_name, 'h', sizeof list_->entries[0].host_name);
  LogCapture log;
  EXPECT_EQ(setHostMap(list_.get()), 1);
  EXPECT_EQ(slurp(path("hosts")), "127.0.0.1\tlocalhost\n10.0.0.7\tok.test\n");
  EXPECT_TRUE(log.has("'not-an-ip' is no IP address"));
  EXPECT_TRUE(log.has("host map entry 2 skipped"));
}

TEST_F(HostMap, EmptyListChangesNothing) {
  write_hosts("127.0.0.1\tlocalhost\n", 0644);
  LogCapture log;
  EXPECT_EQ(setHostMap(nullptr), 0);
  EXPECT_EQ(setHostMap(list_.get()), 0);
  EXPECT_TRUE(log.has("Host map list is empty."));
  EXPECT_NE(access(path("hosts.bak.tevra").c_str(), F_OK), 0);
}

TEST_F(HostMap, WorkingCopyThatCannotBeOpenedLeavesTheHostsFileAlone) {
  write_hosts("127.0.0.1\tlocalhost\n", 0644);
  mkdir(path("hosts.tevra").c_str(), 0755);  // in the way of the copy
  add(ip("10.1.1.5"), "", "intranet");
  LogCapture log;
  EXPECT_EQ(setHostMap(list_.get()), 0);
  EXPECT_TRUE(log.has("you need administrative priviledge, please contact administrator."));
  EXPECT_EQ(slurp(path("hosts")), "127.0.0.1\tlocalhost\n");
  EXPECT_NE(access(path("hosts.bak.tevra").c_str(), F_OK), 0);
}

TEST_F(HostMap, CommandsNameTheFixedPaths) {
  hostnet_set_root("");
  CommandRecorder rec;
  restoreHostMap();
  ASSERT_EQ(rec.cmds.size(), 1u);
  EXPECT_EQ(rec.cmds[0], "/bin/mv -f /etc/hosts.bak.tevra /etc/hosts");
}

}  // namespace

namespace {
// A host without /etc/hosts ends without one: the installed file goes again.
TEST_F(HostMap, NoHostsFileIsNoHostsFileAgainAfterTheRestore) {
  add(ip("10.1.1.5"), "", "intranet");
  LogCapture log;
  EXPECT_EQ(setHostMap(list_.get()), 1);
  EXPECT_EQ(slurp(path("hosts")), "10.1.1.5\tintranet\n");
  EXPECT_TRUE(log.has("hosts not there: the host map's file is removed again at the end"));
  EXPECT_EQ(restoreHostMap(), 1);
  EXPECT_NE(access(path("hosts").c_str(), F_OK), 0);
  EXPECT_NE(access(path("hosts.bak.tevra").c_str(), F_OK), 0);

  // A later set-up on a host that has a file again is the usual one.
  write_hosts("127.0.0.1\tlocalhost\n", 0644);
  EXPECT_EQ(setHostMap(list_.get()), 1);
  EXPECT_EQ(restoreHostMap(), 1);
  EXPECT_EQ(slurp(path("hosts")), "127.0.0.1\tlocalhost\n");
}

// A backup left by a run that ended without its teardown holds the host's
// own file; the file in place still carries that run's lines.
TEST_F(HostMap, BackupFromAnEarlierRunIsKeptAndTheMapGoesOntoIt) {
  const std::string own = "127.0.0.1\tlocalhost\n";
  std::ofstream(path("hosts.bak.tevra")) << own;
  write_hosts(own + "10.9.9.9\tstale\n", 0644);
  add(ip("10.1.1.5"), "", "intranet");
  LogCapture log;
  EXPECT_EQ(setHostMap(list_.get()), 1);
  EXPECT_TRUE(log.has("hosts.bak.tevra already there: kept as the host's own file"));
  EXPECT_EQ(slurp(path("hosts.bak.tevra")), own);
  EXPECT_EQ(slurp(path("hosts")), own + "10.1.1.5\tintranet\n");
  // Set again (as around a reconnection): still one copy of the map.
  EXPECT_EQ(setHostMap(list_.get()), 1);
  EXPECT_EQ(slurp(path("hosts")), own + "10.1.1.5\tintranet\n");
  EXPECT_EQ(restoreHostMap(), 1);
  EXPECT_EQ(slurp(path("hosts")), own);
  EXPECT_NE(access(path("hosts.bak.tevra").c_str(), F_OK), 0);
}
}  // namespace
