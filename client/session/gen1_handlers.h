// Generation-1 handler set: the request over the page path, the 60-byte
// configuration request, the one-pass configuration reply, the relay and
// the teardown. Start-up never selects it.
#pragma once
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "client/session.h"
#include "client/session/config_receivers.h"

inline constexpr std::size_t kGen1RequestWireSize = 60;
inline constexpr std::size_t kGen1ReplyFixedSize = 68;  // offsets 0 to 67
inline constexpr uint32_t kGen1RequestType = 1001;
inline constexpr uint32_t kGen1ReplyType = 1003;
inline constexpr std::size_t kGen1MaxAddresses = 5;
// The reply, header and every section, must fit the 65534 bytes a read asks for.
inline constexpr uint64_t kGen1ReplyMax = 65534;

// The local addresses of the request: `count` (host order here, big-endian
// on the wire) and the IPv4 addresses in network order; the seven slots of
// the wire, at most five used.
struct ip_list {
  uint32_t count;
  uint32_t ips[7];
};
static_assert(sizeof(ip_list) == kGen1RequestWireSize - 28);

void update_local_ip_list(ip_list* list);
// Session id of the cookie: at most 8 hexadecimal digits after the first '+'
// of the field, up to the first other character. false when there is no '+'.
bool gen1_session_id(const char* cookie, std::size_t field_size, uint32_t* id);

int config_rqt_qn1_on(vpnc_session* s, cfg_stream* io);
int config_receive_qn1_on(vpnc_session* s, cfg_stream* io);

// DNS text and service name the teardown puts back; nothing fills them.
extern char dnsip[512];

// Test seams. The kill hook receives the other instances of the daemon
// instead of SIGKILL; reset makes the teardown runnable again.
using gen1_kill_fn = void (*)(const std::vector<pid_t>& pids);
void gen1_set_kill_hook(gen1_kill_fn fn);
void gen1_reset_for_test();
