#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include <cstdint>

namespace corvex::dnssd {

/// A service instance as the browser found it.
struct ServiceRecord {
    QString name;
    QString type; // "_corvexfeed._udp"
    QString domain; // "local"
    int interfaceIndex = -1; // where it was seen; -1 for any
    int protocol = -1; // the mDNS transport it was seen on; -1 for any

    friend bool operator==(const ServiceRecord&, const ServiceRecord&) = default;
};

/// One address of a resolved service.
struct Address {
    enum class Family { IPv4, IPv6 };

    Family family = Family::IPv4;
    QByteArray bytes; // 4 or 16 bytes in network order
    std::uint16_t port = 0;

    /// Dotted IPv4 text or IPv6 text; empty when `bytes` do not fit the family.
    QString hostText() const;

    friend bool operator==(const Address&, const Address&) = default;
};

/// Avahi spells types and domains without the final dot ("_corvexfeed._udp.",
/// "local." become "_corvexfeed._udp", "local").
QString withoutFinalDot(const QString& text);

} // namespace corvex::dnssd
