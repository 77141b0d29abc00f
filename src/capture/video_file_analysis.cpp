#include "capture/video_file_analysis.h"

#include "analysis/black_bars.h"
#include "capture/capture_engine_stream_output.h"
#include "platform/screencapture/sample_buffer.h"

#include <algorithm>
#include <cmath>
#include <variant>
#include <vector>

namespace corvex::capture {

namespace {

// Buffers held back at the start, at most, while waiting for the first of the
// other kind (a file may store a second or two of one stream before the other).
constexpr std::size_t kMaxHeldAtStart = 512;

screencapture::SampleBuffer videoSampleBuffer(const mediafile::VideoFrame& frame)
{
    screencapture::SampleBuffer buffer;
    buffer.outputPresentationTimeStamp = frame.time;
    const media::PixelBuffer& image = *frame.image;
    buffer.imageBuffer = frame.image;
    // The surface shares the decoded frame's pixels and keeps the frame alive.
    buffer.surface = std::make_shared<const screencapture::Surface>(
        screencapture::Surface { image.width(), image.height(), image.bytesPerRow(), image.format(),
            std::shared_ptr<const std::uint8_t>(frame.image, image.baseAddress()) });
    buffer.frameInfo = screencapture::FrameInfo::filling(image.width(), image.height());
    return buffer;
}

double secondsOf(const mediafile::ReaderItem& item)
{
    if (const auto* frame = std::get_if<mediafile::VideoFrame>(&item))
        return frame->time.seconds();
    if (const auto* block = std::get_if<mediafile::AudioBlock>(&item))
        return block->time.seconds();
    return 0;
}

} // namespace

mediafile::ReaderOptions analysisReaderOptions(mediafile::ReaderOptions options)
{
    options.maxWidth = kAnalysisWidth;
    return options;
}

VideoFileAnalysis::VideoFileAnalysis(mediafile::MediaFileReader& reader, analysis::AnalysisRecorder& recorder)
    : m_reader(reader)
    , m_output(std::make_shared<CaptureEngineStreamOutput>(recorder, nullptr))
{
}

VideoFileAnalysis::~VideoFileAnalysis() = default;

void VideoFileAnalysis::setCrop(const std::optional<media::Rect>& crop)
{
    m_output->setCrop(crop);
}

VideoFileAnalysis::Result VideoFileAnalysis::run()
{
    m_output->capturedFrameHandler = capturedFrameHandler;
    m_output->pcmBufferHandler = pcmBufferHandler;
    Result result;
    const bool hasSound = m_reader.info().audioStreamIndex.has_value();
    const double duration = m_reader.info().durationSeconds;

    const auto deliver = [&](mediafile::ReaderItem& item) {
        if (auto* frame = std::get_if<mediafile::VideoFrame>(&item)) {
            m_output->didOutputSampleBuffer(videoSampleBuffer(*frame), screencapture::StreamOutputType::Screen);
            ++result.frames;
            result.lastSeconds = std::max(result.lastSeconds, frame->time.seconds());
            if (progressHandler && progressInterval > 0 && result.frames % progressInterval == 0)
                progressHandler({ result.lastSeconds, duration, result.frames });
        } else if (auto* block = std::get_if<mediafile::AudioBlock>(&item)) {
            const double end = block->time.seconds()
                + (block->channels.empty() ? 0.0 : double(block->channels.front().size()) / block->sampleRate);
            m_output->didOutputSampleBuffer(
                screencapture::SampleBuffer::audio(block->sampleRate, std::move(block->channels), block->time),
                screencapture::StreamOutputType::Audio);
            ++result.soundBlocks;
            result.lastSeconds = std::max(result.lastSeconds, end);
        }
    };

    // Hold the first buffers until both kinds have begun, then hand them over
    // in time order, so that the earliest of either kind becomes time zero.
    std::vector<mediafile::ReaderItem> held;
    bool seenVideo = false;
    bool seenSound = !hasSound;
    bool holding = true;
    const auto release = [&] {
        std::stable_sort(held.begin(), held.end(),
            [](const mediafile::ReaderItem& a, const mediafile::ReaderItem& b) { return secondsOf(a) < secondsOf(b); });
        for (mediafile::ReaderItem& item : held)
            deliver(item);
        held.clear();
        holding = false;
    };

    for (;;) {
        mediafile::ReaderItem item = m_reader.next();
        if (std::holds_alternative<mediafile::EndOfFile>(item)) {
            release();
            result.outcome = m_reader.stopRequested() ? Outcome::Stopped : Outcome::Finished;
            break;
        }
        if (const auto* failure = std::get_if<mediafile::ReadFailure>(&item)) {
            release();
            result.outcome = Outcome::Failed;
            result.failure = failure->message;
            break;
        }
        if (!holding) {
            deliver(item);
            continue;
        }
        seenVideo = seenVideo || std::holds_alternative<mediafile::VideoFrame>(item);
        seenSound = seenSound || std::holds_alternative<mediafile::AudioBlock>(item);
        held.push_back(std::move(item));
        if ((seenVideo && seenSound) || held.size() >= kMaxHeldAtStart)
            release();
    }
    if (progressHandler)
        progressHandler({ result.lastSeconds, duration, result.frames });
    result.durationSeconds = duration;
    const mediafile::DamageReport& damage = m_reader.damage();
    result.damaged = damage.damagedPackets + damage.damagedFrames;
    return result;
}

std::optional<media::Rect> findBlackBars(mediafile::MediaFileReader& reader, int positions)
{
    analysis::BlackBarDetector detector;
    const double duration = reader.info().durationSeconds;
    constexpr int kFramesPerPosition = 3;
    const auto look = [&](int frames) {
        for (int seen = 0; seen < frames;) {
            mediafile::ReaderItem item = reader.next();
            if (auto* frame = std::get_if<mediafile::VideoFrame>(&item)) {
                detector.addFrame(*frame->image);
                ++seen;
            } else if (!std::holds_alternative<mediafile::AudioBlock>(item)) {
                return false; // end, or the file cannot be read further
            }
        }
        return true;
    };
    if (duration <= 0 || positions < 2) {
        // Without a duration there is nowhere to seek to: look at the beginning.
        look(positions * kFramesPerPosition * 4);
        return detector.proposedCrop();
    }
    // Opening and closing credits are often on black: the positions stay clear of the ends.
    for (int i = 0; i < positions && !reader.stopRequested(); ++i) {
        const double at = duration * (0.05 + 0.9 * i / (positions - 1));
        if (!reader.seek(at) || !look(kFramesPerPosition))
            break;
    }
    return detector.proposedCrop();
}

} // namespace corvex::capture
