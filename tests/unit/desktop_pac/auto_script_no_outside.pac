function _indProxyForURL(url, host) { return "PROXY user.proxy:3128"; } // FindProxyForURL

function FindProxyForURL(url, host)
{
	if("127.0.0.1" == host) {
		return "DIRECT";
	}
	if("localhost" == host) {
		return "DIRECT";
	}
	if(dnsResolve("198.18.0.1") == host) {
		return "DIRECT";
	}
	if(localHostOrDomainIs("198.18.0.1", host)) {
		return "DIRECT";
	}
	if (isInNet(host, "192.168.50.0", "255.255.255.0")) {
		return "DIRECT";
	}
	if (isInNet(host, "10.10.0.0", "255.255.0.0")) {
		return "DIRECT";
	}
	if (isInNet(host, "172.16.5.0", "255.255.255.0")) {
		return "DIRECT";
	}
	return _indProxyForURL(url, host);
}
