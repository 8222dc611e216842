// Stand-in for the BSD tun driver's character devices (/dev/tunN, and the
// clone device /dev/net/tun).
//
// On macOS opening /dev/tunN is enough: the node is the interface tunN and it
// carries bare IP packets. On Linux every such node is a clone device (char
// 10,200) and an open descriptor is attached to an interface with the
// TUNSETIFF ioctl; here the attach asks for "tun<unit>" with IFF_TUN |
// IFF_NO_PI, so the descriptor carries bare IP packets as on the BSD device.
#pragma once

// Opens `path` read-write and attaches it as "tun<unit>". The descriptor
// (close-on-exec), or -1 with errno of the failed open or attach (the
// descriptor is then closed).
int legacy_tun_open(const char* path, int unit);
