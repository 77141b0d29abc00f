#pragma once

#include "platform/mediafile/reader_internals.h"

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
/// has; decoded frames wait in a queue bounded in pictures (by memory) and in items.
class DecodeThread final {
public:
    struct Decoded {
        enum class Kind { Picture, Sound, Note, End, Failure };
        Kind kind = Kind::End;
        FramePtr frame; // Picture, Sound
        bool reduced = false; // Picture: averaged down already
        std::string text; // Note (decoding moved to software), Failure
    };

    /// `audio` may be null (no sound). Each picture goes through `reduction`
    /// before it waits. `stopRequested` ends the reading as the end of the file does.
    DecodeThread(AVFormatContext* format, VideoDecoder& video, AVCodecContext* audio, int audioStream,
        PictureReduction& reduction, const std::atomic<bool>& stopRequested);
    ~DecodeThread();
    DecodeThread(const DecodeThread&) = delete;
    DecodeThread& operator=(const DecodeThread&) = delete;

    /// The next decoded item, waiting for it; starts the thread if it is not running.
    Decoded take();
    /// Gives back the frame of an item the caller is done with, so that the
    /// thread decodes into it again instead of allocating one per block of
    /// sound (a film has dozens a second).
    void recycle(FramePtr frame);
    /// Stops the thread and drops what it decoded ahead (before a seek).
    void stop();
    /// Packets the demuxer marked as corrupt, that a decoder refused or that failed to read.
    int damagedPackets() const;

private:
    void decodeFile();
    void decode(AVCodecContext* codec, const AVPacket* packet);
    /// Waits for room in the queue; false when the thread is to quit.
    bool hand(Decoded item);
    void countDamagedPacket();
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
    int m_damagedPackets = 0;
    std::vector<FramePtr> m_spareFrames;

    // The thread's own.
    PacketPtr m_packet { av_packet_alloc() };
    FramePtr m_frame { av_frame_alloc() };
    int m_consecutiveReadErrors = 0;
    bool m_decoderFailed = false;
    std::int64_t m_picturesDecoded = 0;
};

} // namespace corvex::mediafile::detail
