#include "service/account.h"

namespace corvex::service {

QJsonObject Account::toJson() const
{
    return { { QStringLiteral("id"), id }, { QStringLiteral("email"), email } };
}

http::Decoded<Account> decodeAccount(const QByteArray& body)
{
    QString error;
    const auto object = http::parseObject(body, error);
    if (!object)
        return http::Decoded<Account>::failure(error);
    http::JsonReader reader(*object, QString());
    Account account;
    account.id = reader.requiredString(QStringLiteral("id"));
    account.email = reader.requiredString(QStringLiteral("email"));
    if (!reader.ok())
        return http::Decoded<Account>::failure(reader.error());
    return { account, {} };
}

} // namespace corvex::service
