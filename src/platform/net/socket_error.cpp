#include "platform/net/socket_error.h"

#include <cerrno>
#include <cstring>

namespace corvex::net {

namespace {

const char* errnoName(int code)
{
    switch (code) {
    case ECONNREFUSED:
        return "ECONNREFUSED";
    case EHOSTUNREACH:
        return "EHOSTUNREACH";
    case ENETUNREACH:
        return "ENETUNREACH";
    case EMSGSIZE:
        return "EMSGSIZE";
    case EAGAIN:
        return "EAGAIN";
    case ENOBUFS:
        return "ENOBUFS";
    case EADDRINUSE:
        return "EADDRINUSE";
    case EACCES:
        return "EACCES";
    case ENOTCONN:
        return "ENOTCONN";
    default:
        return nullptr;
    }
}

} // namespace

QString SocketError::description() const
{
    // strerror_r in its GNU form returns the text, which may or may not be the buffer.
    char buffer[256] = {};
    const QString text = QString::fromLocal8Bit(strerror_r(code, buffer, sizeof buffer));
    if (const char* name = errnoName(code))
        return QStringLiteral("%1 (%2)").arg(text, QLatin1StringView(name));
    return QStringLiteral("%1 (errno %2)").arg(text).arg(code);
}

} // namespace corvex::net
