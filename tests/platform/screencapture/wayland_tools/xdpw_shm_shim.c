/* LD_PRELOAD shim for xdg-desktop-portal-wlr 0.7.x on a wlroots compositor that
 * renders with pixman (no GPU, no /dev/dri): such a compositor never sends
 * zwlr_screencopy_frame_v1.linux_dmabuf, and xdpw 0.7 refuses to Start a cast
 * without a DMA-BUF format ("unable to receive a valid format from wlr_screencopy")
 * even though it then uses shared memory only. This shim replays every `buffer`
 * (wl_shm) event as a `linux_dmabuf` event with the same format and size. With no
 * zwp_linux_dmabuf_v1 global xdpw has no modifiers, so it offers only MemFd
 * buffers to PipeWire: nothing DMA-BUF is ever allocated.
 * Built by CMake (tests/platform/screencapture) into BUILD/test-tools/xdpw_shm_shim.so.
 * scripts/wayland-test-services preloads it into the portal backend. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdint.h>
#include <string.h>

struct wl_proxy;
const char *wl_proxy_get_class(struct wl_proxy *proxy);

/* zwlr_screencopy_frame_v1 events, in protocol order:
 * buffer, flags, ready, failed, damage, linux_dmabuf, buffer_done */
enum { EV_BUFFER = 0, EV_LINUX_DMABUF = 5, EV_COUNT = 7 };
typedef void (*generic_fn)(void);
typedef void (*buffer_fn)(void *, struct wl_proxy *, uint32_t, uint32_t, uint32_t, uint32_t);
typedef void (*dmabuf_fn)(void *, struct wl_proxy *, uint32_t, uint32_t, uint32_t);

static generic_fn original[EV_COUNT];
static generic_fn wrapped[EV_COUNT];

static void wrapped_buffer(void *data, struct wl_proxy *frame, uint32_t shm_format, uint32_t width,
    uint32_t height, uint32_t stride)
{
    ((buffer_fn)original[EV_BUFFER])(data, frame, shm_format, width, height, stride);
    /* wl_shm formats are DRM fourccs except the two oldest ones. */
    uint32_t fourcc = shm_format == 0 ? 0x34325241u /* AR24 */
        : shm_format == 1             ? 0x34325258u /* XR24 */
                                      : shm_format;
    if (original[EV_LINUX_DMABUF])
        ((dmabuf_fn)original[EV_LINUX_DMABUF])(data, frame, fourcc, width, height);
}

int wl_proxy_add_listener(struct wl_proxy *proxy, void (**implementation)(void), void *data)
{
    static int (*real)(struct wl_proxy *, void (**)(void), void *);
    if (!real)
        real = (int (*)(struct wl_proxy *, void (**)(void), void *))dlsym(RTLD_NEXT, "wl_proxy_add_listener");
    const char *cls = wl_proxy_get_class(proxy);
    if (cls && strcmp(cls, "zwlr_screencopy_frame_v1") == 0) {
        /* xdpw uses one static listener for every frame. */
        memcpy(original, implementation, sizeof original);
        memcpy(wrapped, implementation, sizeof wrapped);
        wrapped[EV_BUFFER] = (generic_fn)wrapped_buffer;
        implementation = wrapped;
    }
    return real(proxy, implementation, data);
}
