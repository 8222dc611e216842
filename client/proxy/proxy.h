// The proxy settings the daemon writes: PAC files and the network services'
// proxies.
#pragma once
#include "client/session.h"

// Builds the inside-proxy PAC file when the gateway named an inside proxy for
// a full tunnel, and points every active network service at it. 0 when the
// services were switched; -1 otherwise.
int generate_insideproxy_script(vpnc_session* session);
