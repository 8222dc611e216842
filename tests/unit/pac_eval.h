// Evaluates a PAC file with a real PAC engine (pacparser, through
// tests/system/pac_eval.py) with a fixed name table in place of DNS.
#pragma once
#include <sys/wait.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

struct pac_eval_result {
  bool ok = false;
  std::vector<std::string> answers;  // one per URL, when ok
  std::string error;                 // the engine's complaint, when not ok
};

inline std::string pac_eval_shell_quote(const std::string& s) {
  std::string out = "'";
  for (char c : s) {
    if (c == '\'')
      out += "'\\''";
    else
      out += c;
  }
  return out + "'";
}

// `names`: host name -> dotted address that dnsResolve answers; any other
// name does not resolve.
inline pac_eval_result pac_evaluate(const std::string& pac_path, const std::vector<std::string>& urls,
                                    const std::map<std::string, std::string>& names = {}) {
  std::string cmd = "/usr/bin/python3 " VPNC_SOURCE_DIR "/tests/system/pac_eval.py " + pac_eval_shell_quote(pac_path);
  for (const auto& [host, ip] : names) cmd += " --name " + pac_eval_shell_quote(host + "=" + ip);
  for (const auto& u : urls) cmd += " " + pac_eval_shell_quote(u);
  cmd += " 2>&1";
  pac_eval_result r;
  std::FILE* p = popen(cmd.c_str(), "r");
  if (!p) {
    r.error = "cannot start the evaluator";
    return r;
  }
  std::string out;
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  const int status = pclose(p);
  r.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  if (!r.ok) {
    r.error = out;
    return r;
  }
  size_t start = 0;
  while (start < out.size()) {
    size_t end = out.find('\n', start);
    if (end == std::string::npos) end = out.size();
    r.answers.push_back(out.substr(start, end - start));
    start = end + 1;
  }
  if (r.answers.size() != urls.size()) {
    r.ok = false;
    r.error = "unexpected evaluator output: " + out;
  }
  return r;
}
