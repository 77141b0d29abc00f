#pragma once

#include "app/studio_environment.h"

#include <QMainWindow>
#include <QPointer>

#include <QCoroTask>

class QPushButton;

namespace corvex::app {

class ElidedLabel;
class LightShowsListView;
class OutboxBar;

/// The studio's main window: the author's library on a black background, at
/// least 960 × 724 (or the screen's free area, where that is smaller), where
/// the author left it, with the recordings still waiting to be uploaded in its
/// status bar, the library's actions and the settings in its File menu, and
/// help in its Help menu.
class MainWindow final : public QMainWindow {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(MainWindow)

public:
    static constexpr int kMinimumWidth = 960;
    static constexpr int kMinimumHeight = 724;

    explicit MainWindow(StudioEnvironment& environment, QWidget* parent = nullptr);

    LightShowsListView* listView() const { return m_listView; }
    OutboxBar* outboxBar() const { return m_outboxBar; }
    ElidedLabel* outboxLabel() const;
    QPushButton* retryButton() const;

    /// Opens the settings (service and catalogue addresses, recording keys).
    void openSettings();
    void showHelp();
    void showAbout();

protected:
    void changeEvent(QEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    /// At least kMinimumWidth × kMinimumHeight, as far as the screen's free area allows.
    void fitMinimumToScreen();
    void buildMenus();

    StudioEnvironment& m_environment;
    LightShowsListView* m_listView;
    OutboxBar* m_outboxBar;
    QPointer<QWidget> m_settings;
};

} // namespace corvex::app
