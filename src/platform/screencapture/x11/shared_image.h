#pragma once

#include "platform/screencapture/x11/x11_connection.h"

#include <xcb/shm.h>

#include <cstddef>
#include <cstdint>

namespace corvex::screencapture::x11 {

/// Memory this process shares with the X server (MIT-SHM 1.2, passed as a
/// file), into which the server copies pixels: a frame crosses without going
/// through the socket. Grows on demand; never shrinks.
class SharedImage final {
public:
    explicit SharedImage(Connection& connection);
    ~SharedImage();
    SharedImage(const SharedImage&) = delete;
    SharedImage& operator=(const SharedImage&) = delete;

    /// Room for at least `bytes`; false when none could be had.
    bool reserve(std::size_t bytes);
    /// Has the server copy a rectangle of a drawable as 32-bit pixels into the
    /// memory, rows packed (4 × width bytes apart), and waits until it has.
    /// False when it did not (the drawable is gone, or the connection).
    bool read(xcb_drawable_t drawable, int x, int y, int width, int height);

    const std::uint8_t* pixels() const { return m_memory; }
    std::uint8_t* pixels() { return m_memory; }
    std::size_t size() const { return m_size; }

private:
    void release();

    Connection& m_connection;
    xcb_shm_seg_t m_segment = 0;
    std::uint8_t* m_memory = nullptr;
    std::size_t m_size = 0;
};

} // namespace corvex::screencapture::x11
