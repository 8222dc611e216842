#include "platform/fd_ops.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

int vpnc_socket_cloexec(int domain, int type, int protocol) {
  return socket(domain, type | SOCK_CLOEXEC, protocol);
}

int vpnc_accept_cloexec(int listen_fd) {
  return accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
}

int vpnc_dup_onto_cloexec(int from, int to) {
  if (from == to) return fcntl(to, F_SETFD, FD_CLOEXEC) == 0 ? to : -1;
  return dup3(from, to, O_CLOEXEC);
}

void vpnc_close_from(int lowest) {
  if (lowest < 0) lowest = 0;
  if (close_range(static_cast<unsigned>(lowest), ~0U, 0) == 0) return;
  // Kernels before 5.9: a bounded loop (getrlimit is async-signal-safe
  // in practice; the fallback limit covers a failed call).
  struct rlimit rl {};
  long top = (getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur != RLIM_INFINITY)
                 ? static_cast<long>(rl.rlim_cur)
                 : 65536;
  for (long fd = lowest; fd < top; ++fd) close(static_cast<int>(fd));
}

ssize_t vpnc_send_nosignal(int fd, const void* buf, size_t len, int flags) {
  return send(fd, buf, len, flags | MSG_NOSIGNAL);
}
