/* A Wayland client of the tests: a full-screen surface of eight vertical colour bands with a
 * white 64x64 square whose place tells the time. SIGUSR1 puts the square at step 0 and starts
 * it: one step (32 pixels to the right) every 100 ms up to kSteps, then it stands still until the
 * next SIGUSR1. SIGUSR2 starts (and stops) a walk without pause, a new picture as fast as the
 * compositor takes them. The picture follows the output's size when it changes. */
#define _GNU_SOURCE
#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <time.h>
#include <unistd.h>
#include <wayland-client.h>

#include "bands.h"
#include "xdg-shell-client-protocol.h"

static struct wl_compositor* compositor;
static struct wl_shm* shm;
static struct xdg_wm_base* wmBase;
static int width = 0, height = 0, configured = 0;
static volatile sig_atomic_t restart = 0;
static volatile sig_atomic_t animate = 0; /* SIGUSR2: redraw without pause, for benchmarks */
static int step = 0;
static int moving = 0;

static void onGlobal(void* data, struct wl_registry* registry, uint32_t name, const char* interface,
                     uint32_t version) {
  (void)data;
  (void)version;
  if (strcmp(interface, wl_compositor_interface.name) == 0)
    compositor = wl_registry_bind(registry, name, &wl_compositor_interface, 4);
  else if (strcmp(interface, wl_shm_interface.name) == 0)
    shm = wl_registry_bind(registry, name, &wl_shm_interface, 1);
  else if (strcmp(interface, xdg_wm_base_interface.name) == 0)
    wmBase = wl_registry_bind(registry, name, &xdg_wm_base_interface, 1);
}
static void onGlobalRemove(void* data, struct wl_registry* registry, uint32_t name) {
  (void)data;
  (void)registry;
  (void)name;
}
static const struct wl_registry_listener registryListener = {onGlobal, onGlobalRemove};

static void onPing(void* data, struct xdg_wm_base* base, uint32_t serial) {
  (void)data;
  xdg_wm_base_pong(base, serial);
}
static const struct xdg_wm_base_listener wmBaseListener = {onPing};

static void onSurfaceConfigure(void* data, struct xdg_surface* surface, uint32_t serial) {
  (void)data;
  xdg_surface_ack_configure(surface, serial);
  configured = 1;
}
static const struct xdg_surface_listener surfaceListener = {onSurfaceConfigure};

static void onToplevelConfigure(void* data, struct xdg_toplevel* toplevel, int32_t w, int32_t h,
                                struct wl_array* states) {
  (void)data;
  (void)toplevel;
  (void)states;
  if (w > 0 && h > 0) {
    width = w;
    height = h;
  }
}
static void onClose(void* data, struct xdg_toplevel* toplevel) {
  (void)data;
  (void)toplevel;
  exit(0);
}
static const struct xdg_toplevel_listener toplevelListener = {.configure = onToplevelConfigure,
                                                              .close = onClose};

static void onRelease(void* data, struct wl_buffer* buffer) {
  (void)data;
  wl_buffer_destroy(buffer);
}
static const struct wl_buffer_listener bufferListener = {onRelease};

static void draw(struct wl_surface* surface) {
  const int stride = width * 4;
  const size_t size = (size_t)stride * height;
  const int fd = memfd_create("bands", MFD_CLOEXEC);
  if (fd < 0 || ftruncate(fd, (off_t)size) != 0) exit(2);
  uint32_t* pixels = mmap(NULL, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (pixels == MAP_FAILED) exit(2);
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) pixels[(size_t)y * width + x] = qvBandColour(x, width);
  const int left = qvSquareLeft(step);
  for (int y = kSquareTop; y < kSquareTop + kSquareSize && y < height; ++y)
    for (int x = left; x < left + kSquareSize && x < width; ++x)
      pixels[(size_t)y * width + x] = 0xFFFFFF;
  munmap(pixels, size);
  struct wl_shm_pool* pool = wl_shm_create_pool(shm, fd, (int32_t)size);
  struct wl_buffer* buffer =
      wl_shm_pool_create_buffer(pool, 0, width, height, stride, WL_SHM_FORMAT_XRGB8888);
  wl_buffer_add_listener(buffer, &bufferListener, NULL);
  wl_shm_pool_destroy(pool);
  close(fd);
  wl_surface_attach(surface, buffer, 0, 0);
  wl_surface_damage(surface, 0, 0, width, height);
  wl_surface_commit(surface);
}

static void onSignal(int sig) {
  if (sig == SIGUSR1) restart = 1;
  if (sig == SIGUSR2) animate = !animate;
}

static double nowMs(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return t.tv_sec * 1000.0 + t.tv_nsec / 1e6;
}

int main(void) {
  signal(SIGUSR1, onSignal);
  signal(SIGUSR2, onSignal);
  struct wl_display* display = wl_display_connect(NULL);
  if (display == NULL) {
    fprintf(stderr, "bands_client: no Wayland display\n");
    return 1;
  }
  struct wl_registry* registry = wl_display_get_registry(display);
  wl_registry_add_listener(registry, &registryListener, NULL);
  wl_display_roundtrip(display);
  if (compositor == NULL || shm == NULL || wmBase == NULL) return 1;
  xdg_wm_base_add_listener(wmBase, &wmBaseListener, NULL);
  struct wl_surface* surface = wl_compositor_create_surface(compositor);
  struct xdg_surface* xdgSurface = xdg_wm_base_get_xdg_surface(wmBase, surface);
  xdg_surface_add_listener(xdgSurface, &surfaceListener, NULL);
  struct xdg_toplevel* toplevel = xdg_surface_get_toplevel(xdgSurface);
  xdg_toplevel_add_listener(toplevel, &toplevelListener, NULL);
  xdg_toplevel_set_title(toplevel, "quorvane bands");
  xdg_toplevel_set_fullscreen(toplevel, NULL);
  wl_surface_commit(surface);
  while (!configured) {
    if (wl_display_dispatch(display) < 0) return 1;
  }
  /* A first configure without a size leaves it to the client; the full-screen size follows. */
  if (width == 0 || height == 0) {
    width = 640;
    height = 480;
  }
  int drawnWidth = 0, drawnHeight = 0, drawnStep = -1;
  double next = nowMs();
  for (;;) {
    if (restart) {
      restart = 0;
      step = 0;
      moving = 1;
      drawnStep = -1;
      next = nowMs() + kStepMilliseconds;
    }
    if (animate) step = (step + 1) % (kSteps + 1);
    if (moving && nowMs() >= next) {
      if (step < kSteps) ++step;
      if (step >= kSteps) moving = 0;
      next += kStepMilliseconds;
    }
    if (width > 0 && height > 0 &&
        (width != drawnWidth || height != drawnHeight || step != drawnStep)) {
      draw(surface);
      drawnWidth = width;
      drawnHeight = height;
      drawnStep = step;
      if (!animate) printf("drawn %dx%d step %d\n", width, height, step);
      fflush(stdout);
    }
    wl_display_flush(display);
    struct pollfd p = {wl_display_get_fd(display), POLLIN, 0};
    if (poll(&p, 1, 10) > 0) {
      if (wl_display_dispatch(display) < 0) return 1;
    } else {
      wl_display_dispatch_pending(display);
    }
  }
}
