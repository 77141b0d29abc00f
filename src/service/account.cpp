#include "service/account.h"

namespace corvex::service {

Result<Account> decodeAccount(const QByteArray& body)
{
    const Result<QJsonObject> object = http::parseObject(body);
    if (!object)
        return Result<Account>::failure(object.error);
    http::JsonReader reader(*object.value, QString());
    Account account;
    account.id = reader.requiredString(QStringLiteral("id"));
    account.email = reader.requiredString(QStringLiteral("email"));
    if (!reader.ok())
        return Result<Account>::failure(reader.error());
    return { account, {} };
}

} // namespace corvex::service
