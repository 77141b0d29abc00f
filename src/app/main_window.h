#pragma once

#include "app/studio_environment.h"

#include <QMainWindow>
#include <QPointer>

#include <QCoroTask>

class QPushButton;

namespace corvex::app {

class ElidedLabel;
class LightShowsListView;

/// The studio's main window: the author's library on a black background, at
/// least 960 × 724, where the author left it, with the recordings still
/// waiting to be uploaded in its status bar, the library's actions and the
/// settings in its File menu, and help in its Help menu.
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

    /// Opens the settings (service and catalogue addresses, recording keys).
    void openSettings();
    void showHelp();
    void showAbout();

protected:
    void changeEvent(QEvent* event) override;

private:
    void buildMenus();
    void updateOutbox();
    QCoro::Task<> retryUploads();

    StudioEnvironment& m_environment;
    LightShowsListView* m_listView;
    ElidedLabel* m_outboxLabel;
    QPushButton* m_retryButton;
    QPointer<QWidget> m_settings;
    QString m_retryMessage;
    bool m_retryFailed = false;
};

} // namespace corvex::app
