/* other_window: another program's window on the test's Wayland desktop, which takes the focus
 * from the studio when it maps, and a launcher that hands out activation tokens.
 *   other_window          maps a small grey toplevel (app id "corvex-other-window") and prints "mapped";
 *                         then, for each line "token" on standard input, asks the compositor for an
 *                         activation token for the studio (xdg_activation_v1, the way a launcher does
 *                         before it starts a program) and prints "token <token>";
 *                         ends when standard input closes or the compositor closes the window.
 * Built by CMake (tests/app) into BUILD/test-tools/wayland_other_window. */
#define _GNU_SOURCE
#include "xdg-activation-v1.h"
#include "xdg-shell.h"
#include <poll.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>
#include <wayland-client.h>

static struct wl_compositor *compositor;
static struct wl_shm *shm;
static struct xdg_wm_base *wm_base;
static struct xdg_activation_v1 *activation;
static int width = 0, height = 0, configured = 0, closed = 0;
static char token[1024];

static void reg_global(void *d, struct wl_registry *r, uint32_t name, const char *iface, uint32_t ver)
{
    if (!strcmp(iface, wl_compositor_interface.name))
        compositor = wl_registry_bind(r, name, &wl_compositor_interface, 4);
    else if (!strcmp(iface, wl_shm_interface.name))
        shm = wl_registry_bind(r, name, &wl_shm_interface, 1);
    else if (!strcmp(iface, xdg_wm_base_interface.name))
        wm_base = wl_registry_bind(r, name, &xdg_wm_base_interface, 1);
    else if (!strcmp(iface, xdg_activation_v1_interface.name))
        activation = wl_registry_bind(r, name, &xdg_activation_v1_interface, 1);
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
static void top_close(void *d, struct xdg_toplevel *t) { closed = 1; }
static const struct xdg_toplevel_listener top_listener = { top_configure, top_close };

static void token_done(void *d, struct xdg_activation_token_v1 *t, const char *value)
{
    snprintf(token, sizeof token, "%s", value);
}
static const struct xdg_activation_token_v1_listener token_listener = { token_done };

static void paint(struct wl_surface *surf)
{
    int stride = width * 4, size = stride * height;
    int fd = memfd_create("other-window", MFD_CLOEXEC);
    if (fd < 0 || ftruncate(fd, size) < 0) {
        perror("other_window: memfd");
        exit(1);
    }
    uint32_t *px = mmap(NULL, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    for (int i = 0; i < width * height; i++)
        px[i] = 0x606060;
    struct wl_shm_pool *pool = wl_shm_create_pool(shm, fd, size);
    struct wl_buffer *buffer = wl_shm_pool_create_buffer(pool, 0, width, height, stride, WL_SHM_FORMAT_XRGB8888);
    wl_shm_pool_destroy(pool);
    close(fd);
    wl_surface_attach(surf, buffer, 0, 0);
    wl_surface_damage_buffer(surf, 0, 0, width, height);
    wl_surface_commit(surf);
}

int main(void)
{
    setvbuf(stdout, NULL, _IOLBF, 0);
    struct wl_display *dpy = wl_display_connect(NULL);
    if (!dpy) {
        fprintf(stderr, "other_window: cannot connect to the Wayland display\n");
        return 1;
    }
    struct wl_registry *reg = wl_display_get_registry(dpy);
    wl_registry_add_listener(reg, &reg_listener, NULL);
    wl_display_roundtrip(dpy);
    if (!compositor || !shm || !wm_base || !activation) {
        fprintf(stderr, "other_window: the compositor lacks wl_compositor, wl_shm, xdg_wm_base or xdg_activation_v1\n");
        return 1;
    }
    xdg_wm_base_add_listener(wm_base, &wm_listener, NULL);
    struct wl_surface *surf = wl_compositor_create_surface(compositor);
    struct xdg_surface *xs = xdg_wm_base_get_xdg_surface(wm_base, surf);
    xdg_surface_add_listener(xs, &xs_listener, NULL);
    struct xdg_toplevel *top = xdg_surface_get_toplevel(xs);
    xdg_toplevel_add_listener(top, &top_listener, NULL);
    xdg_toplevel_set_title(top, "another program");
    xdg_toplevel_set_app_id(top, "corvex-other-window");
    wl_surface_commit(surf);
    while (!configured)
        if (wl_display_dispatch(dpy) < 0)
            return 1;
    if (width == 0 || height == 0) {
        width = 640;
        height = 480;
    }
    paint(surf);
    wl_display_roundtrip(dpy);
    printf("mapped\n");

    char line[64];
    while (!closed) {
        struct pollfd fds[2] = { { 0, POLLIN, 0 }, { wl_display_get_fd(dpy), POLLIN, 0 } };
        wl_display_flush(dpy);
        if (poll(fds, 2, -1) < 0)
            break;
        if (fds[1].revents & POLLIN) {
            if (wl_display_dispatch(dpy) < 0)
                break;
        }
        if (fds[0].revents & (POLLIN | POLLHUP)) {
            if (!fgets(line, sizeof line, stdin))
                break; /* the test closed our input: done */
            if (strncmp(line, "token", 5))
                continue;
            /* As a launcher with no input to point at: no seat, serial or surface of ours. */
            token[0] = 0;
            struct xdg_activation_token_v1 *request = xdg_activation_v1_get_activation_token(activation);
            xdg_activation_token_v1_add_listener(request, &token_listener, NULL);
            xdg_activation_token_v1_set_app_id(request, "app.corvex.Studio");
            xdg_activation_token_v1_commit(request);
            while (!token[0])
                if (wl_display_dispatch(dpy) < 0)
                    return 1;
            xdg_activation_token_v1_destroy(request);
            wl_display_flush(dpy);
            printf("token %s\n", token);
        }
    }
    wl_display_disconnect(dpy);
    return 0;
}
