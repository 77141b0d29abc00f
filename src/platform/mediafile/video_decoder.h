#pragma once

#include "platform/mediafile/media_file_reader.h"
#include "platform/mediafile/reader_internals.h"

#include <string>

namespace corvex::mediafile::detail {

/// The video stream's decoder: on the machine's video acceleration where the
/// options ask for it and it can be had, in software otherwise, and in
/// software again when the hardware refuses the stream once decoding began.
class VideoDecoder final {
public:
    VideoDecoder(const AVCodec* codec, AVStream* stream, const ReaderOptions& options);

    /// Sets up the acceleration the options ask for. Returns a note for the
    /// author when acceleration was asked for by name and cannot be used.
    std::string tryHardware(const std::string& codecName);
    /// Opens the decoder, on the hardware set up by tryHardware() if `useHardware`.
    bool open(bool useHardware);
    /// Opens it on the hardware if there is any, else (or when that fails) in
    /// software; false when not even software opens. `note` says why
    /// acceleration is not used, where that is worth telling.
    bool openBest(std::string& note);

    /// The acceleration in use when opened ("vaapi"); empty for software.
    const std::string& hardware() const { return m_hardware; }
    /// Frames in this format live in the hardware and are fetched before conversion.
    AVPixelFormat hardwarePixelFormat() const { return m_hardwarePixelFormat; }
    AVCodecContext* context() const { return m_context.get(); }
    int streamIndex() const { return m_stream->index; }

    /// Decoding thread: the hardware refused the stream before the first
    /// picture; reopens in software. Returns the note for the author; `failed`
    /// when not even software opens.
    std::string fallBackToSoftware(const std::string& why, bool& failed);
    bool usingHardware() const { return m_usingHardware; }

private:
    const AVCodec* m_codec;
    AVStream* m_stream;
    const ReaderOptions& m_options;
    CodecPtr m_context;
    BufferPtr m_device;
    AVPixelFormat m_hardwarePixelFormat = AV_PIX_FMT_NONE;
    std::string m_hardware;
    bool m_usingHardware = false;
};

} // namespace corvex::mediafile::detail
