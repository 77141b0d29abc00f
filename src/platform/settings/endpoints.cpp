#include "platform/settings/endpoints.h"

#include "platform/settings/store.h"

#include <QHostAddress>

namespace corvex::settings {

namespace {

bool isLoopbackHost(const QString& host)
{
    if (host.compare(QLatin1StringView("localhost"), Qt::CaseInsensitive) == 0)
        return true;
    const QHostAddress address(host);
    return !address.isNull() && address.isLoopback();
}

} // namespace

const Endpoints& Endpoints::defaults()
{
    static const Endpoints value {
        QStringLiteral("http://127.0.0.1:8787"),
        QStringLiteral("https://api.themoviedb.org"),
        QStringLiteral("https://image.tmdb.org"),
        QStringLiteral("3f1e9a6c07b24d58e0c1a7b9d2f46e85"),
    };
    return value;
}

Endpoints::CheckedOrigin Endpoints::checkOrigin(const QString& text, const QString& source)
{
    const QUrl url(text.trimmed(), QUrl::StrictMode);
    const QString scheme = url.scheme().toLower();
    if (!url.isValid() || url.host().isEmpty()
        || (scheme != QLatin1StringView("https") && scheme != QLatin1StringView("http")))
        return { {},
            QStringLiteral("%1 \"%2\" is not an http(s) address with a host name; "
                           "set it to an origin such as https://lights.example.org")
                .arg(source, text) };
    if (url.hasQuery() || url.hasFragment() || !url.userInfo().isEmpty())
        return { {},
            QStringLiteral("%1 \"%2\" must not hold a query, a fragment or a user name; "
                           "set it to the bare origin")
                .arg(source, text) };
    if (scheme == QLatin1StringView("http") && !isLoopbackHost(url.host()))
        return { {},
            QStringLiteral("%1 \"%2\" uses plain http to another machine, which would expose the access token "
                           "and keys; use its https:// address (plain http is accepted only for 127.0.0.1, "
                           "::1 and localhost)")
                .arg(source, text) };
    QString origin = url.toString(QUrl::FullyEncoded);
    while (origin.endsWith(QLatin1Char('/')))
        origin.chop(1);
    return { origin, {} };
}

std::variant<Endpoints, QString> Endpoints::load(const Store& store, const QProcessEnvironment& environment)
{
    Endpoints result = defaults();
    struct Source {
        QString* target;
        const char* variable;
        const char* key;
        bool isOrigin;
    };
    const Source sources[] = {
        { &result.service, "CORVEX_SERVICE_URL", "service_url", true },
        { &result.catalogue, "CORVEX_CATALOGUE_URL", "catalogue_url", true },
        { &result.images, "CORVEX_IMAGES_URL", "images_url", true },
        { &result.tmdbApiKey, "CORVEX_TMDB_API_KEY", "tmdb_api_key", false },
    };
    for (const Source& source : sources) {
        QString origin = QStringLiteral("the default");
        const QString variable = QLatin1StringView(source.variable);
        if (environment.contains(variable)) {
            *source.target = environment.value(variable);
            origin = QStringLiteral("the environment variable %1").arg(variable);
        }
        if (const auto stored = store.value(QLatin1StringView(source.key))) {
            *source.target = *stored;
            origin = QStringLiteral("the setting \"%1\" in %2").arg(QLatin1StringView(source.key), store.path());
        }
        if (source.isOrigin) {
            const CheckedOrigin checked = checkOrigin(*source.target, origin);
            if (!checked.error.isEmpty())
                return checked.error;
            *source.target = checked.origin;
        } else if (source.target->trimmed().isEmpty()) {
            return QStringLiteral("%1 sets an empty catalogue API key; remove it or give a key").arg(origin);
        }
    }
    return result;
}

} // namespace corvex::settings
