// All TLS library calls for setting connections up and taking them down, and
// the two low-level primitives of the NTLM responses.
#include "client/session/tls_methods.h"

#include <openssl/des.h>
#include <openssl/err.h>
#include <openssl/md4.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <cerrno>
#include <csignal>
#include <cstring>

#include "client/diag.h"
#include "client/session/gateway_conn.h"

namespace {
constexpr const char kLogModule[] = "vpn_states";

// A call on the gateway socket that failed because the socket's time-out
// fired: the gateway stopped answering (the caller logs the failure itself).
int note_timeout(int ret, const char* op) {
  const int e = errno;
  if (ret <= 0 && (e == EAGAIN || e == EWOULDBLOCK))
    vpn_log(kLogModule, __LINE__, op, "no answer from the gateway within %d s, given up", gateway_io_bound_ms() / 1000);
  errno = e;  // the caller's own failure line reports it
  return ret;
}

// Non-blocking results: a want of the library as kTlsWantRead/Write.
int nb_result(SSL* ssl, int ret) {
  if (ret > 0) return ret;
  const int e = errno;
  const int cls = SSL_get_error(ssl, ret);
  errno = e;
  if (cls == SSL_ERROR_WANT_READ) return kTlsWantRead;
  if (cls == SSL_ERROR_WANT_WRITE) return kTlsWantWrite;
  return ret;
}
}  // namespace

int tls_library_init() {
  // The library writes with write(): a gateway or proxy that has gone must
  // fail the write, never end the process.
  signal(SIGPIPE, SIG_IGN);
  return OPENSSL_init_ssl(0, nullptr) == 1 ? 0 : -1;
}

SSL_CTX* tls_client_ctx(int version) {
  SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
  if (!ctx) return nullptr;
  // Pin the context to exactly one version. A version the library was built
  // without is refused here or at the handshake; either way the attempt fails.
  if (SSL_CTX_set_min_proto_version(ctx, version) != 1 || SSL_CTX_set_max_proto_version(ctx, version) != 1) {
    SSL_CTX_free(ctx);
    return nullptr;
  }
  // Read-ahead: one socket read takes whole records, several at a time,
  // instead of a header read and a body read per record. Every reader of the
  // connection goes through the library, and every "anything left?" check
  // asks SSL_has_pending, so nothing the library took early waits unseen.
  SSL_CTX_set_read_ahead(ctx, 1);
  SSL_CTX_set_default_read_buffer_len(ctx, kTlsReadBufferLen);
  return ctx;
}

SSL* tls_new_connection(SSL_CTX* ctx) { return ctx ? SSL_new(ctx) : nullptr; }

int tls_attach_fd(SSL* ssl, int fd) { return SSL_set_fd(ssl, fd); }

int tls_client_handshake(SSL* ssl, int* err) {
  errno = 0;
  // The handshake as a whole gets the I/O bound, like a reply: a gateway
  // trickling its certificate cannot stretch one attempt without end.
  io_deadline deadline(SSL_get_fd(ssl), __func__, "handshake");
  int ret = deadline.run([ssl] {
    ERR_clear_error();
    return nb_result(ssl, SSL_connect(ssl));
  });
  const int e = errno;
  *err = ret == 1 ? SSL_ERROR_NONE : SSL_get_error(ssl, ret);
  errno = e;
  return ret;
}

unsigned long tls_earliest_error() { return ERR_get_error(); }

int tls_error_class(SSL* ssl, int ret) { return ssl ? SSL_get_error(ssl, ret) : SSL_ERROR_SSL; }

const char* tls_cipher_name(SSL* ssl) {
  const char* name = ssl ? SSL_get_cipher_name(ssl) : nullptr;
  return name ? name : "(NONE)";
}

int tls_check_peer_names(SSL* ssl, X509** cert_slot, char** line_slot) {
  *cert_slot = ssl ? SSL_get1_peer_certificate(ssl) : nullptr;
  if (!*cert_slot) return 1;
  int missing = 0;
  X509_NAME* names[2] = {X509_get_subject_name(*cert_slot), X509_get_issuer_name(*cert_slot)};
  for (int i = 0; i < 2 && !missing; ++i) {
    *line_slot = names[i] ? X509_NAME_oneline(names[i], nullptr, 0) : nullptr;
    if (!*line_slot) {
      missing = 2 + i;
      break;
    }
    OPENSSL_free(*line_slot);
    *line_slot = nullptr;
  }
  X509_free(*cert_slot);
  *cert_slot = nullptr;
  return missing;
}

void tls_set_quiet(SSL* ssl) {
  if (ssl) SSL_set_quiet_shutdown(ssl, 1);
}

int tls_shutdown(SSL* ssl) { return ssl ? SSL_shutdown(ssl) : -1; }

void tls_free(SSL* ssl, SSL_CTX* ctx) {
  SSL_free(ssl);  // both accept null
  SSL_CTX_free(ctx);
}

int tls_read(SSL* ssl, void* data, int len) {
  errno = 0;
  return ssl ? note_timeout(SSL_read(ssl, data, len), __func__) : -1;
}
int tls_peek(SSL* ssl, void* data, int len) {
  errno = 0;
  return ssl ? note_timeout(SSL_peek(ssl, data, len), __func__) : -1;
}
int tls_write(SSL* ssl, const void* data, int len) {
  errno = 0;
  return ssl ? note_timeout(SSL_write(ssl, data, len), __func__) : -1;
}


int tls_read_nb(SSL* ssl, void* data, int len) {
  if (!ssl) return -1;
  ERR_clear_error();
  errno = 0;
  return nb_result(ssl, SSL_read(ssl, data, len));
}
int tls_peek_nb(SSL* ssl, void* data, int len) {
  if (!ssl) return -1;
  ERR_clear_error();
  errno = 0;
  return nb_result(ssl, SSL_peek(ssl, data, len));
}
int tls_fd(SSL* ssl) { return ssl ? SSL_get_fd(ssl) : -1; }


// MD4 and single DES are deprecated in OpenSSL 3 and their EVP forms live in
// the legacy provider, which Debian does not load by default; the low-level
// calls work without it.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
void crypto_md4(const uint8_t* data, std::size_t len, uint8_t out[16]) {
  static const uint8_t kNone = 0;
  MD4(len ? data : &kNone, len, out);
}

void crypto_des_ecb_block(const uint8_t key[8], const uint8_t in[8], uint8_t out[8]) {
  DES_cblock k;
  std::memcpy(k, key, sizeof k);
  DES_key_schedule ks;
  DES_set_key_unchecked(&k, &ks);
  DES_cblock src, dst;
  std::memcpy(src, in, sizeof src);
  DES_ecb_encrypt(&src, &dst, &ks, DES_ENCRYPT);
  std::memcpy(out, dst, sizeof dst);
  OPENSSL_cleanse(&ks, sizeof ks);
}
#pragma GCC diagnostic pop
