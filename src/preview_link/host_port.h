#pragma once

#include "platform/dnssd/service_record.h"

#include <QList>
#include <QString>

#include <cstdint>
#include <optional>

namespace corvex::preview_link {

/// Where a resolved receiver is reached: dotted IPv4 text and a port.
struct HostPort {
    QString host;
    std::uint16_t port = 0;

    friend bool operator==(const HostPort&, const HostPort&) = default;
};

/// The first IPv4 address of a resolved service, in the order given, with the
/// port of that same address record. Other families are skipped; none when no
/// address is IPv4.
std::optional<HostPort> firstIPv4HostPort(const QList<dnssd::Address>& addresses);

} // namespace corvex::preview_link
