
function FindProxyForURL(url, host)
{
	if("127.0.0.1" == host) {
		return "DIRECT";
	}
	if("localhost" == host) {
		return "DIRECT";
	}
	if(dnsResolve("198.18.0.1") == host) {
		return "PROXY 10.0.0.5:8080";
	}
	if(localHostOrDomainIs("198.18.0.1", host)) {
		return "PROXY 10.0.0.5:8080";
	}
	if (isInNet(host, "192.168.50.0", "255.255.255.0")) {
		return "PROXY 10.0.0.5:8080";
	}
	if (isInNet(host, "10.10.0.0", "255.255.0.0")) {
		return "DIRECT";
	}
	if (isInNet(host, "172.16.5.0", "255.255.255.0")) {
		return "DIRECT";
	}
	return "DIRECT";
}
