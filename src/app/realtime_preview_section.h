#pragma once

#include "app/panel_section.h"

class QComboBox;

namespace corvex::preview_link {
class UDPManager;
}

namespace corvex::app {

/// "Realtime preview": the light receiver that gets the colours live, from
/// those found on the network, or "None". Each time it comes on screen it
/// looks for receivers afresh.
class RealtimePreviewSection final : public PanelSection {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(RealtimePreviewSection)

public:
    static QString noReceiversText() { return QStringLiteral("No light receivers found on the network"); }

    explicit RealtimePreviewSection(preview_link::UDPManager& udpManager, QWidget* parent = nullptr);

    QComboBox* receiverPicker() const { return m_receivers; }
    QLabel* emptyHint() const { return m_emptyHint; }
    /// Why the chosen receiver gets no colours, or not all of them; hidden
    /// while nothing is wrong.
    QLabel* problem() const { return m_problem; }

protected:
    void showEvent(QShowEvent* event) override;

private:
    void updateReceivers();
    void receiverFailed(const QString& name, const QString& reason);
    void sendProblemChanged(const QString& name, const QString& reason);

    preview_link::UDPManager& m_udpManager;
    QComboBox* m_receivers;
    QLabel* m_emptyHint;
    QLabel* m_problem;
    QString m_failedName; // the receiver that stopped answering, until another is chosen
    QString m_failedReason;
    QString m_sendProblemName; // the receiver whose datagrams fail to go out, while they do
    QString m_sendProblem;
};

} // namespace corvex::app
