#include "platform/mediafile/decode_thread.h"

#include "platform/mediafile/video_conversion.h"
#include "platform/mediafile/video_decoder.h"

#include <algorithm>

namespace corvex::mediafile::detail {

namespace {

// A file that yields nothing but read errors this many times in a row is not going to recover.
constexpr int kMaxConsecutiveReadErrors = 1000;
// Pictures waiting for their conversion: enough to keep the decoder busy
// while the reader's caller works, within a memory budget (a 4K picture that
// could not be reduced is 12 MB), but never fewer than two so that the two
// sides overlap. Small pictures are many, so that a film with few of them
// (one a second) does not stop the decoder at every picture.
constexpr std::size_t kQueuedPictureBytes = 32u << 20;
constexpr int kMinQueuedPictures = 2;
constexpr int kMaxQueuedPictures = 16;
// Everything waiting (pictures and blocks of sound), at most, and the sound
// within a memory budget (a film's blocks are a few kilobytes each, but eight
// channels of float in long blocks are a hundred times that).
constexpr std::size_t kMaxQueued = 512;
constexpr std::size_t kQueuedSoundBytes = 4u << 20;
// The two threads wake each other in batches rather than at every item: a
// film's sound comes in blocks of a few milliseconds, and waking a thread
// costs more than handing one over. The caller sleeps until a batch waits (a
// quarter of the queue or of its sound budget, a picture, or the end); the
// decoder, once the queue is full, until it has drained to half.
constexpr std::size_t kWakeCaller = kMaxQueued / 4;
constexpr std::size_t kWakeCallerSoundBytes = kQueuedSoundBytes / 4;
constexpr std::size_t kWakeDecoder = kMaxQueued / 2;
constexpr std::size_t kWakeDecoderSoundBytes = kQueuedSoundBytes / 2;
// Frames given back wait for the decoder, at most as many as the queue holds.
constexpr std::size_t kMaxSpareFrames = kMaxQueued;

std::size_t bytesOf(const DecodeThread::Decoded& item)
{
    std::size_t bytes = 0;
    if (item.kind == DecodeThread::Decoded::Kind::Picture)
        for (const AVBufferRef* buffer : item.frame->buf)
            bytes += buffer != nullptr ? buffer->size : 0;
    else if (item.kind == DecodeThread::Decoded::Kind::Sound)
        for (const std::vector<float>& channel : item.sound.channels)
            bytes += channel.size() * sizeof(float);
    return bytes;
}

} // namespace

DecodeThread::DecodeThread(AVFormatContext* format, VideoDecoder& video, AVCodecContext* audio,
    const AVStream* audioStream, std::int64_t startMicroseconds, PictureReduction& reduction,
    const std::atomic<bool>& stopRequested)
    : m_format(format)
    , m_video(video)
    , m_audio(audio)
    , m_audioStream(audio && audioStream ? audioStream->index : -1)
    , m_sound(audioStream, startMicroseconds)
    , m_reduction(reduction)
    , m_stopRequested(stopRequested)
{
}

DecodeThread::~DecodeThread()
{
    stop();
}

DecodeThread::Damage DecodeThread::damage() const
{
    std::lock_guard lock(m_mutex);
    return m_damage;
}

void DecodeThread::countDamagedPacket(const AVPacket* packet, bool refused)
{
    std::lock_guard lock(m_mutex);
    // A packet the container marked corrupt was counted as it was read.
    if (!refused || packet == nullptr || (packet->flags & AV_PKT_FLAG_CORRUPT) == 0)
        ++m_damage.packets;
    m_damage.refused += refused ? 1 : 0;
}

FramePtr DecodeThread::spareFrame()
{
    {
        std::lock_guard lock(m_mutex);
        if (!m_spareFrames.empty()) {
            FramePtr frame = std::move(m_spareFrames.back());
            m_spareFrames.pop_back();
            return frame;
        }
    }
    return FramePtr { av_frame_alloc() };
}

void DecodeThread::recycle(FramePtr frame)
{
    if (!frame)
        return;
    // What it holds goes back to the decoder's buffers now, whatever its size.
    av_frame_unref(frame.get());
    std::lock_guard lock(m_mutex);
    if (m_spareFrames.size() < kMaxSpareFrames)
        m_spareFrames.push_back(std::move(frame));
}

bool DecodeThread::quitting() const
{
    std::lock_guard lock(m_mutex);
    return m_quit;
}

bool DecodeThread::callerMayGo() const
{
    return !m_queue.empty()
        && (m_queue.size() >= kWakeCaller || m_queuedSoundBytes >= kWakeCallerSoundBytes || m_decoderWaiting
            || m_queue.back().kind != Decoded::Kind::Sound);
}

bool DecodeThread::fits(bool picture, std::size_t bytes) const
{
    if (m_queue.size() >= kMaxQueued)
        return false;
    if (picture)
        return m_queuedPictures < kMinQueuedPictures
            || (m_queuedPictures < kMaxQueuedPictures && m_queuedPictureBytes + bytes <= kQueuedPictureBytes);
    // A block of sound larger than the whole budget still goes, alone.
    return m_queuedSoundBytes == 0 || m_queuedSoundBytes + bytes <= kQueuedSoundBytes;
}

bool DecodeThread::decoderMayGo() const
{
    if (!fits(m_waitingPicture, m_waitingBytes))
        return false;
    if (m_waitingPicture)
        return m_queuedPictures <= kMaxQueuedPictures / 2;
    return m_queue.size() <= kWakeDecoder && m_queuedSoundBytes <= kWakeDecoderSoundBytes;
}

bool DecodeThread::hand(Decoded item)
{
    const bool picture = item.kind == Decoded::Kind::Picture;
    const bool sound = item.kind == Decoded::Kind::Sound;
    const std::size_t bytes = bytesOf(item);
    std::unique_lock lock(m_mutex);
    // Notes and the end always fit: they come once and carry no picture.
    if (!m_quit && (picture || sound) && !fits(picture, bytes)) {
        m_decoderWaiting = true;
        m_waitingPicture = picture;
        m_waitingBytes = bytes;
        m_forCaller.notify_one();
        m_forDecoder.wait(lock, [&] { return m_quit || decoderMayGo(); });
        m_decoderWaiting = false;
    }
    if (m_quit)
        return false;
    m_queuedPictures += picture ? 1 : 0;
    (picture ? m_queuedPictureBytes : m_queuedSoundBytes) += bytes;
    m_queue.push_back(std::move(item));
    if (callerMayGo())
        m_forCaller.notify_one();
    return true;
}

bool DecodeThread::handSound(bool unfinished)
{
    while (std::optional<AudioBlock> block = m_sound.take(unfinished))
        if (!hand({ Decoded::Kind::Sound, nullptr, false, std::move(*block), {} }))
            return false;
    return true;
}

void DecodeThread::decode(AVCodecContext* codec, const AVPacket* input)
{
    const bool isVideo = codec == m_video.context();
    const int sent = avcodec_send_packet(codec, input);
    if (sent < 0 && sent != AVERROR(EAGAIN) && sent != AVERROR_EOF) {
        if (isVideo && m_video.usingHardware() && m_picturesDecoded == 0) {
            std::string note = m_video.fallBackToSoftware(errorText(sent), m_decoderFailed);
            hand({ Decoded::Kind::Note, nullptr, false, {}, std::move(note) });
            if (m_decoderFailed && handSound(true))
                hand({ Decoded::Kind::Failure, nullptr, false, {},
                    "the software video decoder would not open after the hardware decoder failed" });
            return;
        }
        countDamagedPacket(input, true);
    }
    for (;;) {
        const int received = avcodec_receive_frame(codec, m_frame.get());
        if (received == AVERROR(EAGAIN) || received == AVERROR_EOF)
            return;
        if (received < 0) {
            countDamagedPacket(input, true);
            return;
        }
        if (!isVideo) {
            const int damagedBefore = m_sound.damagedFrames() + m_sound.framesWithoutTime();
            m_sound.add(m_frame.get());
            av_frame_unref(m_frame.get());
            if (m_sound.damagedFrames() + m_sound.framesWithoutTime() != damagedBefore) {
                std::lock_guard lock(m_mutex);
                m_damage.soundFrames = m_sound.damagedFrames();
                m_damage.soundWithoutTime = m_sound.framesWithoutTime();
            }
            if (!handSound(false))
                return;
            continue;
        }
        FramePtr decoded = spareFrame();
        if (!decoded) {
            av_frame_unref(m_frame.get());
            countDamagedPacket(nullptr, false);
            continue;
        }
        av_frame_move_ref(decoded.get(), m_frame.get());
        bool reduced = false;
        ++m_picturesDecoded;
        decoded = m_reduction.reduce(std::move(decoded), reduced);
        // The sound before the picture goes first, finished or not.
        if (!handSound(true) || !hand({ Decoded::Kind::Picture, std::move(decoded), reduced, {}, {} }))
            return;
    }
}

void DecodeThread::decodeFile()
{
    m_consecutiveReadErrors = 0;
    const int videoStream = m_video.streamIndex();
    while (!quitting() && !m_decoderFailed) {
        if (m_stopRequested.load()) {
            hand({ Decoded::Kind::End, nullptr, false, {}, {} });
            return;
        }
        const int status = av_read_frame(m_format, m_packet.get());
        if (status == AVERROR_EOF || (status < 0 && avio_feof(m_format->pb))) {
            // Whatever the decoders still hold comes out now.
            decode(m_video.context(), nullptr);
            if (m_audio)
                decode(m_audio, nullptr);
            if (handSound(true))
                hand({ Decoded::Kind::End, nullptr, false, {}, {} });
            return;
        }
        if (status < 0) {
            if (status == AVERROR_INVALIDDATA && ++m_consecutiveReadErrors < kMaxConsecutiveReadErrors) {
                countDamagedPacket(nullptr, false);
                continue;
            }
            if (handSound(true))
                hand({ Decoded::Kind::Failure, nullptr, false, {}, "reading the file failed: " + errorText(status) });
            return;
        }
        m_consecutiveReadErrors = 0;
        if ((m_packet->flags & AV_PKT_FLAG_CORRUPT) != 0)
            countDamagedPacket(m_packet.get(), false);
        if (m_packet->stream_index == videoStream)
            decode(m_video.context(), m_packet.get());
        else if (m_audio && m_packet->stream_index == m_audioStream)
            decode(m_audio, m_packet.get());
        av_packet_unref(m_packet.get());
    }
    av_packet_unref(m_packet.get());
}

DecodeThread::Decoded DecodeThread::take()
{
    std::unique_lock lock(m_mutex);
    if (!m_thread.joinable()) {
        m_quit = false;
        m_thread = std::thread([this] { decodeFile(); });
    }
    // Items already waiting are handed out at once; an empty queue is waited on until a batch is in.
    if (m_queue.empty())
        m_forCaller.wait(lock, [this] { return callerMayGo(); });
    Decoded item = std::move(m_queue.front());
    m_queue.pop_front();
    if (item.kind == Decoded::Kind::Picture) {
        --m_queuedPictures;
        m_queuedPictureBytes -= bytesOf(item);
    } else if (item.kind == Decoded::Kind::Sound) {
        m_queuedSoundBytes -= bytesOf(item);
    }
    if (m_decoderWaiting && decoderMayGo())
        m_forDecoder.notify_one();
    return item;
}

void DecodeThread::stop()
{
    {
        std::lock_guard lock(m_mutex);
        m_quit = true;
        m_forDecoder.notify_one();
    }
    if (m_thread.joinable())
        m_thread.join();
    m_sound.reset();
    std::lock_guard lock(m_mutex);
    m_queue.clear();
    m_queuedPictures = 0;
    m_queuedPictureBytes = 0;
    m_queuedSoundBytes = 0;
    m_quit = false;
}

} // namespace corvex::mediafile::detail
