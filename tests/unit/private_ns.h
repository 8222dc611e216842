// Runs a test body in a forked child inside namespaces of its own, so the
// interfaces and mounts it makes never reach the machine.
#pragma once
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstddef>
#include <functional>
#include <string>

// Answers "" when the body answered "", else the body's failure text or why
// the child could not report. The child is given 20 s.
inline std::string in_private_ns(int ns_flags, const std::function<std::string()>& body) {
  int p[2];
  if (pipe2(p, O_CLOEXEC) != 0) return "pipe failed";
  pid_t pid = fork();
  if (pid == 0) {
    close(p[0]);
    alarm(20);
    std::string err = unshare(ns_flags) == 0 ? body() : std::string("unshare failed");
    if (err.empty()) err = "ok";
    ssize_t w = write(p[1], err.data(), err.size());
    (void)w;
    _exit(0);
  }
  close(p[1]);
  std::string out;
  for (int i = 0; i < 300; ++i) {  // 30 s at most
    pollfd pfd{p[0], POLLIN, 0};
    if (poll(&pfd, 1, 100) <= 0) continue;
    char buf[512];
    ssize_t r = read(p[0], buf, sizeof buf);
    if (r <= 0) break;
    out.append(buf, static_cast<std::size_t>(r));
  }
  close(p[0]);
  int status = 0;
  pid_t done = 0;
  for (int i = 0; i < 200 && (done = waitpid(pid, &status, WNOHANG)) == 0; ++i) usleep(50000);
  if (done == 0) {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    return "child did not finish";
  }
  if (out == "ok") return "";
  return out.empty() ? "child ended without a result" : out;
}

inline std::string in_private_netns(const std::function<std::string()>& body) { return in_private_ns(CLONE_NEWNET, body); }
