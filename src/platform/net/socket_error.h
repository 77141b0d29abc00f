#pragma once

#include <QString>

namespace corvex::net {

/// A socket error as a value: the errno code and its text.
struct SocketError {
    int code = 0;

    /// "Connection refused (ECONNREFUSED)".
    QString description() const;

    friend bool operator==(const SocketError&, const SocketError&) = default;
};

} // namespace corvex::net
