#pragma once

#include "service/app_manager.h"
#include "service/service_error.h"

#include <QByteArray>
#include <QObject>
#include <QStringList>
#include <QTimer>

#include <QCoroTask>

#include <memory>
#include <optional>

namespace corvex::app {

/// The studio's uploads of finished recordings. Each recording is kept in the
/// outbox until the service accepted it; a failed upload can be retried from
/// the recording window, and everything waiting from the main window. Every
/// attempt goes through the manager's one delivery, which takes the outbox
/// entry for its duration, so one recording is never sent twice at the same
/// time, here or by the command-line tool. A success posts
/// "refreshLightShows". GUI thread only.
class UploadQueue final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(UploadQueue)

public:
    /// A recording that still has to reach the service.
    using Pending = service::AppManager::Parcel;

    struct Outcome {
        std::optional<service::ServiceError> error;
        std::optional<Pending> pending; // set when it still has to be sent
        QString author; // for otherAuthor: whose it is
        QString outboxError; // why no copy is kept, when none is
        bool alreadySending = false; // it is on its way from elsewhere already
        bool gone = false; // it left the outbox from elsewhere: not sent from here
        bool otherAuthor = false; // made under another account: it waits for its author
        bool unknownAuthor = false; // its author is not known: send it with the command-line tool
    };

    struct RetrySummary {
        int uploaded = 0;
        int failed = 0;
        int otherAuthors = 0; // left for their authors
        QStringList waitingFor; // those authors, each once
        int unknownAuthor = 0; // left for an explicit send
        int refusedForGood = 0; // among the failed: the service will never take them
        QString lastError;
    };

    explicit UploadQueue(service::AppManager& manager, QObject* parent = nullptr);
    ~UploadQueue() override;

    /// Uploads a finished recording for the manager's current item, made
    /// under the account `madeBy` (empty: the signed-in one).
    QCoro::Task<Outcome> upload(QByteArray recording, QString madeBy = {});
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
    int m_waitingCount = 0;
    bool m_retryingAll = false;
    QTimer m_countTimer;
};

} // namespace corvex::app
