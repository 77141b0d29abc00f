#pragma once

#include "platform/mediafile/reader_internals.h"
#include "platform/mediafile/sound_blocks.h"

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace corvex::mediafile::detail {

class PictureReduction;
class VideoDecoder;

/// Demultiplexes and decodes on a thread of its own, so that the decoders are
/// fed while the reader's caller converts and analyses the pictures it already
/// has; decoded pictures and blocks of sound wait in a queue bounded in
/// pictures, in items and in memory. The sound is made into blocks here, so
/// that its many small frames never leave this thread.
class DecodeThread final {
public:
    struct Decoded {
        enum class Kind { Picture, Sound, Note, End, Failure };
        Kind kind = Kind::End;
        FramePtr frame; // Picture
        bool reduced = false; // Picture: averaged down already
        AudioBlock sound; // Sound
        std::string text; // Note (decoding moved to software), Failure
    };
    /// What was met on the way, counted since the reader opened.
    struct Damage {
        int packets = 0; // marked corrupt by the container, refused by a decoder, or unreadable
        int refused = 0; // of those, refused by a decoder, which also says so in its log
        int soundFrames = 0; // sound decoded with concealed errors, or that could not be converted
        int soundWithoutTime = 0; // sound without a presentation time: dropped
    };

    /// `audio` may be null (no sound), else `audioStream` is its stream; times
    /// count from `startMicroseconds`. Each picture goes through `reduction`
    /// before it waits. `stopRequested` ends the reading as the end of the file does.
    DecodeThread(AVFormatContext* format, VideoDecoder& video, AVCodecContext* audio, const AVStream* audioStream,
        std::int64_t startMicroseconds, PictureReduction& reduction, const std::atomic<bool>& stopRequested);
    ~DecodeThread();
    DecodeThread(const DecodeThread&) = delete;
    DecodeThread& operator=(const DecodeThread&) = delete;

    /// The next decoded item, waiting for it; starts the thread if it is not running.
    Decoded take();
    /// Gives back the frame of a picture the caller is done with, so that the
    /// thread decodes into it again instead of allocating one per picture.
    void recycle(FramePtr frame);
    /// Stops the thread and drops what it decoded ahead (before a seek).
    void stop();
    Damage damage() const;

private:
    void decodeFile();
    void decode(AVCodecContext* codec, const AVPacket* packet);
    /// Waits for room in the queue; false when the thread is to quit.
    bool hand(Decoded item);
    /// Hands the sound that is ready; with `unfinished`, also the block still
    /// being joined (before something that must not overtake it). False when the thread is to quit.
    bool handSound(bool unfinished);
    /// `packet` is the one read (null when none was); `refused`: its decoder would not take it.
    void countDamagedPacket(const AVPacket* packet, bool refused);
    /// An empty frame: one given back, or a new one.
    FramePtr spareFrame();
    bool quitting() const;
    /// Whether the caller, waiting on an empty queue, has enough to go on. Under m_mutex.
    bool callerMayGo() const;
    /// Whether an item (a picture or a block of sound of `bytes`) has room in the queue. Under m_mutex.
    bool fits(bool picture, std::size_t bytes) const;
    /// Whether the decoder, waiting on a full queue, may go on: its item fits,
    /// and the queue has drained to half (in pictures, or in sound). Under m_mutex.
    bool decoderMayGo() const;

    AVFormatContext* const m_format;
    VideoDecoder& m_video;
    AVCodecContext* const m_audio;
    const int m_audioStream;
    SoundBlocks m_sound; // the thread's own
    PictureReduction& m_reduction;
    const std::atomic<bool>& m_stopRequested;

    std::thread m_thread;
    mutable std::mutex m_mutex;
    std::condition_variable m_forCaller;
    std::condition_variable m_forDecoder;
    // Guarded by m_mutex.
    std::deque<Decoded> m_queue;
    int m_queuedPictures = 0;
    std::size_t m_queuedPictureBytes = 0;
    std::size_t m_queuedSoundBytes = 0;
    bool m_quit = false;
    bool m_decoderWaiting = false;
    bool m_waitingPicture = false; // what the waiting decoder holds
    std::size_t m_waitingBytes = 0;
    Damage m_damage;
    std::vector<FramePtr> m_spareFrames;

    // The thread's own.
    PacketPtr m_packet { av_packet_alloc() };
    FramePtr m_frame { av_frame_alloc() };
    int m_consecutiveReadErrors = 0;
    bool m_decoderFailed = false;
    std::int64_t m_picturesDecoded = 0;
};

} // namespace corvex::mediafile::detail
