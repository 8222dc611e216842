#include "client/vpn_client.h"

int main(int argc, char** argv) { return vpnc_main(argc, argv); }
