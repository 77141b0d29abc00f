#pragma once

#include <QObject>

namespace corvex::capture {

/// Display levels of the captured sound, 0 to 1.
struct AudioLevels {
    float level = 0;
    float peakLevel = 0;

    friend bool operator==(const AudioLevels&, const AudioLevels&) = default;
};

/// Publishes the levels for the meter view; written and read on the GUI thread.
class AudioLevelsProvider final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(AudioLevelsProvider)

public:
    explicit AudioLevelsProvider(QObject* parent = nullptr);

    AudioLevels audioLevels() const { return m_audioLevels; }
    void setAudioLevels(AudioLevels levels);
    float level() const { return m_audioLevels.level; }
    float peakLevel() const { return m_audioLevels.peakLevel; }

Q_SIGNALS:
    void audioLevelsChanged();

private:
    AudioLevels m_audioLevels;
};

} // namespace corvex::capture
