#include "service/service_error.h"

namespace corvex::service {

QString ServiceError::message() const
{
    switch (kind) {
    case Kind::UserAuthenticationRequired:
        return QStringLiteral("not signed in: sign in to the light-show service, then try again");
    case Kind::Unknown:
        if (!detail.isEmpty())
            return detail; // a local failure, said as it happened
        return QStringLiteral("no movie or episode is chosen for this recording: choose one in the catalogue first");
    case Kind::BadURL:
        return QStringLiteral("the service address could not be formed%1")
            .arg(detail.isEmpty() ? QString() : QStringLiteral(": ") + detail);
    case Kind::BadServerResponse:
        if (status == 0)
            return QStringLiteral("the service's answer was not an HTTP answer");
        if (status == 200 && !detail.isEmpty())
            return QStringLiteral("the service's answer could not be read: %1").arg(detail);
        if (status == 401 || status == 403)
            return QStringLiteral("the service refused the request with status %1: the sign-in is no longer "
                                  "valid; sign in again")
                .arg(status);
        return QStringLiteral("the service refused the request with status %1").arg(status);
    case Kind::Transport:
        return QStringLiteral("the service is unreachable: %1").arg(detail);
    }
    return detail;
}

bool ServiceError::isPermanentStatus(int status)
{
    return status >= 400 && status < 500 && status != 401 && status != 403 && status != 408 && status != 429;
}

} // namespace corvex::service
