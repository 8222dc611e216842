// Outside-proxy PAC file built from the GNOME desktop's proxy settings and
// installed as the desktop's proxy script.
#pragma once
#include "client/proxy/proxy_getset.h"
#include "client/session.h"

// The desktop settings read by the last run of the generator; nothing reads it.
extern _proxy_setting saved_proxysetting;

// Writes "<dir>tev_prox.pac" and points the desktop at it (mode "auto").
// 0 done or nothing to do (desktop mode "none"); 1 refused or failed.
int generate_outside_script(vpnc_session* s, const char* dir);
