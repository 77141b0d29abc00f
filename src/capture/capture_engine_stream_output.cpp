#include "capture/capture_engine_stream_output.h"

#include "analysis/analysis_recorder.h"
#include "analysis/frame_sampler.h"
#include "analysis/pixel_buffer_resize.h"
#include "platform/media/pcm_buffer.h"

#include <QtGlobal>

namespace corvex::capture {

namespace {

constexpr int kRasterSize = 5;

} // namespace

CaptureEngineStreamOutput::CaptureEngineStreamOutput(
    analysis::AnalysisRecorder& recorder, std::shared_ptr<CapturedFrameContinuation> continuation)
    : m_recorder(recorder)
    , m_continuation(std::move(continuation))
{
}

void CaptureEngineStreamOutput::setCrop(const std::optional<media::Rect>& crop)
{
    std::lock_guard lock(m_cropMutex);
    m_crop = crop;
}

std::optional<media::Rect> CaptureEngineStreamOutput::crop() const
{
    std::lock_guard lock(m_cropMutex);
    return m_crop;
}

void CaptureEngineStreamOutput::didOutputSampleBuffer(
    const screencapture::SampleBuffer& sampleBuffer, screencapture::StreamOutputType type)
{
    if (!sampleBuffer.isValid)
        return;
    switch (type) {
    case screencapture::StreamOutputType::Screen:
        handleVideo(sampleBuffer);
        return;
    case screencapture::StreamOutputType::Audio:
        handleAudio(sampleBuffer);
        return;
    }
    qFatal("Encountered unknown stream output type: %d", static_cast<int>(type));
}

void CaptureEngineStreamOutput::handleVideo(const screencapture::SampleBuffer& sampleBuffer)
{
    const std::optional<screencapture::FrameInfo>& info = sampleBuffer.frameInfo;
    if (!info || info->status != screencapture::FrameStatus::Complete || !sampleBuffer.imageBuffer)
        return;
    std::shared_ptr<media::PixelBuffer> scaled
        = analysis::resizePixelBuffer(*sampleBuffer.imageBuffer, kRasterSize, kRasterSize, crop());
    if (!sampleBuffer.surface || !scaled)
        return;
    const CapturedFrame frame { sampleBuffer.surface, info->contentRect, info->contentScale, info->scaleFactor,
        analysis::sampleGrid(*scaled), info->coveredPixels };
    m_recorder.appendVideoFrame(*scaled, sampleBuffer.outputPresentationTimeStamp);
    if (capturedFrameHandler)
        capturedFrameHandler(frame);
}

void CaptureEngineStreamOutput::handleAudio(const screencapture::SampleBuffer& sampleBuffer)
{
    const std::optional<screencapture::AudioBufferList> bufferList = sampleBuffer.audioBufferList();
    if (!bufferList)
        return;
    if (!sampleBuffer.formatDescription)
        return;
    const media::AudioFormat format = media::AudioFormat::standard(
        sampleBuffer.formatDescription->sampleRate, sampleBuffer.formatDescription->channelsPerFrame);
    if (!format.isValid())
        return;
    // Wraps the sample buffer's memory: used only during this call.
    const std::unique_ptr<media::PcmBuffer> pcm
        = media::PcmBuffer::wrap(format, bufferList->frameCount, bufferList->channels);
    if (!pcm)
        return;
    m_recorder.appendAudioBuffer(*pcm, sampleBuffer.outputPresentationTimeStamp);
    if (pcmBufferHandler)
        pcmBufferHandler(*pcm);
}

void CaptureEngineStreamOutput::didStopWithError(const screencapture::CaptureError& error)
{
    if (m_continuation)
        m_continuation->finish(error);
}

} // namespace corvex::capture
