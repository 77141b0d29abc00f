#include "platform/mediafile/media_file_reader.h"

#include "platform/mediafile/decode_thread.h"
#include "platform/mediafile/reader_internals.h"
#include "platform/mediafile/video_conversion.h"
#include "platform/mediafile/video_decoder.h"

extern "C" {
#include <libavutil/log.h>
}

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <deque>
#include <mutex>

namespace corvex::mediafile {

using namespace detail;

namespace {

// Decoders report damage they conceal only through the log; we count those
// lines instead of printing them (the caller reports the count in one line).
std::atomic<int> g_decoderErrorLines { 0 };

void logCallback(void* context, int level, const char*, va_list)
{
    if (level > AV_LOG_ERROR || context == nullptr)
        return;
    const AVClass* avClass = *static_cast<AVClass**>(context);
    if (avClass == nullptr)
        return;
    const AVClassCategory category = avClass->get_category ? avClass->get_category(context) : avClass->category;
    if (category == AV_CLASS_CATEGORY_DECODER)
        g_decoderErrorLines.fetch_add(1, std::memory_order_relaxed);
}

void installLogCallback()
{
    static std::once_flag once;
    std::call_once(once, [] { av_log_set_callback(logCallback); });
}

const char* mediaTypeName(AVMediaType type)
{
    const char* name = av_get_media_type_string(type);
    return name ? name : "unknown";
}

} // namespace

// The probe (open()), the time line and the hand-over to the caller; the
// decoder, the decoding thread and the conversions are parts of their own.
struct MediaFileReader::Impl {
    ReaderOptions options;
    MediaFileInfo info;
    FormatPtr format;
    CodecPtr audio;
    std::unique_ptr<VideoDecoder> video;
    AVStream* videoStream = nullptr;
    AVStream* audioStream = nullptr;
    std::int64_t startMicroseconds = 0;
    std::atomic<bool> stop { false };
    int errorLinesAtStart = 0;
    std::unique_ptr<DecodeThread> decoding;

    // The caller's (next(), seek(), damage()).
    std::deque<ReaderItem> pending;
    bool finished = false;
    DamageReport counted; // of the pictures (the sound's is counted where it is decoded)
    DamageReport damage; // all of it, as last asked for
    std::unique_ptr<PictureReduction> pictureReduction; // the decoding thread's
    VideoConversion videoConversion { info };

    explicit Impl(const ReaderOptions& readerOptions)
        : options(readerOptions)
    {
    }
    ~Impl() { decoding.reset(); }

    void emitVideo(AVFrame* decoded, bool reduced);
};

namespace {

int firstStreamOf(AVFormatContext* format, AVMediaType type)
{
    for (unsigned i = 0; i < format->nb_streams; ++i) {
        const AVStream* stream = format->streams[i];
        // Cover art is a picture stream that is not the film.
        if (stream->codecpar->codec_type == type && (stream->disposition & AV_DISPOSITION_ATTACHED_PIC) == 0)
            return static_cast<int>(i);
    }
    return -1;
}

OpenResult failure(OpenError error, std::string message)
{
    return OpenResult::failure({ error, std::move(message) });
}

} // namespace

OpenResult MediaFileReader::open(const std::string& path, const ReaderOptions& options)
{
    installLogCallback();
    struct stat status { };
    if (::stat(path.c_str(), &status) != 0)
        return failure(OpenError::Missing, path + ": " + std::strerror(errno));
    if (S_ISDIR(status.st_mode))
        return failure(OpenError::Missing, path + " is a folder, not a video file");
    if (status.st_size == 0)
        return failure(OpenError::Empty, path + " is empty (0 bytes): nothing to analyse");

    auto impl = std::make_unique<Impl>(options);
    impl->errorLinesAtStart = g_decoderErrorLines.load();

    AVFormatContext* rawFormat = nullptr;
    if (const int code = avformat_open_input(&rawFormat, path.c_str(), nullptr, nullptr); code < 0) {
        if (code == AVERROR(EACCES) || code == AVERROR(ENOENT))
            return failure(OpenError::Missing, path + ": " + errorText(code));
        // A film cut short before its index (an MP4 whose download stopped, say)
        // reads as invalid data, like a file that is no film at all.
        if (code == AVERROR_INVALIDDATA)
            return failure(OpenError::NotMedia,
                path + " cannot be read: it is damaged or cut short, or is not a video file (" + errorText(code) + ")");
        return failure(
            OpenError::NotMedia, path + " is not a video file this program can read (" + errorText(code) + ")");
    }
    impl->format.reset(rawFormat);
    AVFormatContext* format = impl->format.get();
    if (avformat_find_stream_info(format, nullptr) < 0 || format->nb_streams == 0)
        return failure(OpenError::NotMedia, path + " holds no audio or video that this program can read");
    impl->info.container = format->iformat && format->iformat->name ? format->iformat->name : "";

    // The video stream.
    int videoIndex = -1;
    if (options.videoStream) {
        videoIndex = *options.videoStream;
        if (videoIndex < 0 || videoIndex >= static_cast<int>(format->nb_streams))
            return failure(OpenError::NoSuchStream,
                path + " has no stream " + std::to_string(videoIndex) + " (it has " + std::to_string(format->nb_streams)
                    + ", numbered from 0)");
        const AVMediaType type = format->streams[videoIndex]->codecpar->codec_type;
        if (type != AVMEDIA_TYPE_VIDEO)
            return failure(OpenError::NoSuchStream,
                "stream " + std::to_string(videoIndex) + " of " + path + " is " + mediaTypeName(type)
                    + ", not video; pick a video stream");
    } else {
        videoIndex = firstStreamOf(format, AVMEDIA_TYPE_VIDEO);
        if (videoIndex < 0)
            return failure(OpenError::NoVideo, path + " has no video stream: a light show needs a picture");
    }
    impl->videoStream = format->streams[videoIndex];
    const AVCodecParameters* videoParameters = impl->videoStream->codecpar;
    impl->info.videoStreamIndex = videoIndex;
    impl->info.videoCodec = avcodec_get_name(videoParameters->codec_id);
    // Any text file "plays" as a picture of its characters; that is not a film.
    switch (videoParameters->codec_id) {
    case AV_CODEC_ID_ANSI:
    case AV_CODEC_ID_BINTEXT:
    case AV_CODEC_ID_XBIN:
    case AV_CODEC_ID_IDF:
        return failure(OpenError::NotMedia, path + " is not a video file this program can read (it is text)");
    default:
        break;
    }
    const AVCodec* videoDecoder = avcodec_find_decoder(videoParameters->codec_id);
    if (videoDecoder == nullptr)
        return failure(OpenError::UnsupportedCodec,
            path + ": its video is coded "
                + (videoParameters->codec_id == AV_CODEC_ID_NONE ? std::string("in a way no decoder here knows")
                                                                 : "as '" + impl->info.videoCodec + "'")
                + ", which this program cannot decode; convert it (for example to H.264) first");
    const int width = videoParameters->width;
    const int height = videoParameters->height;
    if (width <= 0 || height <= 0 || width > kMaxPictureSize || height > kMaxPictureSize)
        return failure(OpenError::AbsurdSize,
            path + ": its video claims to be " + std::to_string(width) + " x " + std::to_string(height)
                + " pixels, which is not a picture this program decodes (1 to " + std::to_string(kMaxPictureSize)
                + " on each side); the file is probably damaged");
    impl->info.codedWidth = width;
    impl->info.codedHeight = height;
    AVRational sampleAspect = av_guess_sample_aspect_ratio(format, impl->videoStream, nullptr);
    if (sampleAspect.num <= 0 || sampleAspect.den <= 0)
        sampleAspect = { 1, 1 };
    // The picture as shown: stored pixels stretched by their aspect ratio (along one axis only).
    if (av_cmp_q(sampleAspect, { 1, 1 }) > 0) {
        impl->info.displayWidth = static_cast<int>(std::lround(width * av_q2d(sampleAspect)));
        impl->info.displayHeight = height;
    } else {
        impl->info.displayWidth = width;
        impl->info.displayHeight = static_cast<int>(std::lround(height / av_q2d(sampleAspect)));
    }
    const AVRational rate = impl->videoStream->avg_frame_rate;
    impl->info.frameRate = rate.num > 0 && rate.den > 0 ? av_q2d(rate) : 0;
    if (format->duration > 0)
        impl->info.durationSeconds = static_cast<double>(format->duration) / AV_TIME_BASE;
    impl->startMicroseconds = format->start_time != AV_NOPTS_VALUE ? format->start_time : 0;

    // Frames are handed out with square pixels, as shown, at most maxWidth wide.
    // Crop fractions and area averages are the same on the stored and on the
    // shown picture, but black bars and the preview need the shown shape.
    int frameWidth = impl->info.displayWidth;
    int frameHeight = impl->info.displayHeight;
    if (options.maxWidth > 0 && frameWidth > options.maxWidth) {
        frameHeight = std::max(1, static_cast<int>(std::lround(double(frameHeight) * options.maxWidth / frameWidth)));
        frameWidth = options.maxWidth;
    }
    impl->info.frameWidth = frameWidth;
    impl->info.frameHeight = frameHeight;

    impl->video = std::make_unique<VideoDecoder>(videoDecoder, impl->videoStream, impl->options);
    impl->info.hardwareNote = impl->video->tryHardware(impl->info.videoCodec);
    if (!impl->video->openBest(impl->info.hardwareNote))
        return failure(OpenError::DecoderFailed,
            path + ": the " + impl->info.videoCodec + " decoder would not open; the video may be damaged");
    impl->info.hardware = impl->video->hardware();

    // The sound, if any; a file without one still makes a show (without a signature).
    int audioIndex = -1;
    if (options.audioStream) {
        audioIndex = *options.audioStream;
        if (audioIndex < 0 || audioIndex >= static_cast<int>(format->nb_streams))
            return failure(OpenError::NoSuchStream,
                path + " has no stream " + std::to_string(audioIndex) + " (it has " + std::to_string(format->nb_streams)
                    + ", numbered from 0)");
        const AVMediaType type = format->streams[audioIndex]->codecpar->codec_type;
        if (type != AVMEDIA_TYPE_AUDIO)
            return failure(OpenError::NoSuchStream,
                "stream " + std::to_string(audioIndex) + " of " + path + " is " + mediaTypeName(type)
                    + ", not audio; pick an audio stream");
    } else {
        audioIndex = av_find_best_stream(format, AVMEDIA_TYPE_AUDIO, -1, videoIndex, nullptr, 0);
    }
    if (audioIndex >= 0) {
        AVStream* stream = format->streams[audioIndex];
        const AVCodec* decoder = avcodec_find_decoder(stream->codecpar->codec_id);
        const std::string codecName = avcodec_get_name(stream->codecpar->codec_id);
        if (decoder == nullptr)
            return failure(OpenError::UnsupportedCodec,
                path + ": its sound is coded as '" + codecName
                    + "', which this program cannot decode; pick another stream with --audio-stream or convert it");
        CodecPtr audio(avcodec_alloc_context3(decoder));
        if (!audio || avcodec_parameters_to_context(audio.get(), stream->codecpar) < 0
            || (audio->pkt_timebase = stream->time_base, avcodec_open2(audio.get(), decoder, nullptr) < 0))
            return failure(OpenError::DecoderFailed,
                path + ": the " + codecName + " sound decoder would not open; the sound may be damaged");
        impl->audio = std::move(audio);
        impl->audioStream = stream;
        impl->info.audioStreamIndex = audioIndex;
        impl->info.audioCodec = codecName;
        impl->info.sampleRate = impl->audio->sample_rate;
        impl->info.channels = impl->audio->ch_layout.nb_channels;
    }

    // Only the chosen streams are read from the container.
    for (unsigned i = 0; i < format->nb_streams; ++i)
        if (static_cast<int>(i) != videoIndex && static_cast<int>(i) != audioIndex)
            format->streams[i]->discard = AVDISCARD_ALL;

    impl->pictureReduction
        = std::make_unique<PictureReduction>(impl->info, options.boxAverage, impl->video->hardwarePixelFormat());
    impl->decoding = std::make_unique<DecodeThread>(format, *impl->video, impl->audio.get(), impl->audioStream,
        impl->startMicroseconds, *impl->pictureReduction, impl->stop);
    return OpenResult::success(std::unique_ptr<MediaFileReader>(new MediaFileReader(std::move(impl))));
}

MediaFileReader::MediaFileReader(std::unique_ptr<Impl> impl)
    : m_impl(std::move(impl))
{
}

MediaFileReader::~MediaFileReader() = default;

const MediaFileInfo& MediaFileReader::info() const
{
    return m_impl->info;
}

const DamageReport& MediaFileReader::damage() const
{
    Impl& impl = *m_impl;
    const DecodeThread::Damage decoded = impl.decoding->damage();
    impl.damage.damagedPackets = decoded.packets;
    // Lines a decoder logged as errors stand for damage it concealed, except
    // those that say it refused a packet: that packet is counted already.
    const int concealed = g_decoderErrorLines.load() - impl.errorLinesAtStart - decoded.refused;
    impl.damage.damagedFrames = std::max(impl.counted.damagedFrames + decoded.soundFrames, concealed);
    impl.damage.framesWithoutTime = impl.counted.framesWithoutTime + decoded.soundWithoutTime;
    return impl.damage;
}

void MediaFileReader::requestStop()
{
    m_impl->stop.store(true);
}

bool MediaFileReader::stopRequested() const
{
    return m_impl->stop.load();
}

bool MediaFileReader::seek(double seconds)
{
    Impl& impl = *m_impl;
    // What was decoded ahead belongs to the old position.
    impl.decoding->stop();
    const std::int64_t target = impl.startMicroseconds + static_cast<std::int64_t>(seconds * 1e6);
    if (avformat_seek_file(impl.format.get(), -1, INT64_MIN, target, target, 0) < 0)
        return false;
    avcodec_flush_buffers(impl.video->context());
    if (impl.audio)
        avcodec_flush_buffers(impl.audio.get());
    impl.pending.clear();
    impl.finished = false;
    return true;
}

void MediaFileReader::Impl::emitVideo(AVFrame* decoded, bool reduced)
{
    if (frameIsDamaged(decoded))
        ++counted.damagedFrames;
    const std::optional<std::int64_t> time = frameMicroseconds(decoded, videoStream, startMicroseconds);
    if (!time) {
        ++counted.framesWithoutTime;
        return;
    }
    bool damaged = false;
    std::shared_ptr<media::PixelBuffer> image
        = videoConversion.convert(decoded, reduced, video->hardwarePixelFormat(), damaged);
    if (!image) {
        counted.damagedFrames += damaged ? 1 : 0;
        return;
    }
    pending.push_back(VideoFrame { std::move(image), media::MediaTime::make(*time, 1'000'000) });
}

ReaderItem MediaFileReader::next()
{
    Impl& impl = *m_impl;
    for (;;) {
        if (impl.stop.load())
            return EndOfFile {};
        if (!impl.pending.empty()) {
            ReaderItem item = std::move(impl.pending.front());
            impl.pending.pop_front();
            return item;
        }
        if (impl.finished)
            return EndOfFile {};
        DecodeThread::Decoded decoded = impl.decoding->take();
        switch (decoded.kind) {
        case DecodeThread::Decoded::Kind::Picture:
            impl.emitVideo(decoded.frame.get(), decoded.reduced);
            break;
        case DecodeThread::Decoded::Kind::Sound:
            impl.pending.push_back(std::move(decoded.sound));
            break;
        case DecodeThread::Decoded::Kind::Note:
            impl.info.hardwareNote = decoded.text;
            impl.info.hardware.clear();
            break;
        case DecodeThread::Decoded::Kind::Failure:
            impl.finished = true;
            impl.pending.push_back(ReadFailure { decoded.text });
            break;
        case DecodeThread::Decoded::Kind::End:
            impl.finished = true;
            break;
        }
        impl.decoding->recycle(std::move(decoded.frame));
    }
}

} // namespace corvex::mediafile
