// Stands in for SystemConfiguration (network preferences and the dynamic
// store) and for the few CoreFoundation values those hand out, on a host
// that has neither.
//
// The preferences live in <root>/Library/Preferences/SystemConfiguration/
// preferences.json:
//   {"ServiceOrder": [id, ...],
//    "NetworkServices": {id: {"UserDefinedName": name,
//                             "Interface": {"Type": ..., "DeviceName": ...,
//                                           "UserDefinedName": display name},
//                             "IPv4": {...}, "DNS": {...}, "Proxies": {...}}}}
// and the dynamic store in dynamic-store.json next to it: {key: dictionary}.
// A missing file is an empty store. A commit re-reads the file under an
// exclusive flock of the directory that holds it (the tool stand-ins take the
// same lock), applies this handle's changes to it and replaces it atomically
// (temporary file + rename), so concurrent writers lose nothing and readers
// never see half a file. Apply renders the resolver of the primary service
// into <root>/var/run/resolv.conf (only where that directory exists): the
// primary service is State:/Network/Global/IPv4's PrimaryService when it is
// active (has an IPv4 state), else the first active service in service
// order; its search domains ("search" line) and at most three servers
// ("nameserver" lines) are each the configured list when it is not empty,
// else the live State:/Network/Service/<id>/DNS one.
//
// Values: a JSON string is a CF string, an integer a CF integer number, a
// number with a fraction a floating-point one (true/false read as 1/0),
// arrays and objects are CF arrays and dictionaries.
#pragma once
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

// ---- CoreFoundation-like values --------------------------------------------

struct CFValue;
using CFTypeRef = std::shared_ptr<const CFValue>;  // null: no value
using CFStringRef = CFTypeRef;
using CFNumberRef = CFTypeRef;
using CFArrayRef = CFTypeRef;
using CFDictionaryRef = CFTypeRef;
using CFMutableArrayRef = std::shared_ptr<CFValue>;
using CFMutableDictionaryRef = std::shared_ptr<CFValue>;

struct CFValue {
  using Array = std::vector<CFTypeRef>;
  using Dictionary = std::map<std::string, CFTypeRef>;
  std::variant<std::string, int64_t, double, Array, Dictionary> v;
};

using CFStringEncoding = uint32_t;
inline constexpr CFStringEncoding kCFStringEncodingMacRoman = 0;
inline constexpr CFStringEncoding kCFStringEncodingASCII = 0x0600;
inline constexpr CFStringEncoding kCFStringEncodingUTF8 = 0x08000100;
using CFIndex = long;

// The encoding the application's texts are in (MacRoman, as on a Mac with a
// western locale).
CFStringEncoding GetApplicationTextEncoding();

CFStringRef CFStringCreateWithCString(const char* text, CFStringEncoding enc);  // null: not valid in enc
bool CFIsString(CFTypeRef v);
// The string's bytes when it is stored in a form compatible with `enc`
// (here: pure ASCII text); null otherwise, as CoreFoundation may answer.
const char* CFStringGetCStringPtr(CFStringRef s, CFStringEncoding enc);
CFIndex CFStringGetLength(CFStringRef s);  // UTF-16 units
// Converts into buf (size bytes, NUL included); false when it does not fit
// or a character has no form in `enc`.
bool CFStringGetCString(CFStringRef s, char* buf, CFIndex size, CFStringEncoding enc);
bool CFStringEqual(CFStringRef s, const char* text);
// The UTF-8 text of a string; empty for null or a non-string.
std::string CFStringGetText(CFStringRef s);

CFNumberRef CFNumberCreateInt(int64_t value);
CFNumberRef CFNumberCreateDouble(double value);
bool CFIsNumber(CFTypeRef v);
bool CFNumberIsFloatType(CFNumberRef n);
// False when n is no number or its value has no exact 32-bit form.
bool CFNumberGetSInt32(CFNumberRef n, int32_t* out);

CFMutableArrayRef CFArrayCreateMutable();
void CFArrayAppendValue(const CFMutableArrayRef& a, CFTypeRef v);
CFIndex CFArrayGetCount(CFArrayRef a);  // 0 for no array
CFTypeRef CFArrayGetValueAtIndex(CFArrayRef a, CFIndex i);  // null when out of range

CFMutableDictionaryRef CFDictionaryCreateMutable();
CFMutableDictionaryRef CFDictionaryCreateMutableCopy(CFDictionaryRef d);  // empty for null
void CFDictionarySetValue(const CFMutableDictionaryRef& d, const char* key, CFTypeRef v);
void CFDictionaryRemoveValue(const CFMutableDictionaryRef& d, const char* key);
CFTypeRef CFDictionaryGetValue(CFDictionaryRef d, const char* key);  // null when absent
bool CFIsDictionary(CFTypeRef v);

// ---- SystemConfiguration-like handles --------------------------------------

inline constexpr const char kSCNetworkInterfaceTypeEthernet[] = "Ethernet";
inline constexpr const char kSCNetworkInterfaceTypeIEEE80211[] = "IEEE80211";
inline constexpr const char kSCNetworkInterfaceTypeModem[] = "Modem";
inline constexpr const char kSCNetworkInterfaceTypePPP[] = "PPP";
inline constexpr const char kSCNetworkInterfaceTypeWWAN[] = "WWAN";
inline constexpr const char kSCNetworkProtocolTypeIPv4[] = "IPv4";
inline constexpr const char kSCNetworkProtocolTypeDNS[] = "DNS";
inline constexpr const char kSCNetworkProtocolTypeProxies[] = "Proxies";
inline constexpr const char kSCPropNetIPv4ConfigMethod[] = "ConfigMethod";
inline constexpr const char kSCValNetIPv4ConfigMethodManual[] = "Manual";
inline constexpr const char kSCValNetIPv4ConfigMethodDHCP[] = "DHCP";
inline constexpr const char kSCPropNetIPv4Router[] = "Router";
inline constexpr const char kSCPropNetIPv4Addresses[] = "Addresses";
inline constexpr const char kSCPropInterfaceName[] = "InterfaceName";
inline constexpr const char kSCPropNetDNSServerAddresses[] = "ServerAddresses";
inline constexpr const char kSCPropNetDNSSearchDomains[] = "SearchDomains";
inline constexpr const char kSCPropNetProxiesHTTPEnable[] = "HTTPEnable";
inline constexpr const char kSCPropNetProxiesHTTPProxy[] = "HTTPProxy";
inline constexpr const char kSCPropNetProxiesHTTPPort[] = "HTTPPort";
inline constexpr const char kSCPropNetProxiesHTTPSEnable[] = "HTTPSEnable";
inline constexpr const char kSCPropNetProxiesHTTPSProxy[] = "HTTPSProxy";
inline constexpr const char kSCPropNetProxiesHTTPSPort[] = "HTTPSPort";
inline constexpr const char kSCPropNetProxiesFTPEnable[] = "FTPEnable";
inline constexpr const char kSCPropNetProxiesFTPProxy[] = "FTPProxy";
inline constexpr const char kSCPropNetProxiesFTPPort[] = "FTPPort";
inline constexpr const char kSCPropNetProxiesSOCKSEnable[] = "SOCKSEnable";
inline constexpr const char kSCPropNetProxiesSOCKSProxy[] = "SOCKSProxy";
inline constexpr const char kSCPropNetProxiesSOCKSPort[] = "SOCKSPort";
inline constexpr const char kSCPropNetProxiesRTSPEnable[] = "RTSPEnable";
inline constexpr const char kSCPropNetProxiesRTSPProxy[] = "RTSPProxy";
inline constexpr const char kSCPropNetProxiesRTSPPort[] = "RTSPPort";
inline constexpr const char kSCPropNetProxiesGopherEnable[] = "GopherEnable";
inline constexpr const char kSCPropNetProxiesGopherProxy[] = "GopherProxy";
inline constexpr const char kSCPropNetProxiesGopherPort[] = "GopherPort";
inline constexpr const char kSCPropNetProxiesProxyAutoDiscoveryEnable[] = "ProxyAutoDiscoveryEnable";
inline constexpr const char kSCPropNetProxiesProxyAutoConfigEnable[] = "ProxyAutoConfigEnable";
inline constexpr const char kSCPropNetProxiesProxyAutoConfigURLString[] = "ProxyAutoConfigURLString";
inline constexpr const char kSCPropNetProxiesExceptionsList[] = "ExceptionsList";
inline constexpr const char kSCPropNetProxiesExcludeSimpleHostnames[] = "ExcludeSimpleHostnames";

// Status of the last failed call on this thread.
enum : int {
  kSCStatusOK = 0,
  kSCStatusFailed = 1001,
  kSCStatusInvalidArgument = 1002,
  kSCStatusAccessError = 1003,
  kSCStatusNoKey = 1004,
  kSCStatusLocked = 1006,
  kSCStatusNoConfigFile = 3001,
};
int SCError();
const char* SCErrorString(int status);

struct SCPreferences;
struct SCDynamicStore;
struct SCNetworkService;
struct SCNetworkInterface;
struct SCNetworkProtocol;
using SCPreferencesRef = std::shared_ptr<SCPreferences>;
using SCDynamicStoreRef = std::shared_ptr<SCDynamicStore>;
using SCNetworkServiceRef = std::shared_ptr<SCNetworkService>;
using SCNetworkInterfaceRef = std::shared_ptr<SCNetworkInterface>;
using SCNetworkProtocolRef = std::shared_ptr<SCNetworkProtocol>;

// Opens the preferences (prefs_id null: the current network preferences).
// Null with SCError() set when the file cannot be read or is no JSON object.
SCPreferencesRef SCPreferencesCreate(const char* client_name, const char* prefs_id);
// Takes the exclusive lock (waiting when `wait`), then re-reads the file.
bool SCPreferencesLock(const SCPreferencesRef& p, bool wait);
bool SCPreferencesUnlock(const SCPreferencesRef& p);
// Writes this handle's changes onto the current file, atomically.
bool SCPreferencesCommitChanges(const SCPreferencesRef& p);
bool SCPreferencesApplyChanges(const SCPreferencesRef& p);
CFTypeRef SCPreferencesGetValue(const SCPreferencesRef& p, const char* key);
bool SCPreferencesSetValue(const SCPreferencesRef& p, const char* key, CFTypeRef value);

// Services in ServiceOrder, then the others in file order; nullopt when the
// preferences hold no service list at all.
std::optional<std::vector<SCNetworkServiceRef>> SCNetworkServiceCopyAll(const SCPreferencesRef& p);
SCNetworkServiceRef SCNetworkServiceCopy(const SCPreferencesRef& p, const char* service_id);
CFStringRef SCNetworkServiceGetServiceID(const SCNetworkServiceRef& s);
CFStringRef SCNetworkServiceGetName(const SCNetworkServiceRef& s);
SCNetworkInterfaceRef SCNetworkServiceGetInterface(const SCNetworkServiceRef& s);
CFStringRef SCNetworkInterfaceGetInterfaceType(const SCNetworkInterfaceRef& i);
CFStringRef SCNetworkInterfaceGetLocalizedDisplayName(const SCNetworkInterfaceRef& i);
CFStringRef SCNetworkInterfaceGetBSDName(const SCNetworkInterfaceRef& i);
// Null when the service has no such entity.
SCNetworkProtocolRef SCNetworkServiceCopyProtocol(const SCNetworkServiceRef& s, const char* type);
// Null also for an empty entity ({}).
CFDictionaryRef SCNetworkProtocolGetConfiguration(const SCNetworkProtocolRef& proto);
// Replaces the entity whole (null leaves it empty: {}); takes effect at commit.
bool SCNetworkProtocolSetConfiguration(const SCNetworkProtocolRef& proto, CFDictionaryRef config);

// The dynamic store as it is at creation. Callback and context are not kept.
SCDynamicStoreRef SCDynamicStoreCreate(const char* client_name, void* callout, void* context);
CFTypeRef SCDynamicStoreCopyValue(const SCDynamicStoreRef& store, const char* key);

// Test seam: the directory that stands for "/" (empty: "/").
void sysconfig_set_root(const std::string& root);
std::string sysconfig_preferences_path();
std::string sysconfig_dynamic_store_path();
