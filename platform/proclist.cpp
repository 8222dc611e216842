#include "platform/proclist.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

int proclist_by_name(const char* name, std::vector<pid_t>& out) {
  out.clear();
  if (name == nullptr || name[0] == '\0') return 0;
  DIR* d = opendir("/proc");
  if (d == nullptr) return -1;
  while (dirent* e = readdir(d)) {
    char* end = nullptr;
    const long pid = std::strtol(e->d_name, &end, 10);
    if (end == e->d_name || *end != '\0' || pid <= 0) continue;
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%ld/comm", pid);
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) continue;  // gone meanwhile
    char comm[64] = {};
    const ssize_t n = read(fd, comm, sizeof comm - 1);
    close(fd);
    if (n <= 0) continue;
    std::size_t len = static_cast<std::size_t>(n);
    if (comm[len - 1] == '\n') comm[--len] = '\0';
    if (std::strcmp(comm, name) == 0) out.push_back(static_cast<pid_t>(pid));
  }
  closedir(d);
  return 0;
}
