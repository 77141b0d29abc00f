#include "platform/mediafile/video_decoder.h"

extern "C" {
#include <libavutil/hwcontext.h>
}

#include <algorithm>
#include <cstdint>
#include <thread>

namespace corvex::mediafile::detail {

namespace {

AVPixelFormat chooseHardwareFormat(AVCodecContext* context, const AVPixelFormat* formats)
{
    const auto wanted = static_cast<AVPixelFormat>(reinterpret_cast<std::intptr_t>(context->opaque));
    for (const AVPixelFormat* format = formats; *format != AV_PIX_FMT_NONE; ++format)
        if (*format == wanted)
            return *format;
    // The hardware cannot take this stream: let the decoder fall back to software.
    return avcodec_default_get_format(context, formats);
}

// Pictures at most this large (64 x 64) are decoded without threads.
constexpr std::int64_t kTinyPicturePixels = 64 * 64;

} // namespace

VideoDecoder::VideoDecoder(const AVCodec* codec, AVStream* stream, const ReaderOptions& options)
    : m_codec(codec)
    , m_stream(stream)
    , m_options(options)
{
}

bool VideoDecoder::open(bool useHardware)
{
    m_context.reset(avcodec_alloc_context3(m_codec));
    if (!m_context)
        return false;
    AVCodecContext* video = m_context.get();
    if (avcodec_parameters_to_context(video, m_stream->codecpar) < 0)
        return false;
    video->pkt_timebase = m_stream->time_base;
    // One thread per core: the decoder's own choice is one more, which on a
    // small machine only adds a picture in flight (memory) to our two threads.
    // A picture of a few thousand pixels decodes in microseconds, less than
    // handing it between threads costs: such a film is decoded on one.
    const bool tiny = static_cast<std::int64_t>(video->width) * video->height <= kTinyPicturePixels;
    video->thread_count = m_options.threads > 0 ? m_options.threads
        : tiny                                   ? 1
                 : static_cast<int>(std::clamp(std::thread::hardware_concurrency(), 1u, 16u));
    // Frame threads overlap whole frames; slice threads help files coded in slices.
    video->thread_type = FF_THREAD_FRAME | FF_THREAD_SLICE;
    // Only on frames that nothing is predicted from, so the error cannot build up.
    if (m_options.fastDecoding) {
        video->skip_loop_filter = AVDISCARD_NONREF;
        video->flags2 |= AV_CODEC_FLAG2_FAST;
    }
    if (useHardware && m_device) {
        video->hw_device_ctx = av_buffer_ref(m_device.get());
        video->opaque = reinterpret_cast<void*>(static_cast<std::intptr_t>(m_hardwarePixelFormat));
        video->get_format = chooseHardwareFormat;
    }
    m_usingHardware = useHardware && m_device;
    return avcodec_open2(video, m_codec, nullptr) >= 0;
}

bool VideoDecoder::openBest(std::string& note)
{
    if (open(!m_hardware.empty()))
        return true;
    if (m_hardware.empty() || !open(false))
        return false;
    note = "the " + m_hardware + " decoder would not open; decoding in software";
    m_hardware.clear();
    m_device.reset();
    return true;
}

// On the decoding thread: the reader's info belongs to its caller, who learns
// of the change through the note.
std::string VideoDecoder::fallBackToSoftware(const std::string& why, bool& failed)
{
    const char* device = av_hwdevice_get_type_name(reinterpret_cast<const AVHWDeviceContext*>(m_device->data)->type);
    const std::string note
        = std::string("hardware decoding (") + (device ? device : "?") + ") failed: " + why + "; decoding in software";
    m_device.reset();
    failed = !open(false);
    return note;
}

std::string VideoDecoder::tryHardware(const std::string& codecName)
{
    const std::string& wanted = m_options.hardware;
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
        const AVCodecHWConfig* config = avcodec_get_hw_config(m_codec, i);
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
            : "the " + codecName + " decoder cannot use " + typeName + " hardware; decoding in software";
    AVBufferRef* device = nullptr;
    const int status = av_hwdevice_ctx_create(&device, type, nullptr, nullptr, 0);
    if (status < 0) {
        // Not finding acceleration is the usual case on machines without a
        // GPU; only a device the author asked for by name is worth a note.
        return wanted == "auto"
            ? std::string()
            : "no " + typeName + " hardware decoder here (" + errorText(status) + "); decoding in software";
    }
    m_device.reset(device);
    m_hardwarePixelFormat = pixelFormat;
    m_hardware = typeName;
    return {};
}

} // namespace corvex::mediafile::detail
