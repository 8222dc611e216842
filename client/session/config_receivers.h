// Receivers of the gateway's configuration sections, and the byte stream
// they read from. Every field is read whole; a read error or the end of the
// stream before a field is complete fails the receiver. Nothing is ever
// allocated by a length taken from the wire: texts go into their fixed
// fields and whatever does not fit is read and thrown away in chunks, so the
// stream stays in step with the gateway.
#pragma once
#include <openssl/types.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "client/config_store.h"

// Little-endian writer for the requests (the store has the readers).
inline void cfg_put_le32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
  p[2] = static_cast<uint8_t>(v >> 16);
  p[3] = static_cast<uint8_t>(v >> 24);
}

// A byte stream: the TLS connection in the daemon, memory in tests.
struct cfg_stream {
  // >0: bytes moved; 0: end of stream; <0: error (last_err says which).
  int (*read)(cfg_stream* s, void* buf, int len) = nullptr;
  int (*write)(cfg_stream* s, const void* buf, int len) = nullptr;
  void* ctx = nullptr;
  int last_err = 0;  // TLS library error code of the last failed call
  // Whole-exchange deadline (steady clock, ms; 0: none), see cfg_deadline.
  long long until_ms = 0;
  bool timed_out = false;
  const char* deadline_who = "";
  int deadline_ms = 0;
};

// The session's TLS connection (null gives a stream whose calls fail).
cfg_stream cfg_stream_ssl(SSL* ssl);

// The gateway has this long for its whole record sequence (a first
// exchange, or a reconnection's drain), however it spreads the bytes.
inline constexpr int kConfigExchangeBoundMs = 60 * 1000;
// One deadline over every read and write of `io` while the object lives:
// the socket is non-blocking meanwhile, each wait on it gets what is left of
// `bound_ms` (and no more than a single read's own bound), and once the time
// is up the call fails, logged once as `who`.
class cfg_deadline {
 public:
  cfg_deadline(cfg_stream* io, SSL* ssl, const char* who, int bound_ms = kConfigExchangeBoundMs);
  ~cfg_deadline();
  cfg_deadline(const cfg_deadline&) = delete;
  cfg_deadline& operator=(const cfg_deadline&) = delete;
  // True when a call failed because the time was up.
  bool expired() const { return io_->timed_out; }

 private:
  cfg_stream* io_;
  int fd_ = -1;
  int restore_ = -1;
};

// An in-memory stream: reads come from `input` (at most `chunk` bytes per
// call when nonzero), writes are appended to `output`. With `fail_at_end`
// the end of input reads as an error instead of an orderly end.
struct cfg_mem_stream {
  std::vector<uint8_t> input;
  std::size_t pos = 0;
  std::size_t chunk = 0;
  bool fail_at_end = false;
  bool fail_writes = false;
  std::vector<uint8_t> output;
  cfg_stream stream();
};

// Reads exactly `len` bytes. Answers `len` when they all arrived, otherwise
// the result of the read that stopped it (0 end of stream, <0 error).
long cfg_read_full(cfg_stream* s, void* buf, std::size_t len);
// Reads and drops `len` bytes in chunks; 1 when all were read, else 0.
int cfg_discard(cfg_stream* s, uint64_t len);
// Writes all `len` bytes; answers `len`, or the failing write's result.
long cfg_write_full(cfg_stream* s, const void* buf, std::size_t len);

// Section receivers: 1 success, 0 failure. Each resets its target's count
// and leaves it exact on failure. Entries beyond a list's capacity are read
// and dropped (one log line says how many).
int RecvHostMap(cfg_stream* s, _VPN_HOST_MAP_LIST_* list, uint32_t budget);
int RecvCommand(cfg_stream* s, _VPN_COMMAND_LIST_* list, uint32_t budget);
int RecvResource(cfg_stream* s, _VPN_RESOURCE_LIST_* list, uint32_t count, int allow_empty);
int RecvInsideProxy(cfg_stream* s, _VPN_INSIDEPROXY_* proxy, uint32_t len);
int RecvIPList(cfg_stream* s, _VPN_IP_LIST_* list, uint32_t count);
int RecvSearchDomain(cfg_stream* s, _VPN_SEARCHDOMAIN_LIST_* list, uint32_t len);
