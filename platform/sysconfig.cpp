// SystemConfiguration and CoreFoundation values over two JSON files.
#include "platform/sysconfig.h"
#include "client/unique_fd.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <limits>
#include <mutex>
#include <tuple>
#include <nlohmann/json.hpp>

using ojson = nlohmann::ordered_json;

namespace {

thread_local int t_sc_error = kSCStatusOK;

int fail(int status) {
  t_sc_error = status;
  return 0;
}

std::mutex g_root_mutex;
std::string g_root;

std::string root_dir() {
  std::lock_guard<std::mutex> lk(g_root_mutex);
  return g_root;
}

constexpr const char kStoreDir[] = "/Library/Preferences/SystemConfiguration";


bool valid_utf8(const std::string& s) {
  size_t i = 0;
  while (i < s.size()) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    size_t n;
    uint32_t cp;
    if (c < 0x80) {
      ++i;
      continue;
    } else if ((c & 0xE0) == 0xC0) {
      n = 1;
      cp = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
      n = 2;
      cp = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
      n = 3;
      cp = c & 0x07;
    } else {
      return false;
    }
    if (i + n >= s.size()) return false;
    for (size_t k = 1; k <= n; ++k) {
      unsigned char cc = static_cast<unsigned char>(s[i + k]);
      if ((cc & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (cc & 0x3F);
    }
    if ((n == 1 && cp < 0x80) || (n == 2 && cp < 0x800) || (n == 3 && (cp < 0x10000 || cp > 0x10FFFF)) ||
        (cp >= 0xD800 && cp <= 0xDFFF))
      return false;
    i += n + 1;
  }
  return true;
}

bool is_ascii(const std::string& s) {
  for (char ch : s)
    if (static_cast<unsigned char>(ch) >= 0x80) return false;
  return true;
}

CFTypeRef make(decltype(CFValue::v) v) {
  auto p = std::make_shared<CFValue>();
  p->v = std::move(v);
  return p;
}

CFTypeRef from_json(const ojson& j) {
  switch (j.type()) {
    case ojson::value_t::string:
      return make(j.get_ref<const std::string&>());
    case ojson::value_t::boolean:
      return make(int64_t{j.get<bool>() ? 1 : 0});
    case ojson::value_t::number_integer:
      return make(j.get<int64_t>());
    case ojson::value_t::number_unsigned: {
      uint64_t u = j.get<uint64_t>();
      if (u <= static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) return make(static_cast<int64_t>(u));
      return make(static_cast<double>(u));
    }
    case ojson::value_t::number_float:
      return make(j.get<double>());
    case ojson::value_t::array: {
      CFValue::Array a;
      for (const auto& e : j)
        if (auto v = from_json(e)) a.push_back(std::move(v));
      return make(std::move(a));
    }
    case ojson::value_t::object: {
      CFValue::Dictionary d;
      for (auto it = j.begin(); it != j.end(); ++it)
        if (auto v = from_json(it.value())) d[it.key()] = std::move(v);
      return make(std::move(d));
    }
    default:
      return nullptr;
  }
}

ojson to_json(const CFTypeRef& v) {
  if (!v) return nullptr;
  if (auto s = std::get_if<std::string>(&v->v)) return *s;
  if (auto i = std::get_if<int64_t>(&v->v)) return *i;
  if (auto d = std::get_if<double>(&v->v)) return *d;
  if (auto a = std::get_if<CFValue::Array>(&v->v)) {
    ojson out = ojson::array();
    for (const auto& e : *a)
      if (e) out.push_back(to_json(e));
    return out;
  }
  ojson out = ojson::object();
  for (const auto& [k, e] : std::get<CFValue::Dictionary>(v->v))
    if (e) out[k] = to_json(e);
  return out;
}

// Reads a store file: an object, an empty object when the file is missing or
// empty, nullopt (with the status set) when it cannot be read or parsed.
std::optional<ojson> read_store(const std::string& path) {
  unique_fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) {
    if (errno == ENOENT) return ojson::object();
    fail(errno == EACCES ? kSCStatusAccessError : kSCStatusFailed);
    return std::nullopt;
  }
  std::string text;
  char buf[8192];
  for (;;) {
    ssize_t n = ::read(fd.get(), buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      fail(kSCStatusFailed);
      return std::nullopt;
    }
    if (n == 0) break;
    text.append(buf, static_cast<size_t>(n));
  }
  if (text.find_first_not_of(" \t\r\n") == std::string::npos) return ojson::object();
  ojson j = ojson::parse(text, nullptr, false);
  if (j.is_discarded() || !j.is_object()) {
    fail(kSCStatusFailed);
    return std::nullopt;
  }
  return j;
}

bool make_dirs(const std::string& dir) {
  std::string cur;
  size_t pos = 0;
  while (pos != std::string::npos) {
    pos = dir.find('/', pos + 1);
    cur = dir.substr(0, pos);
    if (cur.empty()) continue;
    if (::mkdir(cur.c_str(), 0755) != 0 && errno != EEXIST) return false;
  }
  return true;
}

std::string dir_of(const std::string& path) { return path.substr(0, path.rfind('/')); }

// Exclusive lock on the directory that holds the store file.
unique_fd lock_dir(const std::string& path, bool wait) {
  std::string dir = dir_of(path);
  if (!make_dirs(dir)) {
    fail(kSCStatusAccessError);
    return unique_fd();
  }
  unique_fd fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (fd.get() < 0) {
    fail(kSCStatusAccessError);
    return unique_fd();
  }
  int r;
  do {
    r = ::flock(fd.get(), LOCK_EX | (wait ? 0 : LOCK_NB));
  } while (r != 0 && errno == EINTR);
  if (r != 0) {
    fail(errno == EWOULDBLOCK ? kSCStatusLocked : kSCStatusFailed);
    return unique_fd();
  }
  return fd;
}

bool write_all(int fd, const std::string& s) {
  size_t off = 0;
  while (off < s.size()) {
    ssize_t n = ::write(fd, s.data() + off, s.size() - off);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    off += static_cast<size_t>(n);
  }
  return true;
}

bool write_atomically(const std::string& path, const ojson& j) {
  std::string text = j.dump(2, ' ', false, ojson::error_handler_t::replace) + "\n";
  std::string tmp = path + ".tmp";
  unique_fd fd(::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  if (fd.get() < 0) return false;
  struct stat st{};
  if (::stat(path.c_str(), &st) == 0) ::fchmod(fd.get(), st.st_mode & 07777);
  bool ok = write_all(fd.get(), text) && ::fsync(fd.get()) == 0;
  fd.reset();
  if (!ok || ::rename(tmp.c_str(), path.c_str()) != 0) {
    ::unlink(tmp.c_str());
    return false;
  }
  return true;
}

using KeyPath = std::vector<std::string>;

void apply_change(ojson& root, const KeyPath& keys, const std::optional<ojson>& value) {
  ojson* node = &root;
  for (size_t i = 0; i + 1 < keys.size(); ++i) {
    if (!node->is_object()) *node = ojson::object();
    node = &(*node)[keys[i]];
  }
  if (!node->is_object()) *node = ojson::object();
  if (!value) {
    node->erase(keys.back());
    return;
  }
  ojson& target = (*node)[keys.back()];
  if (!target.is_object() || !value->is_object()) {
    target = *value;
    return;
  }
  // A replaced dictionary keeps the file's order of the keys it still has;
  // new keys follow.
  ojson merged = ojson::object();
  for (auto it = target.begin(); it != target.end(); ++it)
    if (value->contains(it.key())) merged[it.key()] = (*value)[it.key()];
  for (auto it = value->begin(); it != value->end(); ++it)
    if (!merged.contains(it.key())) merged[it.key()] = it.value();
  target = std::move(merged);
}

const ojson* find_path(const ojson& root, const KeyPath& keys) {
  const ojson* node = &root;
  for (const auto& k : keys) {
    if (!node->is_object()) return nullptr;
    auto it = node->find(k);
    if (it == node->end()) return nullptr;
    node = &*it;
  }
  return node;
}

}  // namespace

struct SCPreferences {
  std::string path;
  ojson data;
  std::vector<std::pair<KeyPath, std::optional<ojson>>> pending;
  unique_fd lock;
};

struct SCDynamicStore {
  ojson data;
};

struct SCNetworkService {
  SCPreferencesRef prefs;
  std::string id;
  CFStringRef id_string;
};

struct SCNetworkInterface {
  CFDictionaryRef dict;
};

struct SCNetworkProtocol {
  SCPreferencesRef prefs;
  std::string id;
  std::string type;
};

// ---- CF values ---------------------------------------------------------------

CFStringEncoding GetApplicationTextEncoding() { return kCFStringEncodingMacRoman; }

CFStringRef CFStringCreateWithCString(const char* text, CFStringEncoding enc) {
  if (!text) return nullptr;
  std::string s(text);
  if (enc == kCFStringEncodingUTF8 ? !valid_utf8(s) : !is_ascii(s)) return nullptr;
  return make(std::move(s));
}

bool CFIsString(CFTypeRef v) { return v && std::holds_alternative<std::string>(v->v); }

const char* CFStringGetCStringPtr(CFStringRef s, CFStringEncoding) {
  if (!CFIsString(s)) return nullptr;
  const std::string& text = std::get<std::string>(s->v);
  return is_ascii(text) ? text.c_str() : nullptr;
}

CFIndex CFStringGetLength(CFStringRef s) {
  if (!CFIsString(s)) return 0;
  CFIndex units = 0;
  const std::string& text = std::get<std::string>(s->v);
  for (size_t i = 0; i < text.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if ((c & 0xC0) == 0x80) continue;
    units += (c >= 0xF0) ? 2 : 1;
  }
  return units;
}

bool CFStringGetCString(CFStringRef s, char* buf, CFIndex size, CFStringEncoding enc) {
  if (!CFIsString(s) || !buf || size <= 0) return false;
  const std::string& text = std::get<std::string>(s->v);
  if (enc != kCFStringEncodingUTF8 && !is_ascii(text)) return false;
  if (static_cast<CFIndex>(text.size()) + 1 > size) return false;
  std::memcpy(buf, text.c_str(), text.size() + 1);
  return true;
}

bool CFStringEqual(CFStringRef s, const char* text) {
  return CFIsString(s) && text && std::get<std::string>(s->v) == text;
}

std::string CFStringGetText(CFStringRef s) { return CFIsString(s) ? std::get<std::string>(s->v) : std::string(); }

CFNumberRef CFNumberCreateInt(int64_t value) { return make(value); }
CFNumberRef CFNumberCreateDouble(double value) { return make(value); }

bool CFIsNumber(CFTypeRef v) {
  return v && (std::holds_alternative<int64_t>(v->v) || std::holds_alternative<double>(v->v));
}

bool CFNumberIsFloatType(CFNumberRef n) { return n && std::holds_alternative<double>(n->v); }

bool CFNumberGetSInt32(CFNumberRef n, int32_t* out) {
  if (!CFIsNumber(n) || !out) return false;
  if (auto i = std::get_if<int64_t>(&n->v)) {
    if (*i < std::numeric_limits<int32_t>::min() || *i > std::numeric_limits<int32_t>::max()) return false;
    *out = static_cast<int32_t>(*i);
    return true;
  }
  double d = std::get<double>(n->v);
  if (!(d >= std::numeric_limits<int32_t>::min() && d <= std::numeric_limits<int32_t>::max())) return false;
  *out = static_cast<int32_t>(d);
  return std::trunc(d) == d;
}

CFMutableArrayRef CFArrayCreateMutable() {
  auto p = std::make_shared<CFValue>();
  p->v = CFValue::Array{};
  return p;
}

void CFArrayAppendValue(const CFMutableArrayRef& a, CFTypeRef v) {
  if (!a || !v) return;
  if (auto arr = std::get_if<CFValue::Array>(&a->v)) arr->push_back(std::move(v));
}

CFIndex CFArrayGetCount(CFArrayRef a) {
  if (!a) return 0;
  auto arr = std::get_if<CFValue::Array>(&a->v);
  return arr ? static_cast<CFIndex>(arr->size()) : 0;
}

CFTypeRef CFArrayGetValueAtIndex(CFArrayRef a, CFIndex i) {
  if (!a || i < 0) return nullptr;
  auto arr = std::get_if<CFValue::Array>(&a->v);
  if (!arr || static_cast<size_t>(i) >= arr->size()) return nullptr;
  return (*arr)[static_cast<size_t>(i)];
}

CFMutableDictionaryRef CFDictionaryCreateMutable() {
  auto p = std::make_shared<CFValue>();
  p->v = CFValue::Dictionary{};
  return p;
}

CFMutableDictionaryRef CFDictionaryCreateMutableCopy(CFDictionaryRef d) {
  auto p = CFDictionaryCreateMutable();
  if (CFIsDictionary(d)) p->v = std::get<CFValue::Dictionary>(d->v);
  return p;
}

void CFDictionarySetValue(const CFMutableDictionaryRef& d, const char* key, CFTypeRef v) {
  if (!d || !key) return;
  auto dict = std::get_if<CFValue::Dictionary>(&d->v);
  if (!dict) return;
  if (v)
    (*dict)[key] = std::move(v);
  else
    dict->erase(key);
}

void CFDictionaryRemoveValue(const CFMutableDictionaryRef& d, const char* key) {
  CFDictionarySetValue(d, key, nullptr);
}

CFTypeRef CFDictionaryGetValue(CFDictionaryRef d, const char* key) {
  if (!CFIsDictionary(d) || !key) return nullptr;
  const auto& dict = std::get<CFValue::Dictionary>(d->v);
  auto it = dict.find(key);
  return it == dict.end() ? nullptr : it->second;
}

bool CFIsDictionary(CFTypeRef v) { return v && std::holds_alternative<CFValue::Dictionary>(v->v); }

// ---- errors --------------------------------------------------------------------

int SCError() { return t_sc_error; }

const char* SCErrorString(int status) {
  switch (status) {
    case kSCStatusOK:
      return "Success!";
    case kSCStatusFailed:
      return "Failed!";
    case kSCStatusInvalidArgument:
      return "Invalid argument";
    case kSCStatusAccessError:
      return "Permission denied";
    case kSCStatusNoKey:
      return "No such key";
    case kSCStatusLocked:
      return "Lock already held";
    case kSCStatusNoConfigFile:
      return "Configuration file not found";
    default:
      return "Unknown error";
  }
}

// ---- preferences -----------------------------------------------------------------

void sysconfig_set_root(const std::string& root) {
  std::lock_guard<std::mutex> lk(g_root_mutex);
  g_root = root;
}

std::string sysconfig_preferences_path() { return root_dir() + kStoreDir + "/preferences.json"; }
std::string sysconfig_dynamic_store_path() { return root_dir() + kStoreDir + "/dynamic-store.json"; }

SCPreferencesRef SCPreferencesCreate(const char* client_name, const char* prefs_id) {
  if (!client_name) {
    fail(kSCStatusInvalidArgument);
    return nullptr;
  }
  auto p = std::make_shared<SCPreferences>();
  p->path = prefs_id && prefs_id[0] == '/' ? prefs_id : sysconfig_preferences_path();
  auto data = read_store(p->path);
  if (!data) return nullptr;
  p->data = std::move(*data);
  return p;
}

bool SCPreferencesLock(const SCPreferencesRef& p, bool wait) {
  if (!p) return fail(kSCStatusInvalidArgument);
  if (p->lock.get() >= 0) return fail(kSCStatusLocked);
  unique_fd fd = lock_dir(p->path, wait);
  if (fd.get() < 0) return false;
  auto data = read_store(p->path);
  if (!data) return false;
  p->data = std::move(*data);
  for (const auto& [keys, value] : p->pending) apply_change(p->data, keys, value);
  p->lock = std::move(fd);
  return true;
}

bool SCPreferencesUnlock(const SCPreferencesRef& p) {
  if (!p || p->lock.get() < 0) return fail(kSCStatusInvalidArgument);
  p->lock.reset();
  return true;
}

bool SCPreferencesCommitChanges(const SCPreferencesRef& p) {
  if (!p) return fail(kSCStatusInvalidArgument);
  unique_fd temp_lock;
  if (p->lock.get() < 0) {
    temp_lock = lock_dir(p->path, true);
    if (temp_lock.get() < 0) return false;
  }
  auto base = read_store(p->path);
  if (!base) return false;
  for (const auto& [keys, value] : p->pending) apply_change(*base, keys, value);
  if (!write_atomically(p->path, *base)) return fail(kSCStatusFailed);
  p->data = std::move(*base);
  p->pending.clear();
  return true;
}

namespace {
bool is_string_list(const ojson* v) { return v && v->is_array() && !v->empty(); }

// Entries fit for one resolv.conf line: a blank or a line break would make
// another word or another line.
std::vector<std::string> resolver_words(const ojson& list, size_t max) {
  std::vector<std::string> out;
  for (const auto& e : list) {
    if (out.size() >= max) break;
    if (!e.is_string()) continue;
    const std::string& w = e.get_ref<const std::string&>();
    bool ok = !w.empty();
    for (char c : w)
      if (static_cast<unsigned char>(c) <= ' ' || c == 0x7f) ok = false;
    if (ok) out.push_back(w);
  }
  return out;
}

bool service_active(const ojson& store, const std::string& id) {
  auto it = store.find("State:/Network/Service/" + id + "/IPv4");
  return it != store.end() && !it->is_null();
}

// The primary service: the global state's when it is active, else the
// first active one in service order; empty when there is none.
std::string primary_service(const ojson& prefs, const ojson& store) {
  const ojson* services = find_path(prefs, {"NetworkServices"});
  if (!services || !services->is_object()) return {};
  auto known = [&](const std::string& id) {
    auto it = services->find(id);
    return it != services->end() && it->is_object() && service_active(store, id);
  };
  if (const ojson* g = find_path(store, {"State:/Network/Global/IPv4", "PrimaryService"}); g && g->is_string())
    if (known(g->get<std::string>())) return g->get<std::string>();
  if (const ojson* order = find_path(prefs, {"ServiceOrder"}); order && order->is_array())
    for (const auto& id : *order)
      if (id.is_string() && known(id.get<std::string>())) return id.get<std::string>();
  for (auto it = services->begin(); it != services->end(); ++it)
    if (known(it.key())) return it.key();
  return {};
}

// What the resolver of the primary service uses: the configured list when
// it is not empty, else the live one.
std::string resolver_text(const ojson& prefs, const ojson& store) {
  const std::string id = primary_service(prefs, store);
  std::vector<std::string> domains, servers;
  if (!id.empty()) {
    const ojson* live = find_path(store, {"State:/Network/Service/" + id + "/DNS"});
    for (auto [key, out, max] : {std::tuple{kSCPropNetDNSSearchDomains, &domains, size_t{6}},
                                 std::tuple{kSCPropNetDNSServerAddresses, &servers, size_t{3}}}) {
      const ojson* conf = find_path(prefs, {"NetworkServices", id, "DNS", key});
      const ojson* from = is_string_list(conf) ? conf : live && live->is_object() ? find_path(*live, {key}) : nullptr;
      if (from && from->is_array()) *out = resolver_words(*from, max);
    }
  }
  std::string text;
  if (!domains.empty()) {
    text += "search";
    for (const auto& d : domains) text += " " + d;
    text += "\n";
  }
  for (const auto& a : servers) text += "nameserver " + a + "\n";
  return text;
}

// Writes <root>/var/run/resolv.conf the way the configuration daemon of the
// original platform does, never /etc/resolv.conf itself: on a host without
// that directory nothing is written.
bool render_resolver(const std::string& prefs_path) {
  const std::string dir = root_dir() + "/var/run";
  struct stat st{};
  if (::stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return true;
  unique_fd lock = lock_dir(prefs_path, true);
  if (lock.get() < 0) return false;
  auto prefs = read_store(prefs_path);
  auto store = read_store(sysconfig_dynamic_store_path());
  if (!prefs || !store) return false;
  const std::string text = resolver_text(*prefs, *store);
  const std::string path = dir + "/resolv.conf", tmp = path + ".tmp";
  unique_fd fd(::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  if (fd.get() < 0) return fail(kSCStatusAccessError);
  bool ok = write_all(fd.get(), text);
  fd.reset();
  if (!ok || ::rename(tmp.c_str(), path.c_str()) != 0) {
    ::unlink(tmp.c_str());
    return fail(kSCStatusFailed);
  }
  return true;
}
}  // namespace

bool SCPreferencesApplyChanges(const SCPreferencesRef& p) {
  if (!p) return fail(kSCStatusInvalidArgument);
  return render_resolver(p->path);
}

CFTypeRef SCPreferencesGetValue(const SCPreferencesRef& p, const char* key) {
  if (!p || !key) return nullptr;
  const ojson* v = find_path(p->data, {key});
  return v ? from_json(*v) : nullptr;
}

namespace {
void record_change(const SCPreferencesRef& p, KeyPath keys, std::optional<ojson> value) {
  apply_change(p->data, keys, value);
  p->pending.emplace_back(std::move(keys), std::move(value));
}
}  // namespace

bool SCPreferencesSetValue(const SCPreferencesRef& p, const char* key, CFTypeRef value) {
  if (!p || !key || !value) return fail(kSCStatusInvalidArgument);
  record_change(p, {key}, to_json(value));
  return true;
}

// ---- services ------------------------------------------------------------------------

namespace {
SCNetworkServiceRef make_service(const SCPreferencesRef& p, const std::string& id) {
  auto s = std::make_shared<SCNetworkService>();
  s->prefs = p;
  s->id = id;
  s->id_string = make(id);
  return s;
}

const ojson* service_json(const SCNetworkServiceRef& s) {
  if (!s || !s->prefs) return nullptr;
  const ojson* j = find_path(s->prefs->data, {"NetworkServices", s->id});
  return j && j->is_object() ? j : nullptr;
}
}  // namespace

std::optional<std::vector<SCNetworkServiceRef>> SCNetworkServiceCopyAll(const SCPreferencesRef& p) {
  if (!p) return std::nullopt;
  const ojson* services = find_path(p->data, {"NetworkServices"});
  if (!services || !services->is_object()) return std::nullopt;
  std::vector<SCNetworkServiceRef> out;
  std::vector<std::string> seen;
  auto take = [&](const std::string& id) {
    for (const auto& s : seen)
      if (s == id) return;
    auto it = services->find(id);
    if (it == services->end() || !it->is_object()) return;
    seen.push_back(id);
    out.push_back(make_service(p, id));
  };
  if (const ojson* order = find_path(p->data, {"ServiceOrder"}); order && order->is_array())
    for (const auto& id : *order)
      if (id.is_string()) take(id.get<std::string>());
  for (auto it = services->begin(); it != services->end(); ++it) take(it.key());
  return out;
}

SCNetworkServiceRef SCNetworkServiceCopy(const SCPreferencesRef& p, const char* service_id) {
  if (!p || !service_id) {
    fail(kSCStatusInvalidArgument);
    return nullptr;
  }
  auto s = make_service(p, service_id);
  if (!service_json(s)) {
    fail(kSCStatusNoKey);
    return nullptr;
  }
  return s;
}

CFStringRef SCNetworkServiceGetServiceID(const SCNetworkServiceRef& s) { return s ? s->id_string : nullptr; }

CFStringRef SCNetworkServiceGetName(const SCNetworkServiceRef& s) {
  const ojson* j = service_json(s);
  if (!j) return nullptr;
  auto it = j->find("UserDefinedName");
  return it != j->end() && it->is_string() ? from_json(*it) : nullptr;
}

SCNetworkInterfaceRef SCNetworkServiceGetInterface(const SCNetworkServiceRef& s) {
  const ojson* j = service_json(s);
  if (!j) return nullptr;
  auto it = j->find("Interface");
  if (it == j->end() || !it->is_object()) return nullptr;
  auto i = std::make_shared<SCNetworkInterface>();
  i->dict = from_json(*it);
  return i;
}

namespace {
CFStringRef interface_string(const SCNetworkInterfaceRef& i, const char* key) {
  if (!i) return nullptr;
  CFTypeRef v = CFDictionaryGetValue(i->dict, key);
  return CFIsString(v) ? v : nullptr;
}
}  // namespace

CFStringRef SCNetworkInterfaceGetInterfaceType(const SCNetworkInterfaceRef& i) { return interface_string(i, "Type"); }
CFStringRef SCNetworkInterfaceGetLocalizedDisplayName(const SCNetworkInterfaceRef& i) {
  return interface_string(i, "UserDefinedName");
}
CFStringRef SCNetworkInterfaceGetBSDName(const SCNetworkInterfaceRef& i) { return interface_string(i, "DeviceName"); }

SCNetworkProtocolRef SCNetworkServiceCopyProtocol(const SCNetworkServiceRef& s, const char* type) {
  const ojson* j = service_json(s);
  if (!j || !type) return nullptr;
  auto it = j->find(type);
  if (it == j->end() || !it->is_object()) return nullptr;
  auto proto = std::make_shared<SCNetworkProtocol>();
  proto->prefs = s->prefs;
  proto->id = s->id;
  proto->type = type;
  return proto;
}

CFDictionaryRef SCNetworkProtocolGetConfiguration(const SCNetworkProtocolRef& proto) {
  if (!proto || !proto->prefs) return nullptr;
  const ojson* j = find_path(proto->prefs->data, {"NetworkServices", proto->id, proto->type});
  // An empty entity is an entity without configuration.
  return j && j->is_object() && !j->empty() ? from_json(*j) : nullptr;
}

bool SCNetworkProtocolSetConfiguration(const SCNetworkProtocolRef& proto, CFDictionaryRef config) {
  if (!proto || !proto->prefs || (config && !CFIsDictionary(config))) return fail(kSCStatusInvalidArgument);
  // No configuration leaves the entity in place, empty.
  std::optional<ojson> value = config ? to_json(config) : ojson::object();
  record_change(proto->prefs, {"NetworkServices", proto->id, proto->type}, std::move(value));
  return true;
}

// ---- dynamic store -----------------------------------------------------------------------

SCDynamicStoreRef SCDynamicStoreCreate(const char* client_name, void*, void*) {
  if (!client_name) {
    fail(kSCStatusInvalidArgument);
    return nullptr;
  }
  auto data = read_store(sysconfig_dynamic_store_path());
  if (!data) return nullptr;
  auto store = std::make_shared<SCDynamicStore>();
  store->data = std::move(*data);
  return store;
}

CFTypeRef SCDynamicStoreCopyValue(const SCDynamicStoreRef& store, const char* key) {
  if (!store || !key) return nullptr;
  auto it = store->data.find(key);
  if (it == store->data.end() || it->is_null()) {
    fail(kSCStatusNoKey);
    return nullptr;
  }
  return from_json(*it);
}
