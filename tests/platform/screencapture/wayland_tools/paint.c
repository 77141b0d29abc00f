/* paint: a minimal Wayland client (wl_shm + xdg-shell) that fills a fullscreen
 * window with known colours, for screen-capture tests on a headless compositor.
 *   paint frame   [seconds]          new colour on every frame callback (worst case: whole screen changes each frame)
 *   paint stdin   [seconds]          one colour per line of standard input (RRGGBB, or "grid", or "bars RRGGBB":
 *                                    the colour between black bars of an eighth of the height above and below,
 *                                    as a letterboxed film shows), committed once each: between lines the screen
 *                                    is still
 * Every colour change is logged on stdout as "paint <CLOCK_MONOTONIC ns> <RRGGBB>".
 * Built by CMake (tests/platform/screencapture) into BUILD/test-tools/wayland_paint. */
#define _GNU_SOURCE
#include "xdg-shell.h"
#include <poll.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <time.h>
#include <unistd.h>
#include <wayland-client.h>

static struct wl_compositor *compositor;
static struct wl_shm *shm;
static struct xdg_wm_base *wm_base;
static int width = 0, height = 0, configured = 0, frame_done = 1;
static const uint32_t palette[] = { 0xff0000, 0x00ff00, 0x0000ff, 0xffff00, 0x00ffff, 0xff00ff, 0xffffff, 0x808080 };
static const uint32_t grid[9] = { 0xff0000, 0x00ff00, 0x0000ff, 0xffff00, 0x00ffff, 0xff00ff, 0xffffff, 0x000000, 0x808080 };

static int64_t now_ns(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (int64_t)ts.tv_sec * 1000000000 + ts.tv_nsec;
}

static void reg_global(void *d, struct wl_registry *r, uint32_t name, const char *iface, uint32_t ver)
{
    if (!strcmp(iface, wl_compositor_interface.name))
        compositor = wl_registry_bind(r, name, &wl_compositor_interface, 4);
    else if (!strcmp(iface, wl_shm_interface.name))
        shm = wl_registry_bind(r, name, &wl_shm_interface, 1);
    else if (!strcmp(iface, xdg_wm_base_interface.name))
        wm_base = wl_registry_bind(r, name, &xdg_wm_base_interface, 1);
}
static void reg_remove(void *d, struct wl_registry *r, uint32_t name) { }
static const struct wl_registry_listener reg_listener = { reg_global, reg_remove };

static void wm_ping(void *d, struct xdg_wm_base *b, uint32_t serial) { xdg_wm_base_pong(b, serial); }
static const struct xdg_wm_base_listener wm_listener = { wm_ping };
static void xs_configure(void *d, struct xdg_surface *s, uint32_t serial)
{
    xdg_surface_ack_configure(s, serial);
    configured = 1;
}
static const struct xdg_surface_listener xs_listener = { xs_configure };
static void top_configure(void *d, struct xdg_toplevel *t, int32_t w, int32_t h, struct wl_array *st)
{
    if (w > 0 && h > 0) {
        width = w;
        height = h;
    }
}
static void top_close(void *d, struct xdg_toplevel *t) { exit(0); }
static const struct xdg_toplevel_listener top_listener = { top_configure, top_close };
static void frame_cb(void *d, struct wl_callback *cb, uint32_t t)
{
    wl_callback_destroy(cb);
    frame_done = 1;
}
static const struct wl_callback_listener frame_listener = { frame_cb };

struct buf {
    struct wl_buffer *wl;
    uint32_t *px;
    size_t size;
    int busy;
};
static void buf_release(void *d, struct wl_buffer *b) { ((struct buf *)d)->busy = 0; }
static const struct wl_buffer_listener buf_listener = { buf_release };

static void make_buffer(struct buf *b)
{
    int stride = width * 4, size = stride * height;
    int fd = memfd_create("paint", MFD_CLOEXEC);
    if (fd < 0 || ftruncate(fd, size) < 0) {
        perror("memfd");
        exit(1);
    }
    b->px = mmap(NULL, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    b->size = size;
    b->busy = 0;
    struct wl_shm_pool *pool = wl_shm_create_pool(shm, fd, size);
    b->wl = wl_shm_pool_create_buffer(pool, 0, width, height, stride, WL_SHM_FORMAT_XRGB8888);
    wl_buffer_add_listener(b->wl, &buf_listener, b);
    wl_shm_pool_destroy(pool);
    close(fd);
}

static void fill(struct buf *b, uint32_t rgb)
{
    size_t n = (size_t)width * height;
    for (size_t i = 0; i < n; i++)
        b->px[i] = rgb;
}

static void fill_bars(struct buf *b, uint32_t rgb)
{
    int bar = height / 8;
    for (int y = 0; y < height; y++)
        for (int x = 0; x < width; x++)
            b->px[(size_t)y * width + x] = y < bar || y >= height - bar ? 0 : rgb;
}

static void fill_grid(struct buf *b)
{
    for (int y = 0; y < height; y++)
        for (int x = 0; x < width; x++)
            b->px[(size_t)y * width + x] = grid[(y * 3 / height) * 3 + x * 3 / width];
}

int main(int argc, char **argv)
{
    const char *mode = argc > 1 ? argv[1] : "frame";
    const int from_stdin = !strcmp(mode, "stdin");
    double seconds = atof(argc > 2 ? argv[2] : "10");
    setvbuf(stdout, NULL, _IOLBF, 0);

    struct wl_display *dpy = wl_display_connect(NULL);
    if (!dpy) {
        fprintf(stderr, "paint: cannot connect to the Wayland display\n");
        return 1;
    }
    struct wl_registry *reg = wl_display_get_registry(dpy);
    wl_registry_add_listener(reg, &reg_listener, NULL);
    wl_display_roundtrip(dpy);
    if (!compositor || !shm || !wm_base) {
        fprintf(stderr, "paint: compositor lacks wl_compositor/wl_shm/xdg_wm_base\n");
        return 1;
    }
    xdg_wm_base_add_listener(wm_base, &wm_listener, NULL);
    struct wl_surface *surf = wl_compositor_create_surface(compositor);
    struct xdg_surface *xs = xdg_wm_base_get_xdg_surface(wm_base, surf);
    xdg_surface_add_listener(xs, &xs_listener, NULL);
    struct xdg_toplevel *top = xdg_surface_get_toplevel(xs);
    xdg_toplevel_add_listener(top, &top_listener, NULL);
    xdg_toplevel_set_title(top, "corvex paint");
    xdg_toplevel_set_app_id(top, "corvex-paint");
    xdg_toplevel_set_fullscreen(top, NULL);
    wl_surface_commit(surf);
    while (!configured)
        wl_display_dispatch(dpy);
    wl_display_roundtrip(dpy); /* the fullscreen state usually arrives in a second configure */
    if (width == 0 || height == 0) {
        width = 1920;
        height = 1080;
    }
    fprintf(stderr, "paint: %dx%d mode %s\n", width, height, mode);

    struct buf bufs[3] = { 0 };
    int buf_w = width, buf_h = height;
    for (int i = 0; i < 3; i++)
        make_buffer(&bufs[i]);

    int64_t end = now_ns() + (int64_t)(seconds * 1e9);
    unsigned colour = 0;
    long frames = 0;
    while (now_ns() < end) {
        int due = frame_done;
        if (width != buf_w || height != buf_h) { /* the compositor asked for another size: honour it */
            for (int i = 0; i < 3; i++) {
                wl_buffer_destroy(bufs[i].wl);
                munmap(bufs[i].px, bufs[i].size);
                make_buffer(&bufs[i]);
            }
            buf_w = width, buf_h = height;
            fprintf(stderr, "paint: reconfigured to %dx%d\n", width, height);
            frame_done = 1;
        }
        static uint32_t wanted = 0;
        static int wanted_grid = 0, wanted_bars = 0, have_line = 0;
        if (from_stdin) {
            char line[64];
            struct pollfd in = { 0, POLLIN, 0 };
            if (!have_line && poll(&in, 1, 0) > 0) {
                if (!fgets(line, sizeof line, stdin))
                    break; /* the test closed our input: done */
                wanted_grid = !strncmp(line, "grid", 4);
                wanted_bars = !strncmp(line, "bars ", 5);
                wanted = (uint32_t)strtoul(wanted_bars ? line + 5 : line, NULL, 16);
                have_line = 1;
            }
            due = have_line;
        }
        if (due) {
            struct buf *b = NULL;
            for (int i = 0; i < 3 && !b; i++)
                if (!bufs[i].busy)
                    b = &bufs[i];
            if (b) {
                uint32_t rgb = from_stdin ? wanted : palette[colour % (sizeof palette / sizeof *palette)];
                have_line = 0;
                if (from_stdin && wanted_grid)
                    fill_grid(b);
                else if (from_stdin && wanted_bars)
                    fill_bars(b, rgb);
                else
                    fill(b, rgb);
                b->busy = 1;
                wl_surface_attach(surf, b->wl, 0, 0);
                wl_surface_damage_buffer(surf, 0, 0, width, height);
                struct wl_callback *cb = wl_surface_frame(surf);
                wl_callback_add_listener(cb, &frame_listener, NULL);
                frame_done = 0;
                wl_surface_commit(surf);
                wl_display_flush(dpy);
                printf("paint %lld %06x\n", (long long)now_ns(), rgb);
                colour++;
                frames++;
            }
        }
        /* Wait a little for events (standard input is polled between). */
        wl_display_flush(dpy);
        int timeout = from_stdin ? 2 : 5;
        struct pollfd pfd = { wl_display_get_fd(dpy), POLLIN, 0 };
        while (wl_display_prepare_read(dpy) != 0)
            wl_display_dispatch_pending(dpy);
        if (poll(&pfd, 1, timeout) > 0)
            wl_display_read_events(dpy);
        else
            wl_display_cancel_read(dpy);
        wl_display_dispatch_pending(dpy);
    }
    fprintf(stderr, "paint: %ld commits in %.1f s (%.1f/s)\n", frames, seconds, frames / seconds);
    wl_display_disconnect(dpy);
    return 0;
}
