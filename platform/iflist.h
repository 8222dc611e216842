// Stands in for the BSD interface list (SIOCGIFCONF with its link-level
// records, SIOCGIFFLAGS, SIOCGIFADDR) that the network-configuration request
// is built from. Linux's SIOCGIFCONF has no link-level records, so this
// layer gathers the same facts per interface from getifaddrs (with
// SIOCGIFHWADDR where no packet-level record is listed).
#pragma once
#include <cstddef>
#include <cstdint>

struct iflist_entry {
  char name[16];
  bool up;
  bool running;
  bool loopback;
  bool has_ipv4;
  uint32_t ipv4;  // the interface's (first) IPv4 address, network order
  bool is_ethernet;  // link type Ethernet with a 6-byte hardware address
  uint8_t hwaddr[6];
};

// Fills `out` with at most `cap` interfaces, each once, in the kernel's
// order. 0 and the number in *n, or -1 when the list cannot be read.
int iflist_read(iflist_entry* out, std::size_t cap, std::size_t* n);

// Test seam: replaces the kernel as the source of the list (null restores).
using iflist_source = int (*)(iflist_entry* out, std::size_t cap, std::size_t* n);
void iflist_set_source(iflist_source src);
