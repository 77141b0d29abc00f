#pragma once

// What the reader's parts share: owning pointers to FFmpeg's objects and its
// error texts. Private to the reader.

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/frame.h>
}

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace corvex::mediafile::detail {

inline constexpr AVRational kMicroseconds { 1, 1'000'000 };

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
struct BufferUnref {
    void operator()(AVBufferRef* buffer) const { av_buffer_unref(&buffer); }
};

using FormatPtr = std::unique_ptr<AVFormatContext, FormatCloser>;
using CodecPtr = std::unique_ptr<AVCodecContext, CodecCloser>;
using FramePtr = std::unique_ptr<AVFrame, FrameFree>;
using PacketPtr = std::unique_ptr<AVPacket, PacketFree>;
using BufferPtr = std::unique_ptr<AVBufferRef, BufferUnref>;

inline std::string errorText(int code)
{
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return text;
}

/// A frame's presentation time in microseconds from `startMicroseconds`, if it has one.
inline std::optional<std::int64_t> frameMicroseconds(
    const AVFrame* decoded, const AVStream* stream, std::int64_t startMicroseconds)
{
    const std::int64_t pts
        = decoded->best_effort_timestamp != AV_NOPTS_VALUE ? decoded->best_effort_timestamp : decoded->pts;
    if (pts == AV_NOPTS_VALUE)
        return std::nullopt;
    return av_rescale_q(pts, stream->time_base, kMicroseconds) - startMicroseconds;
}

/// Whether the decoder says it concealed damage in the frame.
inline bool frameIsDamaged(const AVFrame* decoded)
{
    return decoded->decode_error_flags != 0 || (decoded->flags & AV_FRAME_FLAG_CORRUPT) != 0;
}

} // namespace corvex::mediafile::detail
