// A TLS server on 127.0.0.1 for unit tests: reads the cleartext 82-byte
// preamble of each connection, then runs the TLS handshake on the same socket.
#pragma once
#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// A self-signed P-256 certificate with subject and issuer "gw.test".
inline bool make_test_identity(EVP_PKEY** key, X509** cert) {
  *key = EVP_EC_gen("P-256");
  *cert = X509_new();
  if (*key == nullptr || *cert == nullptr) return false;
  X509_set_version(*cert, 2);
  ASN1_INTEGER_set(X509_get_serialNumber(*cert), 1);
  X509_gmtime_adj(X509_getm_notBefore(*cert), 0);
  X509_gmtime_adj(X509_getm_notAfter(*cert), 3600);
  X509_set_pubkey(*cert, *key);
  X509_NAME* name = X509_get_subject_name(*cert);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("gw.test"), -1, -1, 0);
  X509_set_issuer_name(*cert, name);
  X509_sign(*cert, *key, EVP_sha256());
  return true;
}

// A TLS 1.2 connection over a socketpair, both ends in the test process:
// `client` on fds[0] (the daemon's side), `server` on fds[1]. open() may be
// given the client context (taken over), e.g. the daemon's own.
struct TlsSocketPair {
  SSL_CTX* sctx = nullptr;
  SSL_CTX* cctx = nullptr;
  SSL* server = nullptr;
  SSL* client = nullptr;
  int fds[2] = {-1, -1};

  bool open(SSL_CTX* client_ctx = nullptr) {
    EVP_PKEY* key = nullptr;
    X509* cert = nullptr;
    const bool made = make_test_identity(&key, &cert);
    cctx = client_ctx;
    if (made) {
      sctx = SSL_CTX_new(TLS_server_method());
      if (cctx == nullptr) {
        cctx = SSL_CTX_new(TLS_client_method());
        SSL_CTX_set_max_proto_version(cctx, TLS1_2_VERSION);  // the daemon's newest version
      }
      SSL_CTX_use_certificate(sctx, cert);
      SSL_CTX_use_PrivateKey(sctx, key);
    }
    X509_free(cert);
    EVP_PKEY_free(key);
    if (!made || socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) return false;
    timeval tv{5, 0};  // a read that should not block ends the test instead
    setsockopt(fds[0], SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(fds[1], SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    server = SSL_new(sctx);
    client = SSL_new(cctx);
    SSL_set_fd(server, fds[1]);
    SSL_set_fd(client, fds[0]);
    std::atomic<int> accepted{0};
    std::thread t([&] { accepted = SSL_accept(server); });
    const int connected = SSL_connect(client);
    t.join();
    return connected == 1 && accepted.load() == 1;
  }
  ~TlsSocketPair() {
    SSL_free(server);
    SSL_free(client);
    SSL_CTX_free(sctx);
    SSL_CTX_free(cctx);
    for (int fd : fds)
      if (fd >= 0) close(fd);
  }
};

class TlsTestServer {
 public:
  // on_session runs on the server thread for the first connection whose
  // handshake succeeds; the server then stops accepting.
  explicit TlsTestServer(std::function<void(SSL*)> on_session, bool refuse_tls = false)
      : on_session_(std::move(on_session)), refuse_tls_(refuse_tls) {
    make_identity();
    ctx_ = SSL_CTX_new(TLS_server_method());
    SSL_CTX_set_min_proto_version(ctx_, TLS1_2_VERSION);
    SSL_CTX_use_certificate(ctx_, cert_);
    SSL_CTX_use_PrivateKey(ctx_, key_);
    lfd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(lfd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    getsockname(lfd_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
    listen(lfd_, 8);
    thread_ = std::thread([this] { run(); });
  }
  ~TlsTestServer() {
    stop_ = true;
    thread_.join();
    close(lfd_);
    SSL_CTX_free(ctx_);
    X509_free(cert_);
    EVP_PKEY_free(key_);
  }
  uint16_t port() const { return port_; }
  std::vector<std::string> preambles() {
    std::lock_guard<std::mutex> lk(m_);
    return preambles_;
  }
  int connections() {
    std::lock_guard<std::mutex> lk(m_);
    return connections_;
  }

  // Reads until `marker` has arrived (or 5 s / end of stream).
  static std::string read_until(SSL* ssl, const std::string& marker) {
    std::string got;
    char b[4096];
    while (got.find(marker) == std::string::npos) {
      int n = SSL_read(ssl, b, sizeof b);
      if (n <= 0) break;
      got.append(b, static_cast<size_t>(n));
    }
    return got;
  }

 private:
  void make_identity() { make_test_identity(&key_, &cert_); }
  void run() {
    for (int i = 0; i < 8 && !stop_; ++i) {
      pollfd p{lfd_, POLLIN, 0};
      int waited = 0;
      while (!stop_ && waited < 10000 && poll(&p, 1, 100) == 0) waited += 100;
      if (stop_ || !(p.revents & POLLIN)) return;
      int fd = accept4(lfd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) return;
      timeval tv{5, 0};
      setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
      std::string pre;
      char b[82];
      while (pre.size() < 82) {
        ssize_t n = recv(fd, b, 82 - pre.size(), 0);
        if (n <= 0) break;
        pre.append(b, static_cast<size_t>(n));
      }
      {
        std::lock_guard<std::mutex> lk(m_);
        ++connections_;
        preambles_.push_back(pre);
      }
      if (refuse_tls_) {
        close(fd);
        continue;
      }
      SSL* ssl = SSL_new(ctx_);
      SSL_set_fd(ssl, fd);
      bool ok = SSL_accept(ssl) == 1;
      if (ok && on_session_) on_session_(ssl);
      SSL_free(ssl);
      close(fd);
      ERR_clear_error();
      if (ok) return;
    }
  }

  std::function<void(SSL*)> on_session_;
  bool refuse_tls_;
  SSL_CTX* ctx_ = nullptr;
  X509* cert_ = nullptr;
  EVP_PKEY* key_ = nullptr;
  int lfd_ = -1;
  uint16_t port_ = 0;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::mutex m_;
  std::vector<std::string> preambles_;
  int connections_ = 0;
};
