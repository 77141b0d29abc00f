#include "platform/mediafile/media_file_reader.h"

#include "platform/mediafile/plane_average.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/hwcontext.h>
#include <libavutil/imgutils.h>
#include <libavutil/log.h>
#include <libavutil/opt.h>
#include <libavutil/pixdesc.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>

namespace corvex::mediafile {

namespace {

constexpr AVRational kMicroseconds { 1, 1'000'000 };
// A file that yields nothing but read errors this many times in a row is not going to recover.
constexpr int kMaxConsecutiveReadErrors = 1000;
// Decoded pictures waiting for their conversion: enough to keep the decoder
// busy while the reader's caller works, within a memory budget (a 4K picture
// is 12 MB), but never fewer than two so that the two sides overlap.
constexpr std::size_t kQueuedPictureBytes = 32u << 20;
constexpr int kMinQueuedPictures = 2;
constexpr int kMaxQueuedPictures = 4;
// Everything waiting (pictures and blocks of sound), at most.
constexpr std::size_t kMaxQueued = 64;

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

std::string errorText(int code)
{
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return text;
}

struct FormatCloser {
    void operator()(AVFormatContext* context) const { avformat_close_input(&context); }
};
struct CodecCloser {
    void operator()(AVCodecContext* context) const { avcodec_free_context(&context); }
};
struct FrameFree {
    void operator()(AVFrame* frame) const { av_frame_free(&frame); }
};
struct PacketFree {
    void operator()(AVPacket* packet) const { av_packet_free(&packet); }
};
struct SwsFree {
    void operator()(SwsContext* context) const { sws_freeContext(context); }
};
struct SwrFree {
    void operator()(SwrContext* context) const { swr_free(&context); }
};
struct BufferUnref {
    void operator()(AVBufferRef* buffer) const { av_buffer_unref(&buffer); }
};

using FormatPtr = std::unique_ptr<AVFormatContext, FormatCloser>;
using CodecPtr = std::unique_ptr<AVCodecContext, CodecCloser>;
using FramePtr = std::unique_ptr<AVFrame, FrameFree>;
using PacketPtr = std::unique_ptr<AVPacket, PacketFree>;

const char* mediaTypeName(AVMediaType type)
{
    const char* name = av_get_media_type_string(type);
    return name ? name : "unknown";
}

AVPixelFormat chooseHardwareFormat(AVCodecContext* context, const AVPixelFormat* formats)
{
    const auto wanted = static_cast<AVPixelFormat>(reinterpret_cast<std::intptr_t>(context->opaque));
    for (const AVPixelFormat* format = formats; *format != AV_PIX_FMT_NONE; ++format)
        if (*format == wanted)
            return *format;
    // The hardware cannot take this stream: let the decoder fall back to software.
    return avcodec_default_get_format(context, formats);
}

} // namespace

struct MediaFileReader::Impl {
    ReaderOptions options;
    MediaFileInfo info;
    FormatPtr format;
    const AVCodec* videoDecoder = nullptr;
    CodecPtr video;
    CodecPtr audio;
    std::unique_ptr<AVBufferRef, BufferUnref> hardwareDevice;
    AVPixelFormat hardwarePixelFormat = AV_PIX_FMT_NONE;
    AVStream* videoStream = nullptr;
    AVStream* audioStream = nullptr;
    std::int64_t startMicroseconds = 0;

    std::atomic<bool> stop { false };
    int errorLinesAtStart = 0;

    // Demultiplexing and decoding run on a thread of their own, so that the
    // decoder is fed while the caller converts and analyses the pictures it
    // already has. The thread hands decoded frames over through `queue`.
    struct Decoded {
        enum class Kind { Picture, Sound, Note, End, Failure };
        Kind kind = Kind::End;
        FramePtr frame; // Picture, Sound
        std::string text; // Note (decoding moved to software), Failure
    };
    std::thread decoder;
    std::mutex mutex;
    std::condition_variable changed;
    // Guarded by `mutex`.
    std::deque<Decoded> queue;
    int queuedPictures = 0;
    int maxQueuedPictures = kMaxQueuedPictures;
    bool quit = false;
    int damagedPackets = 0;

    // The decoding thread's own (while it runs; the caller's otherwise).
    PacketPtr packet { av_packet_alloc() };
    FramePtr frame { av_frame_alloc() };
    int consecutiveReadErrors = 0;
    bool usingHardware = false;
    bool decoderFailed = false;
    std::int64_t picturesDecoded = 0;

    // The caller's (next(), seek(), damage()).
    FramePtr softwareFrame { av_frame_alloc() };
    std::deque<ReaderItem> pending;
    bool finished = false;
    DamageReport damage;

    std::unique_ptr<SwsContext, SwsFree> scaler;
    int scalerKey[7] = {};
    // The picture averaged down in its own planes before colour conversion.
    FramePtr reduced { av_frame_alloc() };
    std::vector<std::uint16_t> rowSums;

    /// Averages `source` down by whole blocks into `reduced` (planar 4:4:4);
    /// false when its layout does not allow it or it is already small.
    bool reduce(const AVFrame* source);
    std::unique_ptr<SwrContext, SwrFree> resampler;
    int resamplerFormat = -1;
    int resamplerRate = 0;
    AVChannelLayout resamplerLayout {};
    std::optional<std::int64_t> nextAudioMicroseconds;

    ~Impl()
    {
        stopDecoding();
        av_channel_layout_uninit(&resamplerLayout);
    }

    bool openVideoDecoder(bool useHardware);
    // The decoding thread.
    void decodeFile();
    void decode(AVCodecContext* codec, const AVPacket* packet);
    /// Waits for room in the queue; false when the thread is to quit.
    bool hand(Decoded item);
    void countDamagedPacket();
    // The caller's side.
    Decoded take();
    void stopDecoding();
    void emitVideo(AVFrame* decoded);
    void emitAudio(AVFrame* decoded);
    std::optional<std::int64_t> microseconds(const AVFrame* decoded, const AVStream* stream) const;
    void countDamage(const AVFrame* decoded);
    void fallBackToSoftware(const std::string& why);
    std::string tryHardware();
};

bool MediaFileReader::Impl::openVideoDecoder(bool useHardware)
{
    video.reset(avcodec_alloc_context3(videoDecoder));
    if (!video)
        return false;
    if (avcodec_parameters_to_context(video.get(), videoStream->codecpar) < 0)
        return false;
    video->pkt_timebase = videoStream->time_base;
    // One thread per core: the decoder's own choice is one more, which on a
    // small machine only adds a picture in flight (memory) to our two threads.
    video->thread_count = options.threads > 0
        ? options.threads
        : static_cast<int>(std::clamp(std::thread::hardware_concurrency(), 1u, 16u));
    // Frame threads overlap whole frames; slice threads help files coded in slices.
    video->thread_type = FF_THREAD_FRAME | FF_THREAD_SLICE;
    // Only on frames that nothing is predicted from, so the error cannot build up.
    if (options.fastDecoding) {
        video->skip_loop_filter = AVDISCARD_NONREF;
        video->flags2 |= AV_CODEC_FLAG2_FAST;
    }
    if (useHardware && hardwareDevice) {
        video->hw_device_ctx = av_buffer_ref(hardwareDevice.get());
        video->opaque = reinterpret_cast<void*>(static_cast<std::intptr_t>(hardwarePixelFormat));
        video->get_format = chooseHardwareFormat;
    }
    return avcodec_open2(video.get(), videoDecoder, nullptr) >= 0;
}

// On the decoding thread: `info` belongs to the caller, who learns of the
// change through a note in the queue.
void MediaFileReader::Impl::fallBackToSoftware(const std::string& why)
{
    const char* device
        = av_hwdevice_get_type_name(reinterpret_cast<const AVHWDeviceContext*>(hardwareDevice->data)->type);
    usingHardware = false;
    hardwareDevice.reset();
    hand({ Decoded::Kind::Note, nullptr,
        std::string("hardware decoding (") + (device ? device : "?") + ") failed: " + why + "; decoding in software" });
    if (!openVideoDecoder(false)) {
        decoderFailed = true;
        hand({ Decoded::Kind::Failure, nullptr,
            "the software video decoder would not open after the hardware decoder failed" });
    }
}

std::string MediaFileReader::Impl::tryHardware()
{
    Impl& impl = *this;
    const std::string& wanted = impl.options.hardware;
    if (wanted == "none" || wanted.empty())
        return {};
    // "auto" means the common Linux interface; others are tried only on request,
    // since their loaders print to the terminal when no driver is there.
    const std::string typeName = wanted == "auto" ? "vaapi" : wanted;
    const AVHWDeviceType type = av_hwdevice_find_type_by_name(typeName.c_str());
    if (type == AV_HWDEVICE_TYPE_NONE)
        return "hardware decoding '" + typeName + "' is unknown to this FFmpeg; decoding in software";
    AVPixelFormat pixelFormat = AV_PIX_FMT_NONE;
    for (int i = 0;; ++i) {
        const AVCodecHWConfig* config = avcodec_get_hw_config(impl.videoDecoder, i);
        if (config == nullptr)
            break;
        if ((config->methods & AV_CODEC_HW_CONFIG_METHOD_HW_DEVICE_CTX) != 0 && config->device_type == type) {
            pixelFormat = config->pix_fmt;
            break;
        }
    }
    if (pixelFormat == AV_PIX_FMT_NONE)
        return wanted == "auto"
            ? std::string()
            : "the " + impl.info.videoCodec + " decoder cannot use " + typeName + " hardware; decoding in software";
    AVBufferRef* device = nullptr;
    const int status = av_hwdevice_ctx_create(&device, type, nullptr, nullptr, 0);
    if (status < 0) {
        const std::string note
            = "no " + typeName + " hardware decoder here (" + errorText(status) + "); decoding in software";
        // Not finding acceleration is the usual case on machines without a
        // GPU; only a device the author asked for by name is worth a note.
        return wanted == "auto" ? std::string() : note;
    }
    impl.hardwareDevice.reset(device);
    impl.hardwarePixelFormat = pixelFormat;
    impl.info.hardware = typeName;
    return {};
}

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
    OpenResult result;
    result.error = error;
    result.message = std::move(message);
    return result;
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

    auto impl = std::make_unique<Impl>();
    impl->options = options;
    impl->errorLinesAtStart = g_decoderErrorLines.load();

    AVFormatContext* rawFormat = nullptr;
    if (const int code = avformat_open_input(&rawFormat, path.c_str(), nullptr, nullptr); code < 0) {
        if (code == AVERROR(EACCES) || code == AVERROR(ENOENT))
            return failure(OpenError::Missing, path + ": " + errorText(code));
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
    impl->videoDecoder = avcodec_find_decoder(videoParameters->codec_id);
    if (impl->videoDecoder == nullptr)
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

    impl->info.hardwareNote = impl->tryHardware();
    if (!impl->openVideoDecoder(!impl->info.hardware.empty())) {
        if (impl->info.hardware.empty() || !impl->openVideoDecoder(false))
            return failure(OpenError::DecoderFailed,
                path + ": the " + impl->info.videoCodec + " decoder would not open; the video may be damaged");
        impl->info.hardwareNote = "the " + impl->info.hardware + " decoder would not open; decoding in software";
        impl->info.hardware.clear();
        impl->hardwareDevice.reset();
    }
    impl->usingHardware = !impl->info.hardware.empty();
    const std::size_t pictureBytes = std::size_t(width) * std::size_t(height) * 3 / 2;
    impl->maxQueuedPictures = static_cast<int>(std::clamp<std::size_t>(
        kQueuedPictureBytes / std::max<std::size_t>(pictureBytes, 1), kMinQueuedPictures, kMaxQueuedPictures));

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

    if (!impl->packet || !impl->frame || !impl->softwareFrame)
        return failure(OpenError::DecoderFailed, "out of memory while opening " + path);
    OpenResult result;
    result.reader.reset(new MediaFileReader(std::move(impl)));
    return result;
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
    {
        std::lock_guard lock(m_impl->mutex);
        m_impl->damage.damagedPackets = m_impl->damagedPackets;
    }
    // Lines a decoder logged as errors stand for damage it concealed.
    m_impl->damage.damagedFrames
        = std::max(m_impl->damage.damagedFrames, g_decoderErrorLines.load() - m_impl->errorLinesAtStart);
    return m_impl->damage;
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
    impl.stopDecoding();
    const std::int64_t target = impl.startMicroseconds + static_cast<std::int64_t>(seconds * 1e6);
    if (avformat_seek_file(impl.format.get(), -1, INT64_MIN, target, target, 0) < 0)
        return false;
    avcodec_flush_buffers(impl.video.get());
    if (impl.audio)
        avcodec_flush_buffers(impl.audio.get());
    impl.pending.clear();
    impl.finished = false;
    impl.consecutiveReadErrors = 0;
    impl.nextAudioMicroseconds.reset();
    return true;
}

std::optional<std::int64_t> MediaFileReader::Impl::microseconds(const AVFrame* decoded, const AVStream* stream) const
{
    const std::int64_t pts
        = decoded->best_effort_timestamp != AV_NOPTS_VALUE ? decoded->best_effort_timestamp : decoded->pts;
    if (pts == AV_NOPTS_VALUE)
        return std::nullopt;
    return av_rescale_q(pts, stream->time_base, kMicroseconds) - startMicroseconds;
}

void MediaFileReader::Impl::countDamage(const AVFrame* decoded)
{
    if (decoded->decode_error_flags != 0 || (decoded->flags & AV_FRAME_FLAG_CORRUPT) != 0)
        ++damage.damagedFrames;
}

void MediaFileReader::Impl::emitVideo(AVFrame* decoded)
{
    countDamage(decoded);
    const std::optional<std::int64_t> time = microseconds(decoded, videoStream);
    if (!time) {
        ++damage.framesWithoutTime;
        return;
    }
    AVFrame* source = decoded;
    if (hardwarePixelFormat != AV_PIX_FMT_NONE && decoded->format == hardwarePixelFormat) {
        av_frame_unref(softwareFrame.get());
        if (av_hwframe_transfer_data(softwareFrame.get(), decoded, 0) < 0) {
            ++damage.damagedFrames;
            return;
        }
        source = softwareFrame.get();
    }
    if (source->width <= 0 || source->height <= 0 || source->width > kMaxPictureSize
        || source->height > kMaxPictureSize) {
        ++damage.damagedFrames;
        return;
    }
    // Players show HD pictures without colour information with BT.709 colours
    // and SD ones with BT.601; we do the same so the lights match what is seen.
    int colourSpace = source->colorspace;
    if (colourSpace == AVCOL_SPC_UNSPECIFIED || colourSpace == AVCOL_SPC_RESERVED)
        colourSpace = source->height >= 720 ? AVCOL_SPC_BT709 : AVCOL_SPC_BT470BG;
    const int fullRange = source->color_range == AVCOL_RANGE_JPEG ? 1 : 0;
    // Most films are 8-bit planar YUV: averaged in their own planes first, the
    // general scaler then only converts a picture of about the output's size.
    if (reduce(source)) {
        source = reduced.get();
        // Already the size handed out: only its colours are left to convert.
        if (source->width == info.frameWidth && source->height == info.frameHeight) {
            auto [image, status]
                = media::PixelBuffer::create(info.frameWidth, info.frameHeight, media::PixelFormat::BGRA);
            if (!image)
                return;
            const std::uint8_t* const planes[3] = { source->data[0], source->data[1], source->data[2] };
            yuv444ToBgra(planes, source->linesize, source->width, source->height, sws_getCoefficients(colourSpace),
                fullRange != 0, image->baseAddress(), static_cast<int>(image->bytesPerRow()));
            damage.lastTimeSeconds = std::max(damage.lastTimeSeconds, static_cast<double>(*time) / 1e6);
            pending.push_back(VideoFrame { std::move(image), media::MediaTime::make(*time, 1'000'000) });
            return;
        }
    }
    const int key[7]
        = { source->width, source->height, source->format, colourSpace, fullRange, info.frameWidth, info.frameHeight };
    if (!scaler || !std::equal(std::begin(key), std::end(key), std::begin(scalerKey))) {
        scaler.reset(sws_getContext(source->width, source->height, static_cast<AVPixelFormat>(source->format),
            info.frameWidth, info.frameHeight, AV_PIX_FMT_BGRA, SWS_AREA, nullptr, nullptr, nullptr));
        if (!scaler) {
            ++damage.damagedFrames;
            return;
        }
        const int* coefficients = sws_getCoefficients(colourSpace);
        sws_setColorspaceDetails(
            scaler.get(), coefficients, fullRange, sws_getCoefficients(SWS_CS_DEFAULT), 1, 0, 1 << 16, 1 << 16);
        std::copy(std::begin(key), std::end(key), std::begin(scalerKey));
    }
    auto [image, status] = media::PixelBuffer::create(info.frameWidth, info.frameHeight, media::PixelFormat::BGRA);
    if (!image)
        return;
    std::uint8_t* planes[4] = { image->baseAddress(), nullptr, nullptr, nullptr };
    const int strides[4] = { static_cast<int>(image->bytesPerRow()), 0, 0, 0 };
    sws_scale(scaler.get(), source->data, source->linesize, 0, source->height, planes, strides);
    damage.lastTimeSeconds = std::max(damage.lastTimeSeconds, static_cast<double>(*time) / 1e6);
    pending.push_back(VideoFrame { std::move(image), media::MediaTime::make(*time, 1'000'000) });
}

bool MediaFileReader::Impl::reduce(const AVFrame* source)
{
    if (!options.boxAverage)
        return false;
    const AVPixFmtDescriptor* layout = av_pix_fmt_desc_get(static_cast<AVPixelFormat>(source->format));
    if (layout == nullptr || layout->nb_components != 3 || (layout->flags & AV_PIX_FMT_FLAG_PLANAR) == 0
        || (layout->flags & (AV_PIX_FMT_FLAG_RGB | AV_PIX_FMT_FLAG_HWACCEL | AV_PIX_FMT_FLAG_PAL)) != 0)
        return false;
    for (int c = 0; c < 3; ++c)
        if (layout->comp[c].depth != 8 || layout->comp[c].plane != c || layout->comp[c].step != 1)
            return false;
    // Stored pixels per output pixel, on each axis, in whole even blocks so
    // that the chroma planes average over whole blocks too. The reduced
    // picture is 4:4:4: keeping the source's 4:2:0 would let the scaler
    // convert it faster, but chroma averaged over twice the area, then
    // converted, moves cells by up to 9 on grainy saturated colours.
    const double storedWidth = double(info.frameWidth) * source->width / info.displayWidth;
    const double storedHeight = double(info.frameHeight) * source->height / info.displayHeight;
    const int chromaX = 1 << layout->log2_chroma_w;
    const int chromaY = 1 << layout->log2_chroma_h;
    const int factorX = static_cast<int>(source->width / storedWidth) / chromaX * chromaX;
    const int factorY = static_cast<int>(source->height / storedHeight) / chromaY * chromaY;
    if (factorX < 2 || factorY < 2 || factorY > 256 || factorX > kMaxBlockWidth)
        return false;
    const int width = source->width / factorX;
    const int height = source->height / factorY;
    if (reduced->width != width || reduced->height != height) {
        av_frame_unref(reduced.get());
        reduced->format = AV_PIX_FMT_YUV444P;
        reduced->width = width;
        reduced->height = height;
        if (av_frame_get_buffer(reduced.get(), 0) < 0) {
            av_frame_unref(reduced.get());
            return false;
        }
    }
    for (int c = 0; c < 3; ++c) {
        const int fx = c == 0 ? factorX : factorX / chromaX;
        const int fy = c == 0 ? factorY : factorY / chromaY;
        const int planeWidth = c == 0 ? source->width : AV_CEIL_RSHIFT(source->width, layout->log2_chroma_w);
        const int planeHeight = c == 0 ? source->height : AV_CEIL_RSHIFT(source->height, layout->log2_chroma_h);
        boxAverage(source->data[c], source->linesize[c], std::min(planeWidth, width * fx),
            std::min(planeHeight, height * fy), fx, fy, reduced->data[c], reduced->linesize[c], rowSums);
    }
    return true;
}

void MediaFileReader::Impl::emitAudio(AVFrame* decoded)
{
    countDamage(decoded);
    if (decoded->nb_samples <= 0 || decoded->sample_rate <= 0 || decoded->ch_layout.nb_channels <= 0)
        return;
    std::optional<std::int64_t> time = microseconds(decoded, audioStream);
    // Sound without a time follows on from the block before it.
    if (!time)
        time = nextAudioMicroseconds;
    if (!time) {
        ++damage.framesWithoutTime;
        return;
    }
    const int channels = decoded->ch_layout.nb_channels;
    AudioBlock block;
    block.sampleRate = decoded->sample_rate;
    block.time = media::MediaTime::make(*time, 1'000'000);
    block.channels.assign(static_cast<std::size_t>(channels), std::vector<float>(std::size_t(decoded->nb_samples)));
    if (decoded->format == AV_SAMPLE_FMT_FLTP) {
        for (int c = 0; c < channels; ++c)
            std::memcpy(block.channels[std::size_t(c)].data(), decoded->extended_data[c],
                sizeof(float) * std::size_t(decoded->nb_samples));
    } else {
        if (!resampler || resamplerFormat != decoded->format || resamplerRate != decoded->sample_rate
            || av_channel_layout_compare(&resamplerLayout, &decoded->ch_layout) != 0) {
            SwrContext* context = nullptr;
            if (swr_alloc_set_opts2(&context, &decoded->ch_layout, AV_SAMPLE_FMT_FLTP, decoded->sample_rate,
                    &decoded->ch_layout, static_cast<AVSampleFormat>(decoded->format), decoded->sample_rate, 0, nullptr)
                    < 0
                || swr_init(context) < 0) {
                swr_free(&context);
                ++damage.damagedFrames;
                return;
            }
            resampler.reset(context);
            resamplerFormat = decoded->format;
            resamplerRate = decoded->sample_rate;
            av_channel_layout_uninit(&resamplerLayout);
            av_channel_layout_copy(&resamplerLayout, &decoded->ch_layout);
        }
        std::vector<std::uint8_t*> outputs(static_cast<std::size_t>(channels));
        for (int c = 0; c < channels; ++c)
            outputs[std::size_t(c)] = reinterpret_cast<std::uint8_t*>(block.channels[std::size_t(c)].data());
        const int converted = swr_convert(resampler.get(), outputs.data(), decoded->nb_samples,
            const_cast<const std::uint8_t**>(decoded->extended_data), decoded->nb_samples);
        if (converted < 0) {
            ++damage.damagedFrames;
            return;
        }
        for (auto& channel : block.channels)
            channel.resize(std::size_t(converted));
    }
    nextAudioMicroseconds = *time + av_rescale(decoded->nb_samples, 1'000'000, decoded->sample_rate);
    damage.lastTimeSeconds = std::max(damage.lastTimeSeconds, static_cast<double>(*time) / 1e6);
    pending.push_back(std::move(block));
}

void MediaFileReader::Impl::countDamagedPacket()
{
    std::lock_guard lock(mutex);
    ++damagedPackets;
}

bool MediaFileReader::Impl::hand(Decoded item)
{
    std::unique_lock lock(mutex);
    const bool picture = item.kind == Decoded::Kind::Picture;
    // Notes and the end always fit: they come once and carry no picture.
    const bool bounded = item.kind == Decoded::Kind::Picture || item.kind == Decoded::Kind::Sound;
    changed.wait(lock, [&] {
        return quit || !bounded || (queue.size() < kMaxQueued && (!picture || queuedPictures < maxQueuedPictures));
    });
    if (quit)
        return false;
    queuedPictures += picture ? 1 : 0;
    queue.push_back(std::move(item));
    changed.notify_all();
    return true;
}

void MediaFileReader::Impl::decode(AVCodecContext* codec, const AVPacket* input)
{
    const bool isVideo = codec == video.get();
    const int sent = avcodec_send_packet(codec, input);
    if (sent < 0 && sent != AVERROR(EAGAIN) && sent != AVERROR_EOF) {
        if (isVideo && usingHardware && picturesDecoded == 0) {
            fallBackToSoftware(errorText(sent));
            return;
        }
        countDamagedPacket();
    }
    for (;;) {
        const int received = avcodec_receive_frame(codec, frame.get());
        if (received == AVERROR(EAGAIN) || received == AVERROR_EOF)
            return;
        if (received < 0) {
            countDamagedPacket();
            return;
        }
        FramePtr decoded { av_frame_alloc() };
        if (!decoded) {
            av_frame_unref(frame.get());
            countDamagedPacket();
            continue;
        }
        av_frame_move_ref(decoded.get(), frame.get());
        picturesDecoded += isVideo ? 1 : 0;
        if (!hand({ isVideo ? Decoded::Kind::Picture : Decoded::Kind::Sound, std::move(decoded), {} }))
            return;
    }
}

void MediaFileReader::Impl::decodeFile()
{
    const auto quitting = [this] {
        std::lock_guard lock(mutex);
        return quit;
    };
    while (!quitting() && !decoderFailed) {
        if (stop.load()) {
            hand({ Decoded::Kind::End, nullptr, {} });
            return;
        }
        const int status = av_read_frame(format.get(), packet.get());
        if (status == AVERROR_EOF || (status < 0 && avio_feof(format->pb))) {
            // Whatever the decoders still hold comes out now.
            decode(video.get(), nullptr);
            if (audio)
                decode(audio.get(), nullptr);
            hand({ Decoded::Kind::End, nullptr, {} });
            return;
        }
        if (status < 0) {
            if (status == AVERROR_INVALIDDATA && ++consecutiveReadErrors < kMaxConsecutiveReadErrors) {
                countDamagedPacket();
                continue;
            }
            hand({ Decoded::Kind::Failure, nullptr, "reading the file failed: " + errorText(status) });
            return;
        }
        consecutiveReadErrors = 0;
        if ((packet->flags & AV_PKT_FLAG_CORRUPT) != 0)
            countDamagedPacket();
        if (packet->stream_index == videoStream->index)
            decode(video.get(), packet.get());
        else if (audioStream && packet->stream_index == audioStream->index)
            decode(audio.get(), packet.get());
        av_packet_unref(packet.get());
    }
    av_packet_unref(packet.get());
}

MediaFileReader::Impl::Decoded MediaFileReader::Impl::take()
{
    std::unique_lock lock(mutex);
    if (!decoder.joinable()) {
        quit = false;
        decoder = std::thread([this] { decodeFile(); });
    }
    changed.wait(lock, [this] { return !queue.empty(); });
    Decoded item = std::move(queue.front());
    queue.pop_front();
    queuedPictures -= item.kind == Decoded::Kind::Picture ? 1 : 0;
    changed.notify_all();
    return item;
}

void MediaFileReader::Impl::stopDecoding()
{
    {
        std::lock_guard lock(mutex);
        quit = true;
        changed.notify_all();
    }
    if (decoder.joinable())
        decoder.join();
    std::lock_guard lock(mutex);
    queue.clear();
    queuedPictures = 0;
    quit = false;
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
        Impl::Decoded decoded = impl.take();
        switch (decoded.kind) {
        case Impl::Decoded::Kind::Picture:
            impl.emitVideo(decoded.frame.get());
            break;
        case Impl::Decoded::Kind::Sound:
            impl.emitAudio(decoded.frame.get());
            break;
        case Impl::Decoded::Kind::Note:
            impl.info.hardwareNote = decoded.text;
            impl.info.hardware.clear();
            break;
        case Impl::Decoded::Kind::Failure:
            impl.finished = true;
            impl.pending.push_back(ReadFailure { decoded.text });
            break;
        case Impl::Decoded::Kind::End:
            impl.finished = true;
            break;
        }
    }
}

} // namespace corvex::mediafile
