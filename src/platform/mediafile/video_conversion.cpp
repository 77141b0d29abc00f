#include "platform/mediafile/video_conversion.h"

#include "platform/mediafile/plane_average.h"

extern "C" {
#include <libavutil/hwcontext.h>
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

#include <algorithm>
#include <iterator>

namespace corvex::mediafile::detail {

namespace {

bool validSize(const AVFrame* picture)
{
    return picture->width > 0 && picture->height > 0 && picture->width <= kMaxPictureSize
        && picture->height <= kMaxPictureSize;
}

// Players show HD pictures without colour information with BT.709 colours
// and SD ones with BT.601; we do the same so the lights match what is seen.
int colourSpaceOf(const AVFrame* picture)
{
    const int colourSpace = picture->colorspace;
    if (colourSpace == AVCOL_SPC_UNSPECIFIED || colourSpace == AVCOL_SPC_RESERVED)
        return picture->height >= 720 ? AVCOL_SPC_BT709 : AVCOL_SPC_BT470BG;
    return colourSpace;
}

} // namespace

PictureReduction::PictureReduction(const MediaFileInfo& info, bool boxAverage, AVPixelFormat hardwareFormat)
    : m_info(info)
    , m_boxAverage(boxAverage)
    , m_hardwareFormat(hardwareFormat)
{
}

FramePtr PictureReduction::reduce(FramePtr decoded, bool& reduced)
{
    reduced = false;
    if (!m_boxAverage)
        return decoded;
    const AVFrame* source = decoded.get();
    FramePtr software;
    if (m_hardwareFormat != AV_PIX_FMT_NONE && decoded->format == m_hardwareFormat) {
        software.reset(av_frame_alloc());
        if (!software || av_hwframe_transfer_data(software.get(), decoded.get(), 0) < 0)
            return decoded;
        source = software.get();
    }
    FramePtr small { av_frame_alloc() };
    if (!small || !validSize(source) || !averageInto(source, small.get()))
        return decoded;
    av_frame_copy_props(small.get(), decoded.get());
    small->colorspace = static_cast<AVColorSpace>(colourSpaceOf(source));
    small->color_range = source->color_range;
    reduced = true;
    return small;
}

VideoConversion::VideoConversion(const MediaFileInfo& info)
    : m_info(info)
{
}

VideoConversion::~VideoConversion()
{
    sws_freeContext(m_scaler);
}

std::shared_ptr<media::PixelBuffer> VideoConversion::convert(
    AVFrame* picture, bool reduced, AVPixelFormat hardwareFormat, bool& damaged)
{
    damaged = true;
    AVFrame* source = picture;
    if (hardwareFormat != AV_PIX_FMT_NONE && picture->format == hardwareFormat) {
        av_frame_unref(m_softwareFrame.get());
        if (!m_softwareFrame || av_hwframe_transfer_data(m_softwareFrame.get(), picture, 0) < 0)
            return nullptr;
        source = m_softwareFrame.get();
    }
    if (!validSize(source))
        return nullptr;
    const int width = m_info.frameWidth;
    const int height = m_info.frameHeight;
    const int colourSpace = colourSpaceOf(source);
    const int fullRange = source->color_range == AVCOL_RANGE_JPEG ? 1 : 0;
    // Already the size handed out: only its colours are left to convert.
    if (reduced && source->width == width && source->height == height) {
        damaged = false;
        auto [image, status] = media::PixelBuffer::create(width, height, media::PixelFormat::BGRA);
        if (!image)
            return nullptr;
        const std::uint8_t* const planes[3] = { source->data[0], source->data[1], source->data[2] };
        yuv444ToBgra(planes, source->linesize, width, height, sws_getCoefficients(colourSpace), fullRange != 0,
            image->baseAddress(), static_cast<int>(image->bytesPerRow()));
        return std::move(image);
    }
    const int key[7] = { source->width, source->height, source->format, colourSpace, fullRange, width, height };
    if (!m_scaler || !std::equal(std::begin(key), std::end(key), std::begin(m_scalerKey))) {
        sws_freeContext(m_scaler);
        m_scaler = sws_getContext(source->width, source->height, static_cast<AVPixelFormat>(source->format), width,
            height, AV_PIX_FMT_BGRA, SWS_AREA, nullptr, nullptr, nullptr);
        if (!m_scaler)
            return nullptr;
        sws_setColorspaceDetails(m_scaler, sws_getCoefficients(colourSpace), fullRange,
            sws_getCoefficients(SWS_CS_DEFAULT), 1, 0, 1 << 16, 1 << 16);
        std::copy(std::begin(key), std::end(key), std::begin(m_scalerKey));
    }
    damaged = false;
    auto [image, status] = media::PixelBuffer::create(width, height, media::PixelFormat::BGRA);
    if (!image)
        return nullptr;
    std::uint8_t* planes[4] = { image->baseAddress(), nullptr, nullptr, nullptr };
    const int strides[4] = { static_cast<int>(image->bytesPerRow()), 0, 0, 0 };
    sws_scale(m_scaler, source->data, source->linesize, 0, source->height, planes, strides);
    return std::move(image);
}

bool PictureReduction::averageInto(const AVFrame* source, AVFrame* reduced)
{
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
    const double storedWidth = double(m_info.frameWidth) * source->width / m_info.displayWidth;
    const double storedHeight = double(m_info.frameHeight) * source->height / m_info.displayHeight;
    const int chromaX = 1 << layout->log2_chroma_w;
    const int chromaY = 1 << layout->log2_chroma_h;
    const int factorX = static_cast<int>(source->width / storedWidth) / chromaX * chromaX;
    const int factorY = static_cast<int>(source->height / storedHeight) / chromaY * chromaY;
    if (factorX < 2 || factorY < 2 || factorY > 256 || factorX > kMaxBlockWidth)
        return false;
    const int width = source->width / factorX;
    const int height = source->height / factorY;
    reduced->format = AV_PIX_FMT_YUV444P;
    reduced->width = width;
    reduced->height = height;
    if (av_frame_get_buffer(reduced, 0) < 0)
        return false;
    for (int c = 0; c < 3; ++c) {
        const int fx = c == 0 ? factorX : factorX / chromaX;
        const int fy = c == 0 ? factorY : factorY / chromaY;
        const int planeWidth = c == 0 ? source->width : AV_CEIL_RSHIFT(source->width, layout->log2_chroma_w);
        const int planeHeight = c == 0 ? source->height : AV_CEIL_RSHIFT(source->height, layout->log2_chroma_h);
        boxAverage(source->data[c], source->linesize[c], std::min(planeWidth, width * fx),
            std::min(planeHeight, height * fy), fx, fy, reduced->data[c], reduced->linesize[c], m_rowSums);
    }
    return true;
}

} // namespace corvex::mediafile::detail
