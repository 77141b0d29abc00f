#pragma once

#include "catalogue/tmdb_item.h"
#include "service/service_error.h"

#include <QByteArray>
#include <QObject>
#include <QSet>
#include <QTimer>

#include <QCoroTask>

#include <memory>
#include <optional>

namespace corvex::service {
class AppManager;
}

namespace corvex::app {

/// The studio's uploads of finished recordings. Each recording is kept in the
/// outbox until the service accepted it; a failed upload can be retried from
/// the recording window, and everything waiting from the main window. One
/// recording is never sent twice at the same time. A success posts
/// "refreshLightShows". GUI thread only.
class UploadQueue final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(UploadQueue)

public:
    /// A recording that still has to reach the service.
    struct Pending {
        QString outboxId; // empty when no copy could be kept in the outbox
        QByteArray recording; // kept in memory too, for when there is no copy
        catalogue::TMDBItem item;
    };

    struct Outcome {
        std::optional<service::ServiceError> error;
        std::optional<Pending> pending; // set when the upload failed
        QString outboxError; // why no copy is kept, when none is
        bool alreadySending = false; // a retry found the recording on its way already
    };

    struct RetrySummary {
        int uploaded = 0;
        int failed = 0;
        QString lastError;
    };

    explicit UploadQueue(service::AppManager& manager, QObject* parent = nullptr);
    ~UploadQueue() override;

    /// Uploads a finished recording for the manager's current item.
    QCoro::Task<Outcome> upload(QByteArray recording);
    /// Sends a recording whose upload failed again.
    QCoro::Task<Outcome> retry(Pending pending);
    /// Sends everything waiting in the outbox again, oldest first.
    QCoro::Task<RetrySummary> retryAll();

    /// Recordings in the outbox, as last counted.
    int waitingCount() const { return m_waitingCount; }
    bool isRetryingAll() const { return m_retryingAll; }
    /// Counts the outbox again (it is shared with the command-line tool, so
    /// this also runs every few seconds).
    void refreshCount();

Q_SIGNALS:
    void waitingCountChanged();
    void retryingAllChanged();

private:
    void setRetryingAll(bool retrying);

    service::AppManager& m_manager;
    std::shared_ptr<bool> m_alive = std::make_shared<bool>(true);
    QSet<QString> m_inFlight; // outbox ids being sent
    int m_waitingCount = 0;
    bool m_retryingAll = false;
    QTimer m_countTimer;
};

} // namespace corvex::app
