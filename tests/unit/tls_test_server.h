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
  void make_identity() {
    key_ = EVP_EC_gen("P-256");
    cert_ = X509_new();
    X509_set_version(cert_, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert_), 1);
    X509_gmtime_adj(X509_getm_notBefore(cert_), 0);
    X509_gmtime_adj(X509_getm_notAfter(cert_), 3600);
    X509_set_pubkey(cert_, key_);
    X509_NAME* name = X509_get_subject_name(cert_);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("gw.test"), -1, -1, 0);
    X509_set_issuer_name(cert_, name);
    X509_sign(cert_, key_, EVP_sha256());
  }
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
