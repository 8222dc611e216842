// A private desktop for the proxy-settings tests: a temporary HOME (profiles
// live there; the shell expands ~ from it), gsettings on a keyfile backend
// under a temporary XDG_CONFIG_HOME, the working directory inside the
// temporary tree, and a directory first on PATH for fake tools.
#pragma once
#include <dirent.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/child_run.h"
#include "tests/unit/file_text.h"

namespace desktop_test {

using test_files::slurp;

inline void spit(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

inline bool exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

inline void mkdirs(const std::string& path) {
  for (size_t i = 1; i <= path.size(); ++i)
    if (i == path.size() || path[i] == '/') mkdir(path.substr(0, i).c_str(), 0755);
}

// Names in a directory, "." and ".." left out.
inline std::vector<std::string> dir_names(const std::string& dir) {
  std::vector<std::string> out;
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d)) {
      const std::string n = e->d_name;
      if (n != "." && n != "..") out.push_back(n);
    }
    closedir(d);
  }
  return out;
}

// Every file of a directory tree with its bytes, keyed by relative path.
inline std::map<std::string, std::string> tree_files(const std::string& dir, const std::string& prefix = "") {
  std::map<std::string, std::string> out;
  for (const auto& n : dir_names(dir)) {
    const std::string path = dir + "/" + n;
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0) continue;
    if (S_ISDIR(st.st_mode)) {
      out[prefix + n + "/"] = "";
      for (auto& [k, v] : tree_files(path, prefix + n + "/")) out[k] = v;
    } else {
      out[prefix + n] = slurp(path);
    }
  }
  return out;
}

// Runs a shell line with the test's environment; its exit status.
inline int sh(const std::string& line) {
  const int st = std::system(line.c_str());
  return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

inline std::string shell_quote(const std::string& s) {
  std::string out = "'";
  for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

class DesktopEnv {
 public:
  DesktopEnv() {
    char tmpl[] = "/tmp/vpnc_desktop_XXXXXX";
    root_ = mkdtemp(tmpl);
    home = root_ + "/home";
    work = root_ + "/work";
    bin = root_ + "/bin";
    mkdirs(home);
    mkdirs(work);
    mkdirs(bin);
    mkdirs(root_ + "/config");
    save("HOME");
    save("XDG_CONFIG_HOME");
    save("GSETTINGS_BACKEND");
    save("PATH");
    setenv("HOME", home.c_str(), 1);
    setenv("XDG_CONFIG_HOME", (root_ + "/config").c_str(), 1);
    setenv("GSETTINGS_BACKEND", "keyfile", 1);
    const char* path = std::getenv("PATH");
    setenv("PATH", (bin + ":" + (path ? path : "/usr/bin:/bin")).c_str(), 1);
    // The daemon's tools get a fixed PATH and HOME, never the process's:
    // the runner's test seam gives them these instead. gsettings finds its
    // keyfile backend through a wrapper first on PATH.
    vpnc_child_env_override(std::getenv("PATH"), home.c_str());
    spit(bin + "/gsettings", "#!/bin/sh\nXDG_CONFIG_HOME=" + shell_quote(root_ + "/config") +
                                 " GSETTINGS_BACKEND=keyfile exec /usr/bin/gsettings \"$@\"\n");
    chmod((bin + "/gsettings").c_str(), 0755);
    char cwd[4096];
    if (getcwd(cwd, sizeof cwd)) old_cwd_ = cwd;
    if (chdir(work.c_str()) != 0) std::abort();
  }
  ~DesktopEnv() {
    vpnc_child_env_override(nullptr, nullptr);
    if (!old_cwd_.empty() && chdir(old_cwd_.c_str()) != 0) std::abort();
    for (auto& [name, value] : saved_) {
      if (value)
        setenv(name.c_str(), value->c_str(), 1);
      else
        unsetenv(name.c_str());
    }
    sh("rm -rf " + shell_quote(root_));
  }
  DesktopEnv(const DesktopEnv&) = delete;
  DesktopEnv& operator=(const DesktopEnv&) = delete;

  std::string file(const std::string& name) const { return root_ + "/" + name; }

  // A fake tool first on PATH: records its arguments (one line per call) in
  // `name`.args, prints the bytes of `name`.out, exits with `rc`.
  void fake_tool(const std::string& name, const std::string& output, int rc = 0) {
    spit(file(name + ".out"), output);
    spit(bin + "/" + name,
         "#!/bin/sh\nprintf '%s\\n' \"$*\" >> " + shell_quote(file(name + ".args")) + "\ncat " +
             shell_quote(file(name + ".out")) + "\nexit " + std::to_string(rc) + "\n");
    chmod((bin + "/" + name).c_str(), 0755);
  }
  std::string tool_args(const std::string& name) const { return slurp(file(name + ".args")); }

  std::string home, work, bin;

 private:
  void save(const char* name) {
    const char* v = std::getenv(name);
    saved_[name] = v ? std::optional<std::string>(v) : std::nullopt;
  }
  std::string root_;
  std::string old_cwd_;
  std::map<std::string, std::optional<std::string>> saved_;
};

}  // namespace desktop_test
