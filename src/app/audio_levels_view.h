#pragma once

#include <QWidget>

namespace corvex::capture {
class AudioLevelsProvider;
}

namespace corvex::app {

/// A horizontal level meter of the captured sound: the provider's level × 10
/// on a scale of 0 to 10, drawn green, then yellow from the warning value 6,
/// red from the critical value 8. Five points high; the peak is not shown.
class AudioLevelsView final : public QWidget {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(AudioLevelsView)

public:
    static constexpr double kMinimum = 0;
    static constexpr double kMaximum = 10;
    static constexpr double kWarning = 6;
    static constexpr double kCritical = 8;

    explicit AudioLevelsView(capture::AudioLevelsProvider& provider, QWidget* parent = nullptr);
    /// Shows `provider`'s levels from now on.
    void setProvider(capture::AudioLevelsProvider& provider);

    double value() const { return m_value; }
    QSize sizeHint() const override { return { 160, 5 }; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void setValue(double value);

    double m_value = 0;
    QMetaObject::Connection m_connection;
};

} // namespace corvex::app
