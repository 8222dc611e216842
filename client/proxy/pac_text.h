// Pieces of proxy auto-config text shared by every PAC generator: the
// function head, the rules, the scheme tests, JavaScript string escaping,
// the copy of a user's script under another function name, and the opening
// of a file that every application will read.
#pragma once
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

inline constexpr char kPacHead[] = "\nfunction FindProxyForURL(url, host)\n{\n";
inline constexpr char kPacFunctionName[] = "FindProxyForURL";
inline constexpr char kPacReturnDirectBlock[] = "\t\treturn \"DIRECT\";\n\t}\n";
inline constexpr char kPacReturnDirectEnd[] = "\treturn \"DIRECT\";\n}\n";
// Line buffer through which a user's script is copied; a longer line is
// handled as several pieces.
inline constexpr std::size_t kPacCopyLineSize = 307200;

// The body of a JavaScript string literal holding `text` exactly, whichever
// quote ('"' or '\'') delimits it: backslashes, both quotes, control
// characters and the two Unicode line separators are escaped, so no text can
// end the literal or the line.
std::string pac_js_escape(std::string_view text);
// `text` between double quotes, escaped.
std::string pac_js_quote(std::string_view text);

// One alternative of a `host.search(/.../)` pattern for a host pattern where
// "*" stands for any text: "*" becomes ".*", "." becomes "\.", letters,
// digits, "-" and "_" stay, every other character gets a backslash, so the
// pattern can never end the regular-expression literal.
std::string pac_host_pattern(std::string_view pattern);

// Dotted decimal form of a network-order IPv4 address.
std::string pac_dotted(uint32_t net_order);

// "\tif (isInNet(host, \"A\", \"M\")) {\n" for a network-order address and mask.
std::string pac_isinnet_test(uint32_t addr, uint32_t mask);
// "\tif (isInNet(host, \"A\", \"M\")) {\n" for texts already in dotted form.
std::string pac_isinnet_test(const std::string& addr, const std::string& mask);
// "\t\treturn \"PROXY <text>\";\n\t}\n", the text escaped.
std::string pac_return_proxy_block(std::string_view proxy);
// "\tif (url.substring(0, N) == \"<scheme>:\") {\n", N the length of "<scheme>:".
std::string pac_scheme_test(std::string_view scheme);

// Copies the open script `in` to `out` through the line buffer; in each line
// (or piece) the first occurrence of "FindProxyForURL" is overwritten by
// `new_name` (same length). Answers the number of lines changed, or -1 on a
// write error.
long pac_copy_renamed(std::FILE* in, std::FILE* out, const char* new_name);

// The same renaming for a script held in memory (lines longer than the line
// buffer are handled as several pieces, as in the copy above). Answers the
// renamed text; *changed receives the number of lines changed.
std::string pac_rename_text(const std::string& script, const char* new_name, long* changed);

// Gives the file on `fd` the mode of a file every user reads and only root
// writes (0644), whatever the umask it was created under. False when that
// could not be set.
bool pac_make_public(int fd);
// Creates or truncates `path` for writing, never through a link, with the
// mode above. Null (errno set) when it cannot be opened so.
std::FILE* pac_file_create(const std::string& path);
