#include "preview_link/host_port.h"

namespace corvex::preview_link {

std::optional<HostPort> firstIPv4HostPort(const QList<dnssd::Address>& addresses)
{
    for (const dnssd::Address& address : addresses) {
        if (address.family != dnssd::Address::Family::IPv4 || address.bytes.size() != 4)
            continue;
        return HostPort { address.hostText(), address.port };
    }
    return std::nullopt;
}

} // namespace corvex::preview_link
