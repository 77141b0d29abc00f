#pragma once

// A PipeWire video source of the test's own on a real PipeWire server, for the
// faults a desktop's portal does not show on demand: odd pixel formats, odd
// row strides, sizes that change while streaming. Fault injection only; the
// real road is tested through the portal.

#include <pipewire/pipewire.h>
#include <spa/param/video/format-utils.h>

#include <cstdint>
#include <cstring>
#include <mutex>
#include <string>

namespace corvex::test {

class FakePipeWireScreen {
public:
    struct Shape {
        std::uint32_t format = SPA_VIDEO_FORMAT_BGRx;
        int width = 64;
        int height = 36;
        int stride = 64 * 4; // bytes per row written into each buffer's chunk
    };

    FakePipeWireScreen(const std::string& remote, const Shape& shape)
        : m_shape(shape)
        , m_active(shape)
    {
        pw_init(nullptr, nullptr);
        m_loop = pw_thread_loop_new("fake-screen", nullptr);
        m_context = pw_context_new(pw_thread_loop_get_loop(m_loop), nullptr, 0);
        pw_thread_loop_start(m_loop);
        pw_thread_loop_lock(m_loop);
        m_core = pw_context_connect(m_context, pw_properties_new(PW_KEY_REMOTE_NAME, remote.c_str(), nullptr), 0);
        if (m_core != nullptr) {
            static const pw_stream_events events = [] {
                pw_stream_events e {};
                e.version = PW_VERSION_STREAM_EVENTS;
                e.param_changed = &FakePipeWireScreen::onParamChanged;
                e.process = &FakePipeWireScreen::onProcess;
                return e;
            }();
            m_stream = pw_stream_new(m_core, "corvex fake screen",
                pw_properties_new(PW_KEY_MEDIA_CLASS, "Video/Source", PW_KEY_MEDIA_ROLE, "Screen", nullptr));
            pw_stream_add_listener(m_stream, &m_listener, &events, this);
            std::uint8_t storage[1024];
            const spa_pod* params[1] = { formatParam(storage, sizeof storage) };
            pw_stream_connect(m_stream, PW_DIRECTION_OUTPUT, PW_ID_ANY,
                static_cast<pw_stream_flags>(PW_STREAM_FLAG_DRIVER | PW_STREAM_FLAG_MAP_BUFFERS), params, 1);
        }
        pw_thread_loop_unlock(m_loop);
    }

    ~FakePipeWireScreen()
    {
        pw_thread_loop_stop(m_loop);
        if (m_stream != nullptr) {
            spa_hook_remove(&m_listener);
            pw_stream_destroy(m_stream);
        }
        if (m_core != nullptr)
            pw_core_disconnect(m_core);
        pw_context_destroy(m_context);
        pw_thread_loop_destroy(m_loop);
    }

    /// The node's id once the server knows it; PW_ID_ANY before.
    std::uint32_t nodeId()
    {
        pw_thread_loop_lock(m_loop);
        const std::uint32_t id = m_stream != nullptr ? pw_stream_get_node_id(m_stream) : PW_ID_ANY;
        pw_thread_loop_unlock(m_loop);
        return id;
    }

    /// Sends one frame filled with `rgb` (in the shape's format). Its damage
    /// says the whole picture changed, or, with `unchanged`, nothing did; its
    /// header carries `pictureTime` (monotonic nanoseconds) as the time the
    /// picture was made, or none when it is 0.
    void send(std::uint32_t rgb, bool unchanged = false, std::int64_t pictureTime = 0)
    {
        pw_thread_loop_lock(m_loop);
        {
            std::lock_guard lock(m_mutex);
            m_colour = rgb;
            m_unchanged = unchanged;
            m_pictureTime = pictureTime;
        }
        pw_stream_trigger_process(m_stream);
        pw_thread_loop_unlock(m_loop);
    }

    /// Offers another size, as a screen whose mode changed does.
    void resize(int width, int height)
    {
        pw_thread_loop_lock(m_loop);
        {
            std::lock_guard lock(m_mutex);
            m_shape.width = width;
            m_shape.height = height;
            m_shape.stride = width * 4;
        }
        std::uint8_t storage[1024];
        const spa_pod* params[1] = { formatParam(storage, sizeof storage) };
        pw_stream_update_params(m_stream, params, 1);
        pw_thread_loop_unlock(m_loop);
    }

    /// Stops (or resumes) streaming while the node stays, as a producer that hangs does.
    void setActive(bool active)
    {
        pw_thread_loop_lock(m_loop);
        pw_stream_set_active(m_stream, active);
        pw_thread_loop_unlock(m_loop);
    }

    std::int64_t framesSent()
    {
        std::lock_guard lock(m_mutex);
        return m_sent;
    }

private:
    const spa_pod* formatParam(std::uint8_t* storage, std::size_t size)
    {
        spa_pod_builder builder = SPA_POD_BUILDER_INIT(storage, static_cast<std::uint32_t>(size));
        const spa_rectangle shape { std::uint32_t(m_shape.width), std::uint32_t(m_shape.height) };
        const spa_fraction rate { 0, 1 };
        return static_cast<const spa_pod*>(spa_pod_builder_add_object(&builder, SPA_TYPE_OBJECT_Format,
            SPA_PARAM_EnumFormat, SPA_FORMAT_mediaType, SPA_POD_Id(SPA_MEDIA_TYPE_video), SPA_FORMAT_mediaSubtype,
            SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw), SPA_FORMAT_VIDEO_format, SPA_POD_Id(m_shape.format),
            SPA_FORMAT_VIDEO_size, SPA_POD_Rectangle(&shape), SPA_FORMAT_VIDEO_framerate, SPA_POD_Fraction(&rate)));
    }

    static void onParamChanged(void* data, std::uint32_t id, const spa_pod* param)
    {
        auto* self = static_cast<FakePipeWireScreen*>(data);
        if (param == nullptr || id != SPA_PARAM_Format)
            return;
        {
            // Frames take the agreed shape from now on (a new size comes with new buffers).
            std::lock_guard lock(self->m_mutex);
            self->m_active = self->m_shape;
        }
        // Room for the larger of a packed row and the stride we claim.
        const int stride = std::max(self->m_shape.stride, self->m_shape.width * 4);
        std::uint8_t storage[1024];
        spa_pod_builder builder = SPA_POD_BUILDER_INIT(storage, sizeof storage);
        const spa_pod* params[3] = {
            static_cast<const spa_pod*>(spa_pod_builder_add_object(&builder, SPA_TYPE_OBJECT_ParamBuffers,
                SPA_PARAM_Buffers, SPA_PARAM_BUFFERS_buffers, SPA_POD_Int(4), SPA_PARAM_BUFFERS_blocks, SPA_POD_Int(1),
                SPA_PARAM_BUFFERS_size, SPA_POD_Int(stride * self->m_shape.height), SPA_PARAM_BUFFERS_stride,
                SPA_POD_Int(stride), SPA_PARAM_BUFFERS_dataType, SPA_POD_CHOICE_FLAGS_Int(1 << SPA_DATA_MemFd))),
            // Damage, as a compositor sends it: what changed since the last frame.
            static_cast<const spa_pod*>(spa_pod_builder_add_object(&builder, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta,
                SPA_PARAM_META_type, SPA_POD_Id(SPA_META_VideoDamage), SPA_PARAM_META_size,
                SPA_POD_CHOICE_RANGE_Int(
                    sizeof(spa_meta_region) * 16, sizeof(spa_meta_region), sizeof(spa_meta_region) * 16))),
            static_cast<const spa_pod*>(
                spa_pod_builder_add_object(&builder, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type,
                    SPA_POD_Id(SPA_META_Header), SPA_PARAM_META_size, SPA_POD_Int(sizeof(spa_meta_header))))
        };
        pw_stream_update_params(self->m_stream, params, 3);
    }

    static void onProcess(void* data)
    {
        auto* self = static_cast<FakePipeWireScreen*>(data);
        pw_buffer* buffer = pw_stream_dequeue_buffer(self->m_stream);
        if (buffer == nullptr)
            return;
        spa_data& plane = buffer->buffer->datas[0];
        std::lock_guard lock(self->m_mutex);
        const Shape& shape = self->m_active;
        if (plane.data != nullptr) {
            const bool rgbOrder = shape.format == SPA_VIDEO_FORMAT_RGBx || shape.format == SPA_VIDEO_FORMAT_RGBA;
            const std::uint8_t r = std::uint8_t(self->m_colour >> 16), g = std::uint8_t(self->m_colour >> 8),
                               b = std::uint8_t(self->m_colour);
            const std::uint8_t pixel[4] = { rgbOrder ? r : b, g, rgbOrder ? b : r, 0xff };
            const std::size_t rows = std::size_t(std::max(shape.stride, shape.width * 4));
            auto* bytes = static_cast<std::uint8_t*>(plane.data);
            std::memset(bytes, 0x55, std::min<std::size_t>(plane.maxsize, rows * std::size_t(shape.height)));
            for (int y = 0; y < shape.height; ++y)
                for (int x = 0; x < shape.width && std::size_t(y) * rows + std::size_t(x + 1) * 4 <= plane.maxsize; ++x)
                    std::memcpy(bytes + std::size_t(y) * rows + std::size_t(x) * 4, pixel, 4);
            plane.chunk->offset = 0;
            plane.chunk->stride = shape.stride;
            plane.chunk->size = std::uint32_t(std::min<std::size_t>(plane.maxsize, rows * std::size_t(shape.height)));
            if (spa_meta* damage = spa_buffer_find_meta(buffer->buffer, SPA_META_VideoDamage);
                damage != nullptr && damage->size >= sizeof(spa_meta_region)) {
                // The whole picture, or an empty first region: nothing changed.
                auto* region = static_cast<spa_meta_region*>(damage->data);
                region->region = self->m_unchanged
                    ? spa_region {}
                    : spa_region { { 0, 0 }, { std::uint32_t(shape.width), std::uint32_t(shape.height) } };
                if (damage->size >= 2 * sizeof(spa_meta_region))
                    region[1].region = spa_region {};
            }
            if (auto* header = static_cast<spa_meta_header*>(
                    spa_buffer_find_meta_data(buffer->buffer, SPA_META_Header, sizeof(spa_meta_header)))) {
                *header = spa_meta_header {};
                header->pts = self->m_pictureTime;
            }
            ++self->m_sent;
        }
        pw_stream_queue_buffer(self->m_stream, buffer);
    }

    Shape m_shape; // offered
    Shape m_active; // agreed: what frames are written in
    pw_thread_loop* m_loop = nullptr;
    pw_context* m_context = nullptr;
    pw_core* m_core = nullptr;
    pw_stream* m_stream = nullptr;
    spa_hook m_listener {};
    std::mutex m_mutex;
    std::uint32_t m_colour = 0;
    bool m_unchanged = false;
    std::int64_t m_pictureTime = 0;
    std::int64_t m_sent = 0;
};

} // namespace corvex::test
