#pragma once

#include <QObject>

namespace corvex::capture {

/// The panel's "Synth" sound, opened from the program's resources and made
/// ready to loop without end. Nothing starts playback yet; isPlaying stays false.
class AudioPlayer final : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool isPlaying READ isPlaying NOTIFY isPlayingChanged)
    Q_DISABLE_COPY_MOVE(AudioPlayer)

public:
    /// Stops the program when the sound is not among the program's resources
    /// or cannot be read: the program was built or packaged wrongly.
    explicit AudioPlayer(QObject* parent = nullptr);

    bool isPlaying() const { return m_isPlaying; }
    int numberOfLoops() const { return m_numberOfLoops; }
    bool isPrepared() const { return m_prepared; }
    double duration() const { return m_duration; }
    int sampleRate() const { return m_sampleRate; }
    int channelCount() const { return m_channelCount; }

Q_SIGNALS:
    void isPlayingChanged();

private:
    bool m_isPlaying = false;
    int m_numberOfLoops = 0;
    bool m_prepared = false;
    double m_duration = 0;
    int m_sampleRate = 0;
    int m_channelCount = 0;
    QByteArray m_sound;
};

} // namespace corvex::capture
