// The utun bring-up operations that a reconnection reuses when the gateway
// assigns a new client address.
#pragma once
#include "client/session.h"

// Name of the open utun interface ("utun" and its unit number).
extern char tunname[8];

// Opens the next free utun interface and records its name in `tunname`;
// the descriptor, or -1.
int utun_device_config();
// Addresses the interface named in `tunname` with the client address, the
// peer 1.1.1.1 and MTU 1400, and makes `tunfd` non-blocking. Always 0.
int config_utun_ip(vpnc_session* s);
