#pragma once

#include "platform/media/media_time.h"
#include "platform/media/pixel_buffer.h"
#include "platform/result.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace corvex::mediafile {

/// Largest picture the reader accepts, on either axis. Anything larger is far
/// beyond any film and is more likely a damaged or hostile header.
inline constexpr int kMaxPictureSize = 16384;

/// How the reader decodes: which streams, how many threads, and how large the
/// frames it hands out are.
struct ReaderOptions {
    /// The file's stream index (as `ffprobe` numbers them); none: the first of its kind.
    std::optional<int> videoStream;
    std::optional<int> audioStream;
    /// Decoder threads; 0: one per core. (On two cores a third frame thread
    /// saves no time and holds one more picture.)
    int threads = 0;
    /// Speed-ups that leave the 5 × 5 averages unchanged within ±2: the loop
    /// filter is skipped on frames no other frame is predicted from (cells move
    /// by 1 at most on grain, fractals, cellular patterns and gradients coded
    /// coarsely). Skipping it on more frames spreads the error through the
    /// predictions: on every B frame, cells move by up to 8 on those films; on
    /// every frame, by up to 37. Skipping the inverse transform of
    /// unreferenced frames saves nothing measurable.
    bool fastDecoding = true;
    /// "auto" tries the machine's video acceleration (VA-API) and falls back to
    /// software; "none" decodes in software; any other name is a device type
    /// of libavutil ("vaapi", "vdpau", "cuda", ...), still falling back to software.
    std::string hardware = "auto";
    /// Frames are handed out at most this wide (0: the decoded size). The
    /// height follows the picture's shape. Scaling straight from the decoded
    /// planes to the small size costs a fraction of a full-size conversion.
    int maxWidth = 0;
    /// Reduces 8-bit planar YUV pictures by averaging whole blocks of each
    /// plane before the colour conversion (cells stay within ±2 of a
    /// full-size conversion; several times cheaper). Off: the general scaler does it all.
    bool boxAverage = true;
};

/// What the reader found in the file.
struct MediaFileInfo {
    std::string container; // short name of the format ("mov,mp4,...", "matroska,webm")
    int videoStreamIndex = -1;
    std::string videoCodec;
    int codedWidth = 0; // pixels as stored
    int codedHeight = 0;
    int displayWidth = 0; // pixels as shown (non-square pixels widened or narrowed)
    int displayHeight = 0;
    int frameWidth = 0; // the frames handed out
    int frameHeight = 0;
    double frameRate = 0; // average; 0 when unknown (variable-rate files may say nothing)
    double durationSeconds = 0; // 0 when the file does not say
    std::optional<int> audioStreamIndex; // none: the file has no sound
    std::string audioCodec;
    double sampleRate = 0;
    int channels = 0;
    /// The acceleration in use ("vaapi"), empty for software decoding.
    std::string hardware;
    /// Why acceleration was asked for but is not used; empty otherwise.
    std::string hardwareNote;
};

/// A decoded picture, BGRA, with its presentation time in seconds from the
/// start of the file (the earliest start of its streams).
struct VideoFrame {
    std::shared_ptr<media::PixelBuffer> image;
    media::MediaTime time;
};

/// Decoded sound: 32-bit float, one vector per channel, with the presentation
/// time of its first sample (same time line as the frames).
struct AudioBlock {
    double sampleRate = 0;
    std::vector<std::vector<float>> channels;
    media::MediaTime time;
};

/// The end of the chosen streams.
struct EndOfFile { };

/// Decoding cannot go on (a read error of the file itself).
struct ReadFailure {
    std::string message;
};

using ReaderItem = std::variant<VideoFrame, AudioBlock, EndOfFile, ReadFailure>;

/// Damage met on the way; decoding goes past it.
struct DamageReport {
    int damagedPackets = 0; // refused by a decoder, or marked corrupt by the container
    int damagedFrames = 0; // decoded with concealed errors
    int framesWithoutTime = 0; // no presentation time: dropped
};

/// Why a file cannot be read at all.
enum class OpenError {
    None,
    Missing, // no such file, or unreadable
    Empty, // zero bytes
    NotMedia, // no container that FFmpeg knows
    NoVideo, // no video stream (or the one asked for is not video)
    NoSuchStream, // the stream index asked for does not exist / is not of that kind
    UnsupportedCodec, // no decoder for the video
    AbsurdSize, // zero or more than kMaxPictureSize on an axis
    DecoderFailed, // the decoder would not open
};

class MediaFileReader;

struct OpenFailure {
    OpenError kind = OpenError::None;
    std::string message; // one line saying what happened and what to do
};

/// The reader of an opened file, or why the file cannot be read.
using OpenResult = Result<std::unique_ptr<MediaFileReader>, OpenFailure>;

/// Decodes the chosen video stream (and audio stream, if any) of one file, in
/// file order, one item per call of next(). Not thread-safe: one thread reads;
/// only requestStop() may come from another thread. The decoder itself runs
/// threads of its own.
class MediaFileReader final {
public:
    static OpenResult open(const std::string& path, const ReaderOptions& options = {});
    ~MediaFileReader();
    MediaFileReader(const MediaFileReader&) = delete;
    MediaFileReader& operator=(const MediaFileReader&) = delete;

    const MediaFileInfo& info() const;
    /// The next frame or sound block; EndOfFile at the end (and after requestStop()).
    ReaderItem next();
    /// Jumps to the key frame at or before `seconds` (file time line); the next
    /// items are decoded from there. False when the file cannot seek.
    bool seek(double seconds);
    /// Makes next() return EndOfFile from now on. Any thread.
    void requestStop();
    bool stopRequested() const;
    /// Damage met since the reader was opened. Damage a decoder conceals is
    /// known only from its error messages, which are counted for the whole
    /// process: with two readers at work, each counts the other's too.
    const DamageReport& damage() const;

private:
    struct Impl;
    explicit MediaFileReader(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> m_impl;
};

} // namespace corvex::mediafile
