// Proxy auto-config text shared by the PAC generators.
#include "client/proxy/pac_text.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

std::string pac_js_escape(std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c == '\\' || c == '"' || c == '\'') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20 || c == 0x7f) {
      out += "\\x";
      out += kHex[c >> 4];
      out += kHex[c & 0xf];
    } else if (c == 0xe2 && i + 2 < text.size() && static_cast<unsigned char>(text[i + 1]) == 0x80 &&
               (static_cast<unsigned char>(text[i + 2]) == 0xa8 || static_cast<unsigned char>(text[i + 2]) == 0xa9)) {
      // U+2028 and U+2029 end a line inside older engines' string literals.
      out += static_cast<unsigned char>(text[i + 2]) == 0xa8 ? "\\u2028" : "\\u2029";
      i += 2;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

std::string pac_js_quote(std::string_view text) { return "\"" + pac_js_escape(text) + "\""; }

std::string pac_host_pattern(std::string_view pattern) {
  std::string out;
  for (char ch : pattern) {
    const unsigned char c = static_cast<unsigned char>(ch);
    if (ch == '*') {
      out += ".*";
    } else if (ch == '.') {
      out += "\\.";
    } else if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || ch == '-' ||
               ch == '_') {
      out += ch;
    } else if (c < 0x20 || c >= 0x7f) {
      // A backslash before a line feed would still end the literal.
      static constexpr char kHex[] = "0123456789abcdef";
      out += "\\x";
      out += kHex[c >> 4];
      out += kHex[c & 0xf];
    } else {
      out += '\\';
      out += ch;
    }
  }
  return out;
}

std::string pac_dotted(uint32_t net_order) {
  char text[INET_ADDRSTRLEN] = {};
  in_addr a{};
  a.s_addr = net_order;
  inet_ntop(AF_INET, &a, text, sizeof text);
  return text;
}

std::string pac_isinnet_test(const std::string& addr, const std::string& mask) {
  return "\tif (isInNet(host, " + pac_js_quote(addr) + ", " + pac_js_quote(mask) + ")) {\n";
}

std::string pac_isinnet_test(uint32_t addr, uint32_t mask) {
  return pac_isinnet_test(pac_dotted(addr), pac_dotted(mask));
}

std::string pac_return_proxy_block(std::string_view proxy) {
  return "\t\treturn \"PROXY " + pac_js_escape(proxy) + "\";\n\t}\n";
}

std::string pac_scheme_test(std::string_view scheme) {
  const std::string s = std::string(scheme) + ":";
  return "\tif (url.substring(0, " + std::to_string(s.size()) + ") == " + pac_js_quote(s) + ") {\n";
}

long pac_copy_renamed(std::FILE* in, std::FILE* out, const char* new_name) {
  std::unique_ptr<char[]> line(new char[kPacCopyLineSize]);
  const std::size_t name_len = std::strlen(kPacFunctionName);
  long changed = 0;
  while (std::fgets(line.get(), static_cast<int>(kPacCopyLineSize), in)) {
    if (char* p = std::strstr(line.get(), kPacFunctionName)) {
      std::memcpy(p, new_name, std::min(name_len, std::strlen(new_name)));
      ++changed;
    }
    const std::size_t n = std::strlen(line.get());
    if (std::fwrite(line.get(), 1, n, out) != n) return -1;
  }
  return changed;
}

std::string pac_rename_text(const std::string& script, const char* new_name, long* changed) {
  const std::size_t name_len = std::strlen(kPacFunctionName);
  const std::size_t piece_max = kPacCopyLineSize - 1;
  std::string out;
  out.reserve(script.size());
  *changed = 0;
  std::size_t at = 0;
  while (at < script.size()) {
    std::size_t end = script.find('\n', at);
    end = end == std::string::npos ? script.size() : end + 1;
    if (end - at > piece_max) end = at + piece_max;
    std::string piece = script.substr(at, end - at);
    if (std::size_t p = piece.find(kPacFunctionName); p != std::string::npos) {
      piece.replace(p, std::min(name_len, std::strlen(new_name)), new_name, std::min(name_len, std::strlen(new_name)));
      ++*changed;
    }
    out += piece;
    at = end;
  }
  return out;
}

bool pac_make_public(int fd) { return fchmod(fd, 0644) == 0; }

std::FILE* pac_file_create(const std::string& path) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY, 0644);
  if (fd < 0) return nullptr;
  std::FILE* f = pac_make_public(fd) ? fdopen(fd, "w") : nullptr;
  if (!f) {
    const int err = errno;
    close(fd);
    errno = err;
  }
  return f;
}
