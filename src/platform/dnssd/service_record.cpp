#include "platform/dnssd/service_record.h"

#include <QHostAddress>

namespace corvex::dnssd {

QString Address::hostText() const
{
    if (family == Family::IPv4 && bytes.size() == 4) {
        const auto* b = reinterpret_cast<const std::uint8_t*>(bytes.constData());
        return QStringLiteral("%1.%2.%3.%4").arg(b[0]).arg(b[1]).arg(b[2]).arg(b[3]);
    }
    if (family == Family::IPv6 && bytes.size() == 16)
        return QHostAddress(reinterpret_cast<const quint8*>(bytes.constData())).toString();
    return {};
}

QString withoutFinalDot(const QString& text)
{
    return text.endsWith(QLatin1Char('.')) ? text.chopped(1) : text;
}

} // namespace corvex::dnssd
