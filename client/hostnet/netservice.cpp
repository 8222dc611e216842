// Enumeration of the active network services and the CF conversions. The
// proxy side and the DNS side each have their own twin, told apart in the log.
#include "client/netservice.h"

#include <cstdlib>
#include <cstring>
#include <memory>

#include "client/diag.h"

namespace {
constexpr const char kLogModule[] = "vpn_useconfig_qn1";
constexpr const char kLogModuleQn2[] = "vpn_useconfig_qn2";

constexpr const char* kAcceptedTypes[] = {
    kSCNetworkInterfaceTypeEthernet, kSCNetworkInterfaceTypeIEEE80211, kSCNetworkInterfaceTypeModem,
    kSCNetworkInterfaceTypePPP,      kSCNetworkInterfaceTypeWWAN,
};
constexpr const char* kExcludedPPP[] = {"PPP --> Bluetooth DUN", "PPP --> PPTP", "PPP --> L2TP"};

using converter = bool (*)(CFStringRef, CFStringEncoding, std::string&);

struct flavour {
  const char* module;
  const char* func;
  int failure;
  bool log_each;
  converter convert;
};

bool convert_string(const char* module, const char* func, CFStringRef s, CFStringEncoding enc, std::string& out) {
  if (!s) {
    vpn_log(module, __LINE__, func, "%s, cfstr is NULL.", func);
    return false;
  }
  if (const char* p = CFStringGetCStringPtr(s, enc)) {
    out = p;
    return true;
  }
  // UTF-8 takes up to 3 bytes per UTF-16 unit (a surrogate pair: 4 for 2).
  const CFIndex size = 3 * CFStringGetLength(s) + 1;
  std::unique_ptr<char, decltype(&std::free)> buf(static_cast<char*>(std::malloc(static_cast<size_t>(size))),
                                                  &std::free);
  if (!buf) {
    vpn_log(module, __LINE__, func, "%s: memory allocate failed", func);
    return false;
  }
  if (!CFStringGetCString(s, buf.get(), size, enc)) {
    vpn_log(module, __LINE__, func, "%s: get cstring failed", func);
    return false;
  }
  out = buf.get();
  return true;
}

const char* or_null(const char* p) { return p ? p : "(null)"; }

bool accepted(CFStringRef type, CFStringRef display_name) {
  for (const char* t : kAcceptedTypes) {
    if (!CFStringEqual(type, t)) continue;
    if (std::strcmp(t, kSCNetworkInterfaceTypePPP) == 0)
      for (const char* kind : kExcludedPPP)
        if (CFStringEqual(display_name, kind)) return false;
    return true;
  }
  return false;
}

int enumerate(const flavour& f, std::vector<std::string>& ids) {
  const CFStringEncoding app_enc = f.log_each ? GetApplicationTextEncoding() : kCFStringEncodingUTF8;
  SCPreferencesRef prefs = open_network_preferences({f.module, __LINE__, f.func});
  if (!prefs) return f.failure;
  SCDynamicStoreRef store = SCDynamicStoreCreate(kSCClientName, nullptr, nullptr);
  if (!store) {
    vpn_log(f.module, __LINE__, f.func, "SCDynamicStoreCreate failed, error %d: %s", SCError(),
            SCErrorString(SCError()));
    return f.failure;
  }
  auto services = SCNetworkServiceCopyAll(prefs);
  if (!services) return 0;  // no list at all counts as an empty one
  for (const auto& service : *services) {
    CFStringRef name = SCNetworkServiceGetName(service);
    CFStringRef id = SCNetworkServiceGetServiceID(service);
    SCNetworkInterfaceRef iface = SCNetworkServiceGetInterface(service);
    CFStringRef type = iface ? SCNetworkInterfaceGetInterfaceType(iface) : nullptr;
    if (!type) continue;  // no interface or no type: not a candidate
    CFStringRef display = SCNetworkInterfaceGetLocalizedDisplayName(iface);
    if (f.log_each)
      vpn_log(f.module, __LINE__, f.func, "Network Service: %s, id: %s IfType: %s, IfName %s",
              or_null(CFStringGetCStringPtr(name, app_enc)), or_null(CFStringGetCStringPtr(id, app_enc)),
              or_null(CFStringGetCStringPtr(type, app_enc)), or_null(CFStringGetCStringPtr(display, app_enc)));
    if (!accepted(type, display)) continue;
    const std::string key = "State:/Network/Service/" + CFStringGetText(id) + "/IPv4";
    if (!SCDynamicStoreCopyValue(store, key.c_str())) continue;
    std::string text;
    if (f.convert(id, kCFStringEncodingUTF8, text)) {
      vpn_log(f.module, __LINE__, f.func, "Found Active Service, ID : %s\n", text.c_str());
      ids.push_back(std::move(text));
    } else {
      vpn_log(f.module, __LINE__, f.func, "Convert Active Service ID failed\n");
    }
  }
  return 0;
}
}  // namespace

SCPreferencesRef open_network_preferences(const log_site& at) {
  SCPreferencesRef prefs = SCPreferencesCreate(kSCClientName, nullptr);
  if (!prefs)
    vpn_log(at.module, at.line, at.func, "SCPreferencesCreate failed, error %d: %s", SCError(),
            SCErrorString(SCError()));
  return prefs;
}

std::optional<service_entity> open_service_entity(const log_site& at, const char* service_id, const char* type) {
  SCPreferencesRef prefs = open_network_preferences(at);
  if (!prefs) return std::nullopt;
  SCNetworkServiceRef service = SCNetworkServiceCopy(prefs, service_id);
  SCNetworkProtocolRef proto = service ? SCNetworkServiceCopyProtocol(service, type) : nullptr;
  return service_entity{std::move(prefs), std::move(proto)};
}

bool CFStringToCString(CFStringRef s, CFStringEncoding enc, std::string& out) {
  return convert_string(kLogModule, "CFStringToCString", s, enc, out);
}

bool CFStringToCStringQN2(CFStringRef s, CFStringEncoding enc, std::string& out) {
  return convert_string(kLogModuleQn2, "CFStringToCStringQN2", s, enc, out);
}

bool CFNumberToInt(CFNumberRef n, int* out) {
  if (!n || !CFIsNumber(n) || CFNumberIsFloatType(n) || !out) return false;
  int32_t v = 0;
  if (!CFNumberGetSInt32(n, &v)) return false;
  *out = v;
  return true;
}

int get_active_network_service(std::vector<std::string>& ids) {
  return enumerate({kLogModule, "get_active_network_service", -1, false, CFStringToCString}, ids);
}

int get_active_network_service_qn2(std::vector<std::string>& ids) {
  return enumerate({kLogModuleQn2, "get_active_network_service_qn2", 1, true, CFStringToCStringQN2}, ids);
}
