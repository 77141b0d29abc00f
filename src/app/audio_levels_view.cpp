#include "app/audio_levels_view.h"

#include "capture/audio_levels_provider.h"

#include <QPainter>

#include <algorithm>

namespace corvex::app {

AudioLevelsView::AudioLevelsView(capture::AudioLevelsProvider& provider, QWidget* parent)
    : QWidget(parent)
{
    setFixedHeight(5);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    setProvider(provider);
}

void AudioLevelsView::setProvider(capture::AudioLevelsProvider& provider)
{
    disconnect(m_connection);
    setValue(provider.level() * 10.0);
    m_connection = connect(&provider, &capture::AudioLevelsProvider::audioLevelsChanged, this,
        [this, &provider] { setValue(provider.level() * 10.0); });
}

void AudioLevelsView::setValue(double value)
{
    if (value == m_value)
        return;
    m_value = value;
    update();
}

void AudioLevelsView::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    const QRectF bounds = rect();
    painter.fillRect(bounds, QColor(128, 128, 128, 60));
    const double value = std::clamp(m_value, kMinimum, kMaximum);
    if (value <= kMinimum)
        return;
    // Like a continuous-capacity indicator, the whole fill takes the colour of
    // the zone the value is in.
    QColor colour(52, 199, 89);
    if (value >= kCritical)
        colour = QColor(255, 59, 48);
    else if (value >= kWarning)
        colour = QColor(255, 204, 0);
    const double width = bounds.width() * (value - kMinimum) / (kMaximum - kMinimum);
    painter.fillRect(QRectF(bounds.left(), bounds.top(), width, bounds.height()), colour);
}

} // namespace corvex::app
