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
// sides overlap.
constexpr std::size_t kQueuedPictureBytes = 32u << 20;
constexpr int kMinQueuedPictures = 2;
constexpr int kMaxQueuedPictures = 4;
// Everything waiting (pictures and blocks of sound), at most.
constexpr std::size_t kMaxQueued = 64;
// The two threads wake each other in batches rather than at every item: a
// film's sound comes in blocks of a few milliseconds, and waking a thread
// costs more than handing one over. The caller sleeps until this many items
// wait (or a picture, or the end); the decoder, once the queue is full, until
// it has drained to half.
constexpr std::size_t kWakeCaller = 16;
constexpr std::size_t kWakeDecoder = kMaxQueued / 2;

std::size_t bytesOf(const AVFrame* frame)
{
    std::size_t bytes = 0;
    for (const AVBufferRef* buffer : frame->buf)
        bytes += buffer != nullptr ? buffer->size : 0;
    return bytes;
}

} // namespace

DecodeThread::DecodeThread(AVFormatContext* format, VideoDecoder& video, AVCodecContext* audio, int audioStream,
    PictureReduction& reduction, const std::atomic<bool>& stopRequested)
    : m_format(format)
    , m_video(video)
    , m_audio(audio)
    , m_audioStream(audioStream)
    , m_reduction(reduction)
    , m_stopRequested(stopRequested)
{
}

DecodeThread::~DecodeThread()
{
    stop();
}

int DecodeThread::damagedPackets() const
{
    std::lock_guard lock(m_mutex);
    return m_damagedPackets;
}

void DecodeThread::countDamagedPacket()
{
    std::lock_guard lock(m_mutex);
    ++m_damagedPackets;
}

bool DecodeThread::quitting() const
{
    std::lock_guard lock(m_mutex);
    return m_quit;
}

bool DecodeThread::callerMayGo() const
{
    return !m_queue.empty()
        && (m_queue.size() >= kWakeCaller || m_decoderWaiting || m_queue.back().kind != Decoded::Kind::Sound);
}

bool DecodeThread::hand(Decoded item)
{
    std::unique_lock lock(m_mutex);
    const bool picture = item.kind == Decoded::Kind::Picture;
    const std::size_t bytes = picture ? bytesOf(item.frame.get()) : 0;
    // Notes and the end always fit: they come once and carry no picture.
    const bool bounded = item.kind == Decoded::Kind::Picture || item.kind == Decoded::Kind::Sound;
    const auto fits = [&] {
        const bool roomForPicture = m_queuedPictures < kMinQueuedPictures
            || (m_queuedPictures < kMaxQueuedPictures && m_queuedPictureBytes + bytes <= kQueuedPictureBytes);
        return !bounded || (m_queue.size() < kMaxQueued && (!picture || roomForPicture));
    };
    if (!m_quit && !fits()) {
        m_decoderWaiting = true;
        m_forCaller.notify_one();
        m_forDecoder.wait(lock, [&] { return m_quit || (fits() && (picture || m_queue.size() <= kWakeDecoder)); });
        m_decoderWaiting = false;
    }
    if (m_quit)
        return false;
    m_queuedPictures += picture ? 1 : 0;
    m_queuedPictureBytes += bytes;
    m_queue.push_back(std::move(item));
    if (callerMayGo())
        m_forCaller.notify_one();
    return true;
}

void DecodeThread::decode(AVCodecContext* codec, const AVPacket* input)
{
    const bool isVideo = codec == m_video.context();
    const int sent = avcodec_send_packet(codec, input);
    if (sent < 0 && sent != AVERROR(EAGAIN) && sent != AVERROR_EOF) {
        if (isVideo && m_video.usingHardware() && m_picturesDecoded == 0) {
            std::string note = m_video.fallBackToSoftware(errorText(sent), m_decoderFailed);
            hand({ Decoded::Kind::Note, nullptr, false, std::move(note) });
            if (m_decoderFailed)
                hand({ Decoded::Kind::Failure, nullptr, false,
                    "the software video decoder would not open after the hardware decoder failed" });
            return;
        }
        countDamagedPacket();
    }
    for (;;) {
        const int received = avcodec_receive_frame(codec, m_frame.get());
        if (received == AVERROR(EAGAIN) || received == AVERROR_EOF)
            return;
        if (received < 0) {
            countDamagedPacket();
            return;
        }
        FramePtr decoded { av_frame_alloc() };
        if (!decoded) {
            av_frame_unref(m_frame.get());
            countDamagedPacket();
            continue;
        }
        av_frame_move_ref(decoded.get(), m_frame.get());
        bool reduced = false;
        if (isVideo) {
            ++m_picturesDecoded;
            decoded = m_reduction.reduce(std::move(decoded), reduced);
        }
        if (!hand({ isVideo ? Decoded::Kind::Picture : Decoded::Kind::Sound, std::move(decoded), reduced, {} }))
            return;
    }
}

void DecodeThread::decodeFile()
{
    m_consecutiveReadErrors = 0;
    const int videoStream = m_video.streamIndex();
    while (!quitting() && !m_decoderFailed) {
        if (m_stopRequested.load()) {
            hand({ Decoded::Kind::End, nullptr, false, {} });
            return;
        }
        const int status = av_read_frame(m_format, m_packet.get());
        if (status == AVERROR_EOF || (status < 0 && avio_feof(m_format->pb))) {
            // Whatever the decoders still hold comes out now.
            decode(m_video.context(), nullptr);
            if (m_audio)
                decode(m_audio, nullptr);
            hand({ Decoded::Kind::End, nullptr, false, {} });
            return;
        }
        if (status < 0) {
            if (status == AVERROR_INVALIDDATA && ++m_consecutiveReadErrors < kMaxConsecutiveReadErrors) {
                countDamagedPacket();
                continue;
            }
            hand({ Decoded::Kind::Failure, nullptr, false, "reading the file failed: " + errorText(status) });
            return;
        }
        m_consecutiveReadErrors = 0;
        if ((m_packet->flags & AV_PKT_FLAG_CORRUPT) != 0)
            countDamagedPacket();
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
        m_queuedPictureBytes -= bytesOf(item.frame.get());
    }
    if (m_decoderWaiting && (item.kind == Decoded::Kind::Picture || m_queue.size() <= kWakeDecoder))
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
    std::lock_guard lock(m_mutex);
    m_queue.clear();
    m_queuedPictures = 0;
    m_queuedPictureBytes = 0;
    m_quit = false;
}

} // namespace corvex::mediafile::detail
