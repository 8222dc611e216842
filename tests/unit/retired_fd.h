// Checks for a utun descriptor taken out of service by relay_retire_tunfd.
#pragma once
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>

#include <string>

#include "client/tunnel_ops.h"

namespace retired_fd {

// `read_end` (a pipe standing in for the device) was retired: the pipe is
// released at once (its writer sees no reader left), the number sits on
// /dev/null until the main loop's next pass, which closes it. Empty when
// so, else what is wrong.
inline std::string parked_then_closed(int read_end, int write_end) {
  pollfd w{write_end, POLLOUT, 0};
  if (poll(&w, 1, 0) != 1 || !(w.revents & POLLERR)) return "the device is still held";
  struct stat at {}, null {};
  if (fstat(read_end, &at) != 0 || stat("/dev/null", &null) != 0 || at.st_rdev != null.st_rdev ||
      !S_ISCHR(at.st_mode))
    return "the number is not parked on /dev/null";
  relay_close_retired_tunfds();
  if (fcntl(read_end, F_GETFD) != -1) return "the parked number was not closed by the next pass";
  return "";
}

}  // namespace retired_fd
