#include "capture/audio_levels_provider.h"

namespace corvex::capture {

AudioLevelsProvider::AudioLevelsProvider(QObject* parent)
    : QObject(parent)
{
}

void AudioLevelsProvider::setAudioLevels(AudioLevels levels)
{
    m_audioLevels = levels;
    Q_EMIT audioLevelsChanged();
}

} // namespace corvex::capture
