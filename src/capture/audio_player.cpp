#include "capture/audio_player.h"

#include <QFile>

#include <sndfile.h>

#include <algorithm>
#include <cstring>

namespace corvex::capture {

namespace {

// libsndfile reading from the bytes of a resource.
struct MemoryFile {
    const QByteArray* bytes;
    sf_count_t position = 0;
};

sf_count_t memoryLength(void* user)
{
    return static_cast<MemoryFile*>(user)->bytes->size();
}

sf_count_t memorySeek(sf_count_t offset, int whence, void* user)
{
    auto* file = static_cast<MemoryFile*>(user);
    const sf_count_t base = whence == SEEK_CUR ? file->position : whence == SEEK_END ? file->bytes->size() : 0;
    file->position = std::clamp<sf_count_t>(base + offset, 0, file->bytes->size());
    return file->position;
}

sf_count_t memoryRead(void* destination, sf_count_t count, void* user)
{
    auto* file = static_cast<MemoryFile*>(user);
    const sf_count_t available = std::min<sf_count_t>(count, file->bytes->size() - file->position);
    std::memcpy(destination, file->bytes->constData() + file->position, static_cast<std::size_t>(available));
    file->position += available;
    return available;
}

sf_count_t memoryWrite(const void*, sf_count_t, void*)
{
    return 0;
}

sf_count_t memoryTell(void* user)
{
    return static_cast<MemoryFile*>(user)->position;
}

} // namespace

AudioPlayer::AudioPlayer(QObject* parent)
    : QObject(parent)
{
    QFile resource(QStringLiteral(":/sounds/Synth.aif"));
    if (!resource.open(QIODevice::ReadOnly))
        qFatal("Couldn't find Synth.aif in the app bundle.");
    m_sound = resource.readAll();

    MemoryFile file { &m_sound };
    SF_VIRTUAL_IO io { memoryLength, memorySeek, memoryRead, memoryWrite, memoryTell };
    SF_INFO info {};
    SNDFILE* sound = sf_open_virtual(&io, SFM_READ, &info, &file);
    if (sound == nullptr || (info.format & SF_FORMAT_TYPEMASK) != SF_FORMAT_AIFF)
        qFatal("Synth.aif in the app bundle is not a readable AIFF sound: %s", sf_strerror(sound));
    m_sampleRate = info.samplerate;
    m_channelCount = info.channels;
    m_duration = info.samplerate > 0 ? static_cast<double>(info.frames) / info.samplerate : 0.0;
    sf_close(sound);

    m_numberOfLoops = -1; // repeat without end
    m_prepared = true;
}

} // namespace corvex::capture
