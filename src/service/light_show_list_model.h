#pragma once

#include "service/light_show.h"

#include <QAbstractListModel>
#include <QDateTime>
#include <QSet>

#include <QCoroTask>

#include <optional>

namespace corvex::service {

class Session;
class UploadDelivery;

/// The author's light shows as the list window shows them, with the window's
/// loading flag, error text and selection, and the operations on them: load
/// the list, delete one show, delete the selected shows. Lives on the GUI
/// thread; every change happens there.
class LightShowListModel final : public QAbstractListModel {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(LightShowListModel)

public:
    explicit LightShowListModel(Session& manager, QObject* parent = nullptr);
    ~LightShowListModel() override;

    int rowCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;

    const QList<LightShow>& shows() const { return m_shows; }
    bool isLoading() const { return m_isLoading; }
    const std::optional<QString>& error() const { return m_error; }
    const QSet<QString>& selection() const { return m_selection; }
    void setSelection(const QSet<QString>& ids);

    /// Empties the list, the error and the selection (on sign-out).
    void clear();

    /// Replaces the list with the service's; a success clears an earlier
    /// error. A failure sets the error and keeps the list as last loaded.
    /// Without a stored token the author is signed out (another program may
    /// have taken the token away), and a refused token signs them out.
    QCoro::Task<> loadLightShows();
    /// When the list was last loaded; invalid before the first success.
    const QDateTime& lastLoaded() const { return m_lastLoaded; }
    /// Deletes one show; its row goes only when the service answered 200.
    QCoro::Task<> deleteLightShow(LightShow show);
    /// Starts one delete per selected show (not awaited) and empties the
    /// selection at once.
    void deleteSelectedLightShows();

    /// While set, every change of the light shows that `uploads` made
    /// reloads the list; null stops that.
    void setFollowsRefresh(UploadDelivery* uploads);

Q_SIGNALS:
    void loadingChanged();
    void errorChanged();
    void selectionChanged();
    /// A delete of this show did not happen, and why (for the window).
    void deleteFailed(const QString& id, const QString& reason);

private:
    void setShows(QList<LightShow> shows);
    void setLoading(bool loading);
    void setError(std::optional<QString> error);

    Session& m_manager;
    QList<LightShow> m_shows;
    bool m_isLoading = false;
    quint64 m_loads = 0; // the newest load's number
    std::optional<QString> m_error;
    QDateTime m_lastLoaded;
    QSet<QString> m_selection;
    QMetaObject::Connection m_refresh;
};

} // namespace corvex::service
