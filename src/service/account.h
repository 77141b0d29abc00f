#pragma once

#include "platform/http/json_reader.h"

#include <QString>

namespace corvex::service {

/// The signed-in author.
struct Account {
    QString id;
    QString email;

    friend bool operator==(const Account&, const Account&) = default;
};

/// "id" and "email", both text, both required; other members are ignored.
Result<Account> decodeAccount(const QByteArray& body);

} // namespace corvex::service
