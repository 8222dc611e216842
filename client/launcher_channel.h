// The launcher's control channel on 127.0.0.1:6666: the configuration
// package, the terminate and statistics requests, the "commandline" replies
// and the statistics FIFO writer.
#pragma once
#include <pthread.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "client/session.h"

inline constexpr uint16_t kLauncherPort = 6666;
inline constexpr std::size_t kConfigPkgSize = 1188;
inline constexpr uint32_t CONFIG_PKG_MAGIC = 0xFEEDC0DE;
inline constexpr uint32_t TERMINATE_REQUEST_CODE = 0xDEEDC0DE;
inline constexpr uint32_t STAT_REQUEST_CODE = 0xFEEDC0DE;

// Offsets of the package's fields (integers big-endian, IPv4 addresses in
// network order, texts zero-terminated).
namespace config_pkg_off {
inline constexpr std::size_t magic = 0;
inline constexpr std::size_t is_ipv6 = 4;
inline constexpr std::size_t gateway_ip6_text = 8;  // 40 bytes
inline constexpr std::size_t gateway_ip = 48;
inline constexpr std::size_t gateway_port = 52;
inline constexpr std::size_t proxy_type = 56;
inline constexpr std::size_t proxy_ip = 60;
inline constexpr std::size_t proxy_port = 64;
inline constexpr std::size_t proxy_user = 68;       // 64 bytes
inline constexpr std::size_t proxy_passwd = 132;    // 32 bytes
inline constexpr std::size_t session_cookie = 164;  // 256 bytes; the text may run on
inline constexpr std::size_t proxy_domain = 420;    // 256 bytes
inline constexpr std::size_t navtype = 676;         // 256 bytes
inline constexpr std::size_t hostname = 932;        // 256 bytes
}  // namespace config_pkg_off
static_assert(config_pkg_off::hostname + 256 == kConfigPkgSize);

// The package as it arrived; fields are read by offset, never by casting.
struct config_pkg {
  uint8_t raw[kConfigPkgSize];
};
static_assert(sizeof(config_pkg) == kConfigPkgSize);

// "CONNECT OK" / "CONNECT FAIL" with their terminating zero byte.
inline constexpr char kConnectOk[] = "CONNECT OK";
inline constexpr char kConnectFail[] = "CONNECT FAIL";
static_assert(sizeof kConnectOk == 11 && sizeof kConnectFail == 13);

inline constexpr std::size_t kStatIpField = 15;
inline constexpr std::size_t kStatCountField = 100;
inline constexpr std::size_t kStatReplySize = kStatIpField + 2 * kStatCountField;
inline constexpr std::size_t kFifoRecordSize = 2048;
inline constexpr char kStatsFifoPath[] = "/tmp/tevra_l3vpn_fifoserver";

// A local peer must not hold the daemon: the whole package has to arrive
// within this bound of the accept, ...
inline constexpr int kPackageReadBoundSec = 20;
// ... and a reply (or the terminate echo) the launcher does not take within
// this bound ends that connection's service.
inline constexpr int kReplySendBoundSec = 5;
// Connections read side by side while the package is awaited; more wait in
// the listen backlog (100) until one of these is done.
inline constexpr std::size_t kPendingPackagesMax = 128;
// Extra-connection workers alive at once (the current one and replaced ones
// still finishing a reply); beyond it the oldest replaced one is ended at
// once to make room for the newest.
inline constexpr int kExtraWorkersMax = 8;

extern std::atomic<int> sockfd_autolaunch;  // latest extra connection, -1: none
extern pthread_t g_namedpipeid;             // most recently started FIFO writer

// Blocks until a package with the right magic has arrived; 0 when every field
// was taken, -1 after the first refused field. Exits (status 0) when the
// listening socket cannot be set up.
int read_config(vpnc_session* s);
// read_config until a package is taken whole: a refused package is logged,
// a "commandline" launcher gets "CONNECT FAIL", and the next one is awaited.
void read_launcher_config(vpnc_session* s);
// Fills the launch fields from one package (the magic is not looked at).
int fill_session_from_pkg(const uint8_t (&pkg)[kConfigPkgSize], vpnc_session* s);
int read_proxy_config(vpnc_session* s, const config_pkg* pkg);
// Results of recv_config_pkg.
inline constexpr int kPkgWhole = 0;
inline constexpr int kPkgCut = -1;   // the connection ended or failed first
inline constexpr int kPkgLate = -2;  // not all there within the bound
// Reads exactly one package from fd within one bound for the whole of it.
int recv_config_pkg(int fd, config_pkg* out, int bound_ms = kPackageReadBoundSec * 1000);
// Parses "[addr]" or "addr"; null when the text is no IPv6 address. Removes a
// closing bracket in place.
uint8_t* translate_javastr2ipv6(char* text);

// The 215-byte statistics reply from one snapshot of the values.
void build_stat_reply(uint32_t clientip_netorder, uint64_t byte_in, uint64_t byte_out,
                      uint8_t (&out)[kStatReplySize]);
// The 2048-byte FIFO record.
void build_fifo_record(uint64_t byte_in, uint64_t byte_out, char (&out)[kFifoRecordSize]);

// Serves one request on fd: 1 after a complete statistics reply, -1 for
// anything else that returns; a terminate request ends the process.
int java_socket_process(vpnc_session* s, int fd);
// Every terminate request read before the exit is owed its echo, whichever
// thread ran the teardown. The exit routine sends them all, once, after the
// teardown (and only then); a request read after that gets none.
void launcher_send_owed_echoes();
// Test seams: the extra-connection workers alive now; forget owed echoes.
int launcher_extra_workers();
void launcher_echoes_reset_for_test();
// Worker for one extra connection (a detached thread); it takes over the
// listener's heap-allocated share of the connection.
void* socket_sub_listen_thread(void* conn);

// One pass of the FIFO writer on `path`: bytes written, or -1 when the path
// is no FIFO (symbolic links are not followed) or the write failed.
int fifo_writer_pass(const char* path);
