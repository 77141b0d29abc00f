#pragma once

#include "app/studio_environment.h"
#include "service/outbox.h"

#include <QDialog>

#include <QCoroTask>

#include <optional>

class QLabel;
class QPushButton;
class QTreeWidget;

namespace corvex::app {

/// The recordings waiting in the outbox, one row each: what was recorded,
/// when it was saved, whose it is and why it waits. The chosen one can be
/// sent again (unless the service refused it for good or it waits for
/// another account), saved as a file, or removed after a question that names
/// it. Follows the outbox as it changes.
class OutboxDialog final : public QDialog {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(OutboxDialog)

public:
    explicit OutboxDialog(StudioEnvironment& environment, QWidget* parent = nullptr);

    QTreeWidget* list() const { return m_list; }
    QPushButton* retryButton() const { return m_retry; }
    QPushButton* saveButton() const { return m_save; }
    QPushButton* removeButton() const { return m_remove; }
    QLabel* message() const { return m_message; }

private:
    void fill();
    void updateButtons();
    std::optional<service::Outbox::Entry> chosen() const;
    QCoro::Task<> retryChosen();
    void say(const QString& message, bool succeeded);

    StudioEnvironment& m_environment;
    QTreeWidget* m_list;
    QLabel* m_message;
    QPushButton* m_retry;
    QPushButton* m_save;
    QPushButton* m_remove;
};

} // namespace corvex::app
