#include "analysis/analysis_recorder.h"

#include "analysis/analysis_log.h"

#include "analysis/elapsed_time.h"
#include "analysis/frame_sampler.h"
#include "analysis/live_colour_message.h"
#include "analysis/video_analysis_record.h"
#include "platform/media/pcm_buffer.h"

#include <QDebug>
#include <QThread>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <vector>

namespace corvex::analysis {

namespace {

// A sample rate as a whole number of hertz, or none when it is not one that
// fits 32 bits (or is 0).
std::optional<std::uint32_t> wholeRate(double rate)
{
    if (!(rate >= 1.0 && rate < 4294967296.0))
        return std::nullopt;
    return static_cast<std::uint32_t>(rate);
}

QString describe(const media::AudioFormat& format)
{
    const char* kinds[] = { "float32", "int16", "int32" };
    return QStringLiteral("%1 Hz, %2 channels, %3 %4")
        .arg(format.sampleRate)
        .arg(format.channelCount)
        .arg(QLatin1StringView(kinds[static_cast<int>(format.sampleKind)]))
        .arg(format.interleaved ? QStringLiteral("interleaved") : QStringLiteral("planar"));
}

// The buffer's frames from `first` on, sharing its memory.
std::unique_ptr<media::PcmBuffer> framesFrom(const media::PcmBuffer& buffer, std::uint32_t first)
{
    const media::AudioFormat& format = buffer.format();
    const std::size_t offset = static_cast<std::size_t>(first) * buffer.stride() * format.bytesPerSample();
    auto start = [&](std::uint32_t channel) -> void* {
        void* data = buffer.floatChannel(channel);
        if (data == nullptr)
            data = buffer.int16Channel(channel);
        if (data == nullptr)
            data = buffer.int32Channel(channel);
        return data == nullptr ? nullptr : static_cast<std::byte*>(data) + offset;
    };
    std::vector<void*> blocks;
    for (std::uint32_t c = 0; c < (format.interleaved ? 1 : format.channelCount); ++c)
        blocks.push_back(start(c));
    return media::PcmBuffer::wrap(format, buffer.frameLength() - first, blocks);
}

} // namespace

const media::AudioFormat& AnalysisRecorder::outputFormat()
{
    static const media::AudioFormat format = fingerprint::SignatureGenerator::workingFormat();
    return format;
}

AnalysisRecorder::AnalysisRecorder(QObject* parent)
    : QObject(parent)
    , m_signatureGenerator(std::make_unique<fingerprint::SignatureGenerator>())
{
}

AnalysisRecorder::~AnalysisRecorder() = default;

void AnalysisRecorder::setLiveMessageObserver(std::function<void(const QByteArray&)> observer)
{
    const std::lock_guard lock(m_mutex);
    m_liveMessageObserver = std::move(observer);
}

bool AnalysisRecorder::started() const
{
    const std::lock_guard lock(m_mutex);
    return m_started;
}

int AnalysisRecorder::frameCount() const
{
    const std::lock_guard lock(m_mutex);
    return static_cast<int>(m_record.frameCount());
}

int AnalysisRecorder::framesLeftOut() const
{
    const std::lock_guard lock(m_mutex);
    return m_framesLeftOut;
}

void AnalysisRecorder::setStarted(bool started)
{
    {
        const std::lock_guard lock(m_mutex);
        m_started = started;
    }
    Q_EMIT startedChanged();
}

void AnalysisRecorder::start()
{
    {
        const std::lock_guard lock(m_mutex);
        m_firstTimestamp.reset();
        m_record = RecordBuilder();
        m_signatureSize = 0;
        m_signatureGenerator = std::make_unique<fingerprint::SignatureGenerator>();
        m_unsupportedFormat.reset();
        m_audioEnd.reset();
        m_skippingAudio = false;
        m_lastFrameSeconds.reset();
        m_framesLeftOut = 0;
        // A converter left from an earlier recording was emptied by its stop.
    }
    setStarted(true);
}

void AnalysisRecorder::reserveFrames(int frames)
{
    const std::lock_guard lock(m_mutex);
    m_record.reserve(static_cast<std::size_t>(std::max(frames, 0)));
}

std::optional<QByteArray> AnalysisRecorder::stop()
{
    const bool wasStarted = started();
    setStarted(false);
    const std::lock_guard lock(m_mutex);
    // The converter's filter holds back the last few milliseconds of sound;
    // they belong to this recording, not to the start of the next one.
    if (wasStarted)
        flushConverter();
    // The frames are kept compact while they come; the message is made and
    // encoded only now (tens of megabytes for a two-hour film).
    const std::string signature = m_signatureGenerator->signature();
    m_signatureSize = signature.size();
    return m_record.encode(signature);
}

std::size_t AnalysisRecorder::signatureSize() const
{
    const std::lock_guard lock(m_mutex);
    return m_signatureSize;
}

void AnalysisRecorder::appendVideoFrame(media::PixelBuffer& frame, const media::MediaTime& presentationTime)
{
    QByteArray message;
    std::function<void(const QByteArray&)> observer;
    {
        const std::lock_guard lock(m_mutex);
        if (!m_started)
            return;
        if (!m_firstTimestamp)
            m_firstTimestamp = presentationTime;
        const double elapsed = elapsedSeconds(presentationTime, *m_firstTimestamp);
        // A frame with no usable time, or one earlier than the frame before it
        // (a source that changed clocks), would make the record invalid: it is
        // left out and counted, and the recording goes on.
        if (!timestampFromElapsed(elapsed) || (m_lastFrameSeconds && elapsed < *m_lastFrameSeconds)) {
            if (m_framesLeftOut++ == 0)
                qCWarning(lcAnalysis,
                    "A captured frame was left out: its time (%.3f s) lies before the recording's start or "
                    "before the frame ahead of it. Later ones are counted without a message.",
                    elapsed);
            return;
        }
        m_lastFrameSeconds = elapsed;
        if (const std::optional<ChannelColours> colours = sampleChannels(frame))
            m_record.append(*timestampFromElapsed(elapsed), *colours);
        // Built for every frame, whether or not a receiver is chosen.
        const std::string encoded = encodeLiveColourMessage(m_record.newestColours());
        message = QByteArray(encoded.data(), static_cast<qsizetype>(encoded.size()));
        observer = m_liveMessageObserver;
    }
    if (observer)
        observer(message);
}

void AnalysisRecorder::appendAudioBuffer(const media::PcmBuffer& buffer, const media::MediaTime& presentationTime)
{
    const std::lock_guard lock(m_mutex);
    if (!m_started)
        return;
    if (!m_firstTimestamp)
        m_firstTimestamp = presentationTime;

    // The signature follows the record's time line: its first item is at time
    // zero and each of its samples lies where it was heard. Sound that starts
    // after the first frame (a monitor only hears what its sink renders after
    // it joined), or stops and resumes (an idle sink sends nothing, a paused
    // player neither) is preceded by the silence that was heard meanwhile, or
    // every clip found in it would be placed too early; sound stamped before
    // time zero, or twice, is left out.
    const double rate = buffer.format().sampleRate;
    const double start = elapsedSeconds(presentationTime, *m_firstTimestamp);
    const double expected = m_audioEnd.value_or(0);
    const double gap = start - expected;
    std::uint32_t skipped = 0;
    const bool late = std::isfinite(gap) && rate > 0 && gap > kAudioTimeTolerance;
    if (late && gap > kLongestAudioGap) {
        qCWarning(
            lcAnalysis, "Captured audio resumes %.1f s after it stopped; the signature does not follow the pause", gap);
    } else if (late) {
        feedSilence(buffer.format(), static_cast<std::uint64_t>(std::llround(gap * rate)));
    } else if (std::isfinite(gap) && rate > 0 && (gap < -kAudioTimeTolerance || (m_skippingAudio && gap < 0))) {
        // Once skipping, the last buffer of the stretch to skip is cut exactly, however little of it is left.
        skipped = static_cast<std::uint32_t>(
            std::min<long long>(std::llround(-gap * rate), static_cast<long long>(buffer.frameLength())));
    }
    // Within the tolerance the sample count is the better clock than the stamps.
    const std::uint32_t kept = buffer.frameLength() - skipped;
    m_skippingAudio = skipped > 0 && kept == 0;
    if (rate > 0)
        m_audioEnd = (late ? start : expected) + kept / rate;
    if (kept == 0)
        return;
    if (skipped == 0) {
        feed(buffer);
        return;
    }
    if (const std::unique_ptr<media::PcmBuffer> rest = framesFrom(buffer, skipped))
        feed(*rest);
}

// Converts the buffer and appends it to the signature.
void AnalysisRecorder::feed(const media::PcmBuffer& buffer)
{
    const media::PcmBuffer* converted = convert(buffer);
    if (converted == nullptr)
        return;
    if (const Result<void, std::string> appended = m_signatureGenerator->append(*converted); !appended)
        qCWarning(lcAnalysis, "Audio dropped from the signature: %s", appended.error.c_str());
}

// Silence in the captured format, through the converter, so that it joins the
// sound on either side without a seam.
void AnalysisRecorder::feedSilence(const media::AudioFormat& format, std::uint64_t frames)
{
    const auto chunk = static_cast<std::uint32_t>(std::clamp(format.sampleRate, 1.0, 192000.0));
    const std::unique_ptr<media::PcmBuffer> silence = media::PcmBuffer::create(format, chunk);
    if (!silence)
        return;
    while (frames > 0) {
        const auto n = static_cast<std::uint32_t>(std::min<std::uint64_t>(frames, chunk));
        silence->setFrameLength(n);
        feed(*silence);
        if (m_unsupportedFormat && *m_unsupportedFormat == format)
            return; // nothing of this format reaches the signature
        frames -= n;
    }
}

// Hands what the converter still holds (its filter's tail) to the signature
// and lets it go: the next buffer starts a new converter.
void AnalysisRecorder::flushConverter()
{
    if (!m_audioConverter)
        return;
    media::PcmBuffer* const output = convertedBuffer(4096);
    for (int round = 0; output != nullptr && round < 64; ++round) {
        const auto status = m_audioConverter->convert(
            *output, [](media::AudioConverter::InputStatus& inputStatus) -> const media::PcmBuffer* {
                inputStatus = media::AudioConverter::InputStatus::EndOfStream;
                return nullptr;
            });
        if (!status) {
            qCWarning(lcAnalysis, "Audio conversion failed (%s); the converter's tail is left out of the signature",
                status.error.c_str());
            break;
        }
        if (output->frameLength() > 0) {
            if (const Result<void, std::string> appended = m_signatureGenerator->append(*output); !appended)
                qCWarning(lcAnalysis, "Audio dropped from the signature: %s", appended.error.c_str());
        }
        if (*status.value == media::AudioConverter::OutputStatus::EndOfStream)
            break;
    }
    m_audioConverter.reset();
}

// Converts one buffer to the signature's format, or returns null (with one
// log line per cause) when the buffer cannot be converted: the recording goes on.
const media::PcmBuffer* AnalysisRecorder::convert(const media::PcmBuffer& buffer)
{
    const media::AudioFormat& format = buffer.format();
    if (m_unsupportedFormat && *m_unsupportedFormat == format)
        return nullptr; // already reported
    const std::optional<std::uint32_t> inputRate = wholeRate(format.sampleRate);
    const std::optional<std::uint32_t> outputRate = wholeRate(outputFormat().sampleRate);
    if (!inputRate || !outputRate) {
        m_unsupportedFormat = format;
        qCWarning(lcAnalysis) << "Captured audio with an unusable sample rate is left out of the signature:"
                              << describe(format);
        return nullptr;
    }
    if (!m_audioConverter || !(m_audioConverter->inputFormat() == format)) {
        // What the old converter still holds belongs to the sound before the change.
        flushConverter();
        m_audioConverter = media::AudioConverter::create(format, outputFormat());
        if (!m_audioConverter) {
            m_unsupportedFormat = format;
            qCWarning(lcAnalysis) << "Captured audio in an unsupported format is left out of the signature:"
                                  << describe(format);
            return nullptr;
        }
    }
    m_unsupportedFormat.reset();

    const std::uint64_t product = static_cast<std::uint64_t>(*outputRate) * buffer.frameLength();
    if (product > std::numeric_limits<std::uint32_t>::max()) {
        qCWarning(lcAnalysis, "Captured audio buffer of %u frames is too long to convert; left out of the signature",
            buffer.frameLength());
        return nullptr;
    }
    // What this buffer yields at the output rate, plus what earlier buffers
    // left in the converter: the truncated share alone would leave a fraction
    // of a frame behind with every buffer, and the signature would fall ever
    // further behind the pictures.
    const auto capacity = static_cast<std::uint64_t>(static_cast<std::uint32_t>(product) / *inputRate)
        + m_audioConverter->pendingFrames();
    media::PcmBuffer* const output = capacity > 0 && capacity <= std::numeric_limits<std::uint32_t>::max()
        ? convertedBuffer(static_cast<std::uint32_t>(capacity))
        : nullptr;
    if (output == nullptr) {
        if (capacity > 0)
            qCWarning(lcAnalysis, "No memory for %llu frames of converted audio; buffer left out of the signature",
                static_cast<unsigned long long>(capacity));
        return nullptr;
    }

    bool handedOver = false;
    const auto status = m_audioConverter->convert(
        *output, [&](media::AudioConverter::InputStatus& inputStatus) -> const media::PcmBuffer* {
            if (handedOver) {
                inputStatus = media::AudioConverter::InputStatus::NoDataNow;
                return nullptr;
            }
            handedOver = true;
            inputStatus = media::AudioConverter::InputStatus::HaveData;
            return &buffer;
        });
    if (!status) {
        qCWarning(
            lcAnalysis, "Audio conversion failed (%s); the buffer is left out of the signature", status.error.c_str());
    }
    return output;
}

media::PcmBuffer* AnalysisRecorder::convertedBuffer(std::uint32_t frames)
{
    if (!m_converted || m_converted->frameCapacity() < frames)
        m_converted = media::PcmBuffer::create(outputFormat(), std::max<std::uint32_t>(frames, 4096));
    if (!m_converted)
        return nullptr;
    // Larger than the share asks for, it takes whatever the converter has
    // ready: the signature hears the same samples, in larger steps.
    m_converted->setFrameLength(0);
    return m_converted.get();
}

} // namespace corvex::analysis
