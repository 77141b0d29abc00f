#pragma once

#include "platform/media/pixel_buffer.h"
#include "platform/mediafile/media_file_reader.h"
#include "platform/mediafile/reader_internals.h"

#include <cstdint>
#include <memory>
#include <vector>

struct SwsContext;

namespace corvex::mediafile::detail {

/// On the decoding thread: makes each decoded picture small before it waits
/// for its conversion, so that full-size pictures go back to the decoder at
/// once and what waits is a fraction of their size (a 4K picture is 12 MB).
/// 8-bit planar YUV pictures are averaged down by whole blocks in their own
/// planes; pictures decoded in hardware are fetched first.
class PictureReduction final {
public:
    /// `info` gives the shown size and the size handed out; it must outlive this.
    PictureReduction(const MediaFileInfo& info, bool boxAverage, AVPixelFormat hardwareFormat);

    /// The picture averaged down (a new planar 4:4:4 frame with the decoded
    /// one's time, flags and colours, its colour space settled), with
    /// `reduced` set; or the decoded picture itself when its layout does not
    /// allow that, it is already small, or it cannot be fetched from the
    /// hardware (its conversion then does all, and reports what fails).
    FramePtr reduce(FramePtr decoded, bool& reduced);

private:
    bool averageInto(const AVFrame* source, AVFrame* reduced);

    const MediaFileInfo& m_info;
    const bool m_boxAverage;
    const AVPixelFormat m_hardwareFormat;
    std::vector<std::uint16_t> m_rowSums;
};

/// On the caller's side: turns pictures into the BGRA frames the reader hands
/// out, at the size its info says: colours only for a reduced picture of that
/// size, otherwise converted and scaled by libswscale.
class VideoConversion final {
public:
    /// `info` gives the size handed out; it must outlive this.
    explicit VideoConversion(const MediaFileInfo& info);
    ~VideoConversion();
    VideoConversion(const VideoConversion&) = delete;
    VideoConversion& operator=(const VideoConversion&) = delete;

    /// The frame, or null: `damaged` tells a picture that cannot be converted
    /// from one that found no memory.
    std::shared_ptr<media::PixelBuffer> convert(
        AVFrame* picture, bool reduced, AVPixelFormat hardwareFormat, bool& damaged);

private:
    const MediaFileInfo& m_info;
    FramePtr m_softwareFrame { av_frame_alloc() };
    SwsContext* m_scaler = nullptr;
    int m_scalerKey[7] = {};
};

} // namespace corvex::mediafile::detail
