#pragma once

#include "app/studio_environment.h"

#include <QMainWindow>

#include <QCoroTask>

class QPushButton;

namespace corvex::app {

class ElidedLabel;
class LightShowsListView;

/// The studio's main window: the author's library on a black background, at
/// least 960 × 724, with the recordings still waiting to be uploaded in its
/// status bar and the library's actions in its File menu. Every main window
/// shares the one signed-in state.
class MainWindow final : public QMainWindow {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(MainWindow)

public:
    static constexpr int kMinimumWidth = 960;
    static constexpr int kMinimumHeight = 724;

    explicit MainWindow(StudioEnvironment& environment, QWidget* parent = nullptr);

    LightShowsListView* listView() const { return m_listView; }
    ElidedLabel* outboxLabel() const { return m_outboxLabel; }
    QPushButton* retryButton() const { return m_retryButton; }

Q_SIGNALS:
    /// The author asked for another main window ("New Window").
    void newWindowRequested();

private:
    void updateOutbox();
    QCoro::Task<> retryUploads();

    StudioEnvironment& m_environment;
    LightShowsListView* m_listView;
    ElidedLabel* m_outboxLabel;
    QPushButton* m_retryButton;
    QString m_retryMessage;
    bool m_retryFailed = false;
};

/// The dark palette of the main window's black background.
QPalette darkPalette();

} // namespace corvex::app
