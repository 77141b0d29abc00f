#include "platform/screencapture/x11/shared_image.h"

#include <sys/mman.h>
#include <unistd.h>

namespace corvex::screencapture::x11 {

SharedImage::SharedImage(Connection& connection)
    : m_connection(connection)
{
}

SharedImage::~SharedImage()
{
    release();
}

void SharedImage::release()
{
    if (m_segment)
        xcb_shm_detach(m_connection.get(), m_segment);
    if (m_memory)
        munmap(m_memory, m_size);
    m_segment = 0;
    m_memory = nullptr;
    m_size = 0;
}

bool SharedImage::reserve(std::size_t bytes)
{
    if (bytes <= m_size && m_memory)
        return true;
    release();
    const int fd = memfd_create("corvex-capture-frame", MFD_CLOEXEC);
    if (fd < 0)
        return false;
    void* memory = MAP_FAILED;
    if (ftruncate(fd, static_cast<off_t>(bytes)) == 0)
        memory = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (memory == MAP_FAILED) {
        close(fd);
        return false;
    }
    m_memory = static_cast<std::uint8_t*>(memory);
    m_size = bytes;
    m_segment = xcb_generate_id(m_connection.get());
    xcb_shm_attach_fd(m_connection.get(), m_segment, fd, 0); // passes the descriptor to the server, which closes ours
    return true;
}

bool SharedImage::read(xcb_drawable_t drawable, int x, int y, int width, int height)
{
    if (!m_memory || std::size_t(width) * std::size_t(height) * 4 > m_size)
        return false;
    xcb_connection_t* c = m_connection.get();
    const Reply<xcb_shm_get_image_reply_t> image(xcb_shm_get_image_reply(c,
        xcb_shm_get_image(c, drawable, static_cast<std::int16_t>(x), static_cast<std::int16_t>(y),
            static_cast<std::uint16_t>(width), static_cast<std::uint16_t>(height), ~0u, XCB_IMAGE_FORMAT_Z_PIXMAP,
            m_segment, 0),
        nullptr));
    return image != nullptr;
}

} // namespace corvex::screencapture::x11
