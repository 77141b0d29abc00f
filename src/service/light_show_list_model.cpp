#include "service/light_show_list_model.h"

#include "service/service_urls.h"
#include "service/session.h"
#include "service/upload_delivery.h"

#include <QPointer>

namespace corvex::service {

namespace {

// A service whose total is never reached is not asked forever.
constexpr int kMostPages = 1000;

} // namespace

LightShowListModel::LightShowListModel(Session& manager, QObject* parent)
    : QAbstractListModel(parent)
    , m_manager(manager)
{
}

LightShowListModel::~LightShowListModel() = default;

int LightShowListModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : static_cast<int>(m_shows.size());
}

QVariant LightShowListModel::data(const QModelIndex& index, int role) const
{
    if (role != Qt::DisplayRole || !index.isValid() || index.row() >= m_shows.size())
        return {};
    return m_shows.at(index.row()).title.value_or(QString());
}

void LightShowListModel::setSelection(const QSet<QString>& ids)
{
    if (m_selection == ids)
        return;
    m_selection = ids;
    Q_EMIT selectionChanged();
}

void LightShowListModel::clear()
{
    m_lastLoaded = {};
    setShows({});
    setError(std::nullopt);
    setSelection({});
}

void LightShowListModel::setShows(QList<LightShow> shows)
{
    beginResetModel();
    m_shows = std::move(shows);
    endResetModel();
}

void LightShowListModel::setLoading(bool loading)
{
    if (m_isLoading == loading)
        return;
    m_isLoading = loading;
    Q_EMIT loadingChanged();
}

void LightShowListModel::setError(std::optional<QString> error)
{
    if (m_error == error)
        return;
    m_error = std::move(error);
    Q_EMIT errorChanged();
}

QCoro::Task<> LightShowListModel::loadLightShows()
{
    setLoading(true);
    const std::optional<QString> token = m_manager.accessToken();
    if (!token) {
        setLoading(false);
        clear();
        m_manager.signOut(); // publishes the sign-out everywhere; nothing to send
        co_return;
    }
    const auto origin = m_manager.serviceOrigin();
    QPointer<LightShowListModel> self(this);
    const quint64 load = ++m_loads;
    // The service answers a page at a time: the first as it chooses, then each
    // from where the last ended, while its total says that more are to come.
    QList<LightShow> shows;
    for (int page = 1;; ++page) {
        const auto url = origin ? service_urls::lightShows(*origin, shows.size()) : std::nullopt;
        const auto request = url ? bearerRequest(*url, "GET", *token) : std::nullopt;
        if (!request) {
            setError(origin ? QStringLiteral("the stored sign-in cannot be sent; sign in again")
                            : m_manager.configurationError());
            setLoading(false);
            co_return;
        }
        const http::Reply reply = co_await m_manager.httpClient().send(*request);
        // A newer load's answer is the one to show; one about an author who
        // signed out meanwhile is shown to nobody.
        if (!self || load != m_loads)
            co_return;
        if (m_manager.accessToken() != token) {
            setLoading(false);
            co_return;
        }
        if (reply.error) {
            setError(reply.error->message);
        } else if (reply.status == 401) {
            // Signed out with a message that says why; the list goes with the sign-in.
            setLoading(false);
            clear();
            m_manager.tokenRefused(*token);
            co_return;
        } else if (auto decoded = decodeLightShowsResponse(reply.body)) {
            const bool empty = decoded.value->results.isEmpty();
            shows += std::move(decoded.value->results);
            if (!empty && decoded.value->total && shows.size() < *decoded.value->total && page < kMostPages)
                continue;
            m_lastLoaded = QDateTime::currentDateTime();
            setShows(std::move(shows));
            setError(std::nullopt);
        } else if (reply.status >= 500) {
            setError(QStringLiteral("the service had a problem on its side (status %1)").arg(reply.status));
        } else {
            setError(QStringLiteral("the list of light shows could not be read (status %1): %2")
                         .arg(reply.status)
                         .arg(decoded.error));
        }
        break;
    }
    setLoading(false);
}

QCoro::Task<> LightShowListModel::deleteLightShow(LightShow show)
{
    const std::optional<QString> token = m_manager.accessToken();
    if (!token) {
        Q_EMIT deleteFailed(show.id, QStringLiteral("not signed in"));
        co_return;
    }
    const auto origin = m_manager.serviceOrigin();
    const auto url = origin ? service_urls::lightShow(*origin, show.id) : std::nullopt;
    const auto request = url ? bearerRequest(*url, "DELETE", *token) : std::nullopt;
    if (!request) {
        Q_EMIT deleteFailed(show.id, QStringLiteral("the service's address is not usable"));
        co_return;
    }
    QPointer<LightShowListModel> self(this);
    const http::Reply reply = co_await m_manager.httpClient().send(*request);
    if (self && reply.status == 401)
        m_manager.tokenRefused(*token);
    if (!self)
        co_return;
    if (reply.error || reply.status != 200) {
        Q_EMIT deleteFailed(show.id,
            reply.error ? reply.error->message
                        : QStringLiteral("the service answered with status %1").arg(reply.status));
        co_return;
    }
    for (qsizetype row = m_shows.size() - 1; row >= 0; --row) {
        if (m_shows.at(row).id != show.id)
            continue;
        beginRemoveRows({}, static_cast<int>(row), static_cast<int>(row));
        m_shows.removeAt(row);
        endRemoveRows();
    }
}

void LightShowListModel::deleteSelectedLightShows()
{
    for (const LightShow& show : std::as_const(m_shows)) {
        if (m_selection.contains(show.id))
            deleteLightShow(show); // runs on by itself; removes its own row
    }
    setSelection({});
}

void LightShowListModel::setFollowsRefresh(UploadDelivery* uploads)
{
    QObject::disconnect(m_refresh);
    if (uploads)
        m_refresh = connect(uploads, &UploadDelivery::lightShowsChanged, this, [this] { loadLightShows(); });
}

} // namespace corvex::service
