#pragma once

#include "app/studio_environment.h"
#include "app/upload_queue.h"

#include <QPointer>
#include <QTimer>
#include <QWidget>

#include <QCoroTask>

class QPushButton;

namespace corvex::app {

class ElidedLabel;
class OutboxDialog;

/// The main window's word on the outbox, in its status bar: how many of the
/// author's recordings wait and why (the last attempt's error, read from
/// the outbox, so it is never older than the outbox itself), when the next
/// automatic attempt comes, which ones the service refused for good and
/// which wait for another account; with "Retry uploads" and "Outbox…",
/// which lists them to save or remove.
class OutboxBar final : public QWidget {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(OutboxBar)

public:
    explicit OutboxBar(StudioEnvironment& environment, QWidget* parent = nullptr);

    ElidedLabel* label() const { return m_label; }
    QPushButton* retryButton() const { return m_retry; }
    QPushButton* outboxButton() const { return m_open; }
    /// Opens the list of waiting recordings (one at a time).
    OutboxDialog* openOutbox();

private:
    void update();
    void follow(const UploadQueue::Delivered& delivered);
    QCoro::Task<> retryUploads();

    StudioEnvironment& m_environment;
    ElidedLabel* m_label;
    QPushButton* m_retry;
    QPushButton* m_open;
    QTimer m_countdown; // the seconds to the next attempt
    int m_uploaded = 0; // waiting recordings uploaded since the author last looked
    QPointer<OutboxDialog> m_dialog;
};

} // namespace corvex::app
