#pragma once

#include "capture/captured_frame.h"
#include "platform/media/rect.h"
#include "platform/mediafile/media_file_reader.h"

#include <algorithm>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace corvex::media {
class PcmBuffer;
}
namespace corvex::analysis {
class AnalysisRecorder;
}

namespace corvex::capture {

class CaptureEngineStreamOutput;

/// Frames are analysed at this width at most: the 5 × 5 averages of a frame
/// reduced to it stay within ±2 of those of the full picture (at 100 pixels
/// they move by up to 6), at a fraction of the cost of converting every pixel.
inline constexpr int kAnalysisWidth = 320;

/// How a film is opened for analysis: `options` with frames reduced to kAnalysisWidth.
mediafile::ReaderOptions analysisReaderOptions(mediafile::ReaderOptions options = {});

/// The file road: every frame and every block of sound a reader decodes goes
/// through the capture engine's own stream output, exactly as a captured one
/// does (crop, scale to 5 × 5, the recorder; sound to the recorder and then
/// the meter), stamped with its presentation time. As fast as decoding goes.
///
/// The recorder's time origin is the first buffer it is given, so the first
/// few buffers are handed over in presentation order: time zero is the
/// earliest frame or sound of the film, whichever the file happens to store first.
class VideoFileAnalysis final {
public:
    struct Progress {
        double seconds = 0; // film time reached
        double durationSeconds = 0; // 0 when unknown
        int frames = 0;
    };

    enum class Outcome {
        Finished, // the whole film was read
        Stopped, // the reader was asked to stop
        Failed, // reading failed part way
    };

    struct Result {
        Outcome outcome = Outcome::Finished;
        int frames = 0; // frames handed to the analysis
        int soundBlocks = 0;
        double lastSeconds = 0; // film time of the last frame or sound analysed
        double durationSeconds = 0; // as the file says; 0 when it does not
        int damaged = 0; // packets and frames that could not be read and were skipped
        std::string failure; // for Failed

        /// Whether the film ended well before the length it claims.
        bool isCutShort() const
        {
            return durationSeconds > 0 && lastSeconds < durationSeconds - std::max(1.0, 0.01 * durationSeconds);
        }
        /// "1 damaged packet or frame was", "3 damaged packets or frames were".
        std::string damagedText() const
        {
            return damaged == 1 ? "1 damaged packet or frame was"
                                : std::to_string(damaged) + " damaged packets or frames were";
        }
    };

    VideoFileAnalysis(mediafile::MediaFileReader& reader, analysis::AnalysisRecorder& recorder);
    ~VideoFileAnalysis();
    VideoFileAnalysis(const VideoFileAnalysis&) = delete;
    VideoFileAnalysis& operator=(const VideoFileAnalysis&) = delete;

    /// The crop of every later frame (fractions of the picture as shown). Any thread.
    void setCrop(const std::optional<media::Rect>& crop);

    /// Called on the analysing thread: each analysed frame (for a preview),
    /// each block of sound after the recorder had it (for a meter), and the
    /// progress about every `progressInterval` frames. Set before run().
    std::function<void(const CapturedFrame&)> capturedFrameHandler;
    std::function<void(const media::PcmBuffer&)> pcmBufferHandler;
    std::function<void(const Progress&)> progressHandler;
    int progressInterval = 30;

    /// Reads the film to its end (or until the reader is told to stop) on the
    /// calling thread. The recorder must be started by the caller.
    Result run();

private:
    mediafile::MediaFileReader& m_reader;
    std::shared_ptr<CaptureEngineStreamOutput> m_output;
};

/// Looks at frames spread over the whole film and returns the crop that
/// removes its black bars, or none when it has none (or the evidence is too
/// thin). Seeks the reader about: give it a reader of its own.
std::optional<media::Rect> findBlackBars(mediafile::MediaFileReader& reader, int positions = 60);

} // namespace corvex::capture
