// Every direct use of the TLS library's connection set-up lives behind these
// calls, so that version pinning and the legacy name rendering stay in one file.
#pragma once
#include <openssl/types.h>

#include <cstddef>
#include <cstdint>

// Read buffer of a gateway connection: room for several full 16 KB records,
// taken with read-ahead.
inline constexpr long kTlsReadBufferLen = 4 * (16384 + 2048 + 5);

// Repeatable library initialisation; 0 on success.
int tls_library_init();
// A client context that offers only `version` (VPNC_PROTO_*), with
// read-ahead into a kTlsReadBufferLen buffer, library defaults otherwise;
// null when the library cannot offer it.
SSL_CTX* tls_client_ctx(int version);
SSL* tls_new_connection(SSL_CTX* ctx);
int tls_attach_fd(SSL* ssl, int fd);
// Blocking client handshake: 1 on success; else the return value, with the
// library's classification in *err.
int tls_client_handshake(SSL* ssl, int* err);
unsigned long tls_earliest_error();
int tls_error_class(SSL* ssl, int ret);
const char* tls_cipher_name(SSL* ssl);
// Takes the peer certificate and renders subject and issuer as one-line texts
// (released at once). 0 when all three exist; else which one is missing:
// 1 certificate, 2 subject, 3 issuer.
int tls_check_peer_names(SSL* ssl, X509** cert_slot, char** line_slot);
// Marks the connection so that a later shutdown writes nothing.
void tls_set_quiet(SSL* ssl);
int tls_shutdown(SSL* ssl);
void tls_free(SSL* ssl, SSL_CTX* ctx);

int tls_read(SSL* ssl, void* data, int len);
int tls_peek(SSL* ssl, void* data, int len);
int tls_write(SSL* ssl, const void* data, int len);
// On a non-blocking socket: the byte count, kTlsWantRead / kTlsWantWrite
// when the record is not complete yet, else the library's result (<= 0).
inline constexpr int kTlsWantRead = -2;
inline constexpr int kTlsWantWrite = -3;
int tls_read_nb(SSL* ssl, void* data, int len);
int tls_peek_nb(SSL* ssl, void* data, int len);
int tls_fd(SSL* ssl);

// The NTLMv1 primitives: MD4 of `len` bytes (none is fine), and one DES block
// encrypted in ECB mode with an 8-byte key scheduled without a weak-key check.
void crypto_md4(const uint8_t* data, std::size_t len, uint8_t out[16]);
void crypto_des_ecb_block(const uint8_t key[8], const uint8_t in[8], uint8_t out[8]);
