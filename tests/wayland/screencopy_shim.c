/* Preloaded into the test's portal backend only (never into the product): the backend of
 * Debian 12 insists on a DMA-BUF format event from each screencopy frame when its portal
 * interface is recent, and a compositor rendering without a GPU never sends one, so no cast can
 * start on a machine without a GPU. The shim wraps the listener the backend adds to each
 * zwlr_screencopy_frame_v1 and, just before buffer_done, delivers one linux_dmabuf event that
 * carries the shared-memory buffer's format and size. The backend still offers only shared
 * memory to the stream. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <wayland-client-core.h>

/* zwlr_screencopy_frame_v1 events, in protocol order (version 3). */
typedef void (*Buffer)(void*, void*, uint32_t, uint32_t, uint32_t, uint32_t);
typedef void (*Flags)(void*, void*, uint32_t);
typedef void (*Ready)(void*, void*, uint32_t, uint32_t, uint32_t);
typedef void (*Failed)(void*, void*);
typedef void (*Damage)(void*, void*, uint32_t, uint32_t, uint32_t, uint32_t);
typedef void (*Dmabuf)(void*, void*, uint32_t, uint32_t, uint32_t);
typedef void (*BufferDone)(void*, void*);
struct FrameListener {
  Buffer buffer;
  Flags flags;
  Ready ready;
  Failed failed;
  Damage damage;
  Dmabuf linux_dmabuf;
  BufferDone buffer_done;
};

struct Wrapped {
  struct FrameListener ours; /* first: the proxy's listener pointer is this struct */
  const struct FrameListener* theirs;
  void* data;
  uint32_t format, width, height;
  int sawDmabuf;
};

/* wl_shm formats 0 (ARGB8888) and 1 (XRGB8888) are the only ones not equal to their DRM code. */
static uint32_t drmFormat(uint32_t shm) {
  if (shm == 0) return 0x34325241; /* AR24 */
  if (shm == 1) return 0x34325258; /* XR24 */
  return shm;
}

static void onBuffer(void* d, void* f, uint32_t format, uint32_t w, uint32_t h, uint32_t stride) {
  struct Wrapped* x = d;
  x->format = format;
  x->width = w;
  x->height = h;
  if (x->theirs->buffer) x->theirs->buffer(x->data, f, format, w, h, stride);
}
static void onFlags(void* d, void* f, uint32_t flags) {
  struct Wrapped* x = d;
  if (x->theirs->flags) x->theirs->flags(x->data, f, flags);
}
static void onReady(void* d, void* f, uint32_t a, uint32_t b, uint32_t c) {
  struct Wrapped* x = d;
  if (x->theirs->ready) x->theirs->ready(x->data, f, a, b, c);
}
static void onFailed(void* d, void* f) {
  struct Wrapped* x = d;
  if (x->theirs->failed) x->theirs->failed(x->data, f);
}
static void onDamage(void* d, void* f, uint32_t a, uint32_t b, uint32_t c, uint32_t e) {
  struct Wrapped* x = d;
  if (x->theirs->damage) x->theirs->damage(x->data, f, a, b, c, e);
}
static void onDmabuf(void* d, void* f, uint32_t format, uint32_t w, uint32_t h) {
  struct Wrapped* x = d;
  x->sawDmabuf = 1;
  if (x->theirs->linux_dmabuf) x->theirs->linux_dmabuf(x->data, f, format, w, h);
}
static void onBufferDone(void* d, void* f) {
  struct Wrapped* x = d;
  if (!x->sawDmabuf && x->theirs->linux_dmabuf) {
    x->theirs->linux_dmabuf(x->data, f, drmFormat(x->format), x->width, x->height);
  }
  x->sawDmabuf = 0;
  if (x->theirs->buffer_done) x->theirs->buffer_done(x->data, f);
}

int wl_proxy_add_listener(struct wl_proxy* proxy, void (**implementation)(void), void* data) {
  static int (*real)(struct wl_proxy*, void (**)(void), void*);
  if (real == NULL) real = dlsym(RTLD_NEXT, "wl_proxy_add_listener");
  if (strcmp(wl_proxy_get_class(proxy), "zwlr_screencopy_frame_v1") != 0) {
    return real(proxy, implementation, data);
  }
  /* One per frame; frames are few and short-lived, the memory is left to the process. */
  struct Wrapped* x = calloc(1, sizeof(*x));
  if (x == NULL) return real(proxy, implementation, data);
  x->theirs = (const struct FrameListener*)implementation;
  x->data = data;
  x->ours = (struct FrameListener){onBuffer, onFlags,  onReady,     onFailed,
                                   onDamage, onDmabuf, onBufferDone};
  return real(proxy, (void (**)(void)) & x->ours, x);
}
