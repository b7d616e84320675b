// The screen cast of Wayland desktops: the desktop portal's ScreenCast interface over D-Bus
// (GDBus) grants the screen, PipeWire delivers it.
//
// Handshake: CreateSession, SelectSources (monitor, and windows where the desktop offers them;
// the pointer embedded or hidden; persist mode 2 with the restore token of the last grant),
// Start (the desktop's dialog, skipped when the token is honoured), OpenPipeWireRemote. Each
// request answers through a Response signal on its request object; the signals are dispatched
// on a main context of the cast's own, so nothing depends on the host running a GLib loop.
//
// The stream asks for BGRx/BGRA (RGBx/RGBA are swapped into that order) in shared memory. The
// PipeWire thread copies each new picture into the cast's newest picture; the capture thread
// copies that into its bitmap when it asks. Pictures come only when the screen changes: the
// last one stands until the next. The cast has ended when the session is closed (the user
// stopped sharing), the portal leaves the bus, or the stream stops for good.
#include "screen_portal.h"

#include <errno.h>
#include <gio/gio.h>
#include <gio/gunixfdlist.h>
#include <pipewire/pipewire.h>
#include <spa/param/video/format-utils.h>
#include <spa/pod/builder.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "quorvane_capture.h"

namespace quorvane_capture {
namespace platform {
namespace {

constexpr const char* kPortalName = "org.freedesktop.portal.Desktop";
constexpr const char* kPortalPath = "/org/freedesktop/portal/desktop";
constexpr const char* kScreenCast = "org.freedesktop.portal.ScreenCast";
constexpr int kCallMilliseconds = 5000;
// The desktop's dialog waits for a person.
constexpr int kChooseMilliseconds = 300000;
// A stream paused this long after it streamed has stopped for good (a size change pauses it
// only while it renegotiates).
constexpr double kPausedForGoodMilliseconds = 1500.0;
// How long the opening waits for the stream's first picture. Some desktops send one only once
// the screen changes: the recording then starts black until it does.
constexpr double kFirstPictureMilliseconds = 2000.0;

double nowMilliseconds() {
  return std::chrono::duration<double, std::milli>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

struct Cast {
  std::mutex mutex;  // everything below that the PipeWire thread touches
  GDBusConnection* bus = nullptr;
  GMainContext* context = nullptr;
  std::string session;
  guint closedSubscription = 0;
  guint ownerSubscription = 0;
  pw_thread_loop* loop = nullptr;
  pw_context* pwContext = nullptr;
  pw_core* core = nullptr;
  pw_stream* stream = nullptr;
  spa_hook streamListener{};
  int32_t firstWidth = 0;  // the size the recording keeps
  int32_t firstHeight = 0;
  bool formatSeen = false;
  int32_t width = 0;  // the stream's current format
  int32_t height = 0;
  bool swapRedBlue = false;
  std::vector<uint8_t> newest;  // width x height x 4, BGRx
  int32_t newestWidth = 0;
  int32_t newestHeight = 0;
  uint64_t frames = 0;  // pictures received
  bool streamed = false;
  double pausedSince = -1.0;
  std::atomic<bool> ended{false};
};

std::mutex castMutex;  // open and close against the grabber's use
Cast* cast = nullptr;

// --- Restore token ------------------------------------------------------------------------

std::string stateFolder() {
  const char* state = std::getenv("XDG_STATE_HOME");
  if (state != nullptr && state[0] == '/') return std::string(state) + "/quorvane";
  const char* home = std::getenv("HOME");
  if (home == nullptr || home[0] == '\0') return std::string();
  return std::string(home) + "/.local/state/quorvane";
}

std::string tokenPath() {
  const std::string folder = stateFolder();
  return folder.empty() ? folder : folder + "/screen-cast-token";
}

std::string readToken() {
  const std::string path = tokenPath();
  FILE* file = path.empty() ? nullptr : std::fopen(path.c_str(), "r");
  if (file == nullptr) return std::string();
  char text[512] = {};
  const size_t length = std::fread(text, 1, sizeof(text) - 1, file);
  std::fclose(file);
  std::string token(text, length);
  while (!token.empty() && (token.back() == '\n' || token.back() == '\r')) token.pop_back();
  return token;
}

bool makeFolders(const std::string& path) {
  for (size_t at = 1; at <= path.size(); ++at) {
    if (at == path.size() || path[at] == '/') {
      const std::string part = path.substr(0, at);
      if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) return false;
    }
  }
  return true;
}

// Written beside and renamed, so that a half-written token never stands.
bool writeToken(const std::string& token) {
  const std::string path = tokenPath();
  if (path.empty() || !makeFolders(stateFolder())) return false;
  const std::string part = path + ".part";
  FILE* file = std::fopen(part.c_str(), "w");
  if (file == nullptr) return false;
  const bool written = std::fwrite(token.data(), 1, token.size(), file) == token.size();
  if (std::fclose(file) != 0 || !written) {
    unlink(part.c_str());
    return false;
  }
  return rename(part.c_str(), path.c_str()) == 0;
}

// --- D-Bus --------------------------------------------------------------------------------

GVariant* readProperty(GDBusConnection* bus, const char* name) {
  GError* error = nullptr;
  GVariant* reply = g_dbus_connection_call_sync(
      bus, kPortalName, kPortalPath, "org.freedesktop.DBus.Properties", "Get",
      g_variant_new("(ss)", kScreenCast, name), G_VARIANT_TYPE("(v)"), G_DBUS_CALL_FLAGS_NONE,
      kCallMilliseconds, nullptr, &error);
  if (reply == nullptr) {
    g_clear_error(&error);
    return nullptr;
  }
  GVariant* value = nullptr;
  g_variant_get(reply, "(v)", &value);
  g_variant_unref(reply);
  return value;
}

uint32_t readUintProperty(GDBusConnection* bus, const char* name, uint32_t fallback) {
  GVariant* value = readProperty(bus, name);
  if (value == nullptr) return fallback;
  const uint32_t number =
      g_variant_is_of_type(value, G_VARIANT_TYPE_UINT32) ? g_variant_get_uint32(value) : fallback;
  g_variant_unref(value);
  return number;
}

GDBusConnection* sessionBus() {
  GError* error = nullptr;
  GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &error);
  g_clear_error(&error);
  return bus;
}

struct Reply {
  bool done = false;
  uint32_t code = 2;
  GVariant* results = nullptr;
};

void onResponse(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*,
                GVariant* parameters, gpointer data) {
  auto* reply = static_cast<Reply*>(data);
  if (reply->done) return;
  g_variant_get(parameters, "(u@a{sv})", &reply->code, &reply->results);
  reply->done = true;
}

// Runs one portal request: the options get their handle token, the answer comes as the
// request's Response. The portal's answer code: 0 granted, 1 cancelled by the user, 2 failed;
// 2 also when the call itself failed or no answer came in time.
uint32_t request(Cast& c, const char* method,
                 GVariant* (*arguments)(Cast&, GVariantBuilder*, void*), void* data,
                 int waitMilliseconds, GVariant** results, GUnixFDList* fds = nullptr) {
  static std::atomic<uint32_t> counter{0};
  const std::string token = "quorvane" + std::to_string(getpid()) + "_" + std::to_string(++counter);
  std::string sender = g_dbus_connection_get_unique_name(c.bus) + 1;
  std::replace(sender.begin(), sender.end(), '.', '_');
  const std::string path = std::string(kPortalPath) + "/request/" + sender + "/" + token;
  Reply reply;
  const guint subscription = g_dbus_connection_signal_subscribe(
      c.bus, kPortalName, "org.freedesktop.portal.Request", "Response", path.c_str(), nullptr,
      G_DBUS_SIGNAL_FLAGS_NO_MATCH_RULE, onResponse, &reply, nullptr);
  // The match rule is added by hand: NO_MATCH_RULE above keeps GDBus from adding a second one.
  const std::string rule =
      "type='signal',interface='org.freedesktop.portal.Request',path='" + path + "'";
  g_dbus_connection_call_sync(c.bus, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                              "org.freedesktop.DBus", "AddMatch",
                              g_variant_new("(s)", rule.c_str()), nullptr, G_DBUS_CALL_FLAGS_NONE,
                              kCallMilliseconds, nullptr, nullptr);
  GVariantBuilder options;
  g_variant_builder_init(&options, G_VARIANT_TYPE_VARDICT);
  g_variant_builder_add(&options, "{sv}", "handle_token", g_variant_new_string(token.c_str()));
  GError* error = nullptr;
  GVariant* answer = g_dbus_connection_call_with_unix_fd_list_sync(
      c.bus, kPortalName, kPortalPath, kScreenCast, method, arguments(c, &options, data), nullptr,
      G_DBUS_CALL_FLAGS_NONE, kCallMilliseconds, fds, nullptr, nullptr, &error);
  g_clear_error(&error);
  if (answer != nullptr) {
    g_variant_unref(answer);
    const double deadline = nowMilliseconds() + waitMilliseconds;
    while (!reply.done && nowMilliseconds() < deadline) {
      if (!g_main_context_iteration(c.context, FALSE)) g_usleep(2000);
    }
  }
  g_dbus_connection_signal_unsubscribe(c.bus, subscription);
  g_dbus_connection_call_sync(c.bus, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                              "org.freedesktop.DBus", "RemoveMatch",
                              g_variant_new("(s)", rule.c_str()), nullptr, G_DBUS_CALL_FLAGS_NONE,
                              kCallMilliseconds, nullptr, nullptr);
  if (!reply.done) return 2;
  if (results != nullptr) {
    *results = reply.results;
  } else if (reply.results != nullptr) {
    g_variant_unref(reply.results);
  }
  return reply.code;
}

GVariant* createSessionArguments(Cast&, GVariantBuilder* options, void*) {
  static std::atomic<uint32_t> sessions{0};
  const std::string token =
      "quorvane_session" + std::to_string(getpid()) + "_" + std::to_string(++sessions);
  g_variant_builder_add(options, "{sv}", "session_handle_token",
                        g_variant_new_string(token.c_str()));
  return g_variant_new("(a{sv})", options);
}

struct Selection {
  uint32_t types;
  uint32_t cursorMode;
  bool persist;
  std::string token;
};

GVariant* selectSourcesArguments(Cast& c, GVariantBuilder* options, void* data) {
  const auto* s = static_cast<Selection*>(data);
  g_variant_builder_add(options, "{sv}", "types", g_variant_new_uint32(s->types));
  g_variant_builder_add(options, "{sv}", "multiple", g_variant_new_boolean(FALSE));
  if (s->cursorMode != 0) {
    g_variant_builder_add(options, "{sv}", "cursor_mode", g_variant_new_uint32(s->cursorMode));
  }
  if (s->persist) {
    g_variant_builder_add(options, "{sv}", "persist_mode", g_variant_new_uint32(2));
    if (!s->token.empty()) {
      g_variant_builder_add(options, "{sv}", "restore_token",
                            g_variant_new_string(s->token.c_str()));
    }
  }
  return g_variant_new("(oa{sv})", c.session.c_str(), options);
}

GVariant* startArguments(Cast& c, GVariantBuilder* options, void*) {
  return g_variant_new("(osa{sv})", c.session.c_str(), "", options);
}

void onSessionGone(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*,
                   GVariant*, gpointer data) {
  static_cast<Cast*>(data)->ended = true;
}

void onOwnerChanged(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*,
                    GVariant* parameters, gpointer data) {
  const gchar* name = nullptr;
  const gchar* before = nullptr;
  const gchar* after = nullptr;
  g_variant_get(parameters, "(&s&s&s)", &name, &before, &after);
  if (after == nullptr || after[0] == '\0') static_cast<Cast*>(data)->ended = true;
}

// --- PipeWire -----------------------------------------------------------------------------

void onStateChanged(void* data, pw_stream_state, pw_stream_state state, const char*) {
  auto* c = static_cast<Cast*>(data);
  std::lock_guard<std::mutex> lock(c->mutex);
  if (state == PW_STREAM_STATE_STREAMING) {
    c->streamed = true;
    c->pausedSince = -1.0;
  } else if (state == PW_STREAM_STATE_ERROR ||
             (c->streamed && state == PW_STREAM_STATE_UNCONNECTED)) {
    c->ended = true;
  } else if (c->streamed && state == PW_STREAM_STATE_PAUSED && c->pausedSince < 0.0) {
    c->pausedSince = nowMilliseconds();
  }
}

void onParamChanged(void* data, uint32_t id, const spa_pod* param) {
  auto* c = static_cast<Cast*>(data);
  if (param == nullptr || id != SPA_PARAM_Format) return;
  uint32_t mediaType = 0, mediaSubtype = 0;
  if (spa_format_parse(param, &mediaType, &mediaSubtype) < 0 || mediaType != SPA_MEDIA_TYPE_video ||
      mediaSubtype != SPA_MEDIA_SUBTYPE_raw) {
    return;
  }
  spa_video_info_raw info{};
  if (spa_format_video_raw_parse(param, &info) < 0) return;
  {
    std::lock_guard<std::mutex> lock(c->mutex);
    c->width = static_cast<int32_t>(info.size.width);
    c->height = static_cast<int32_t>(info.size.height);
    c->swapRedBlue = info.format == SPA_VIDEO_FORMAT_RGBx || info.format == SPA_VIDEO_FORMAT_RGBA;
    if (!c->formatSeen) {
      c->firstWidth = c->width;
      c->firstHeight = c->height;
      c->formatSeen = true;
    }
  }
  uint8_t memory[1024];
  spa_pod_builder builder = SPA_POD_BUILDER_INIT(memory, sizeof(memory));
  const spa_pod* params[2];
  params[0] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
      &builder, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers, SPA_PARAM_BUFFERS_dataType,
      SPA_POD_CHOICE_FLAGS_Int((1 << SPA_DATA_MemFd) | (1 << SPA_DATA_MemPtr))));
  params[1] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
      &builder, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type,
      SPA_POD_Id(SPA_META_Header), SPA_PARAM_META_size, SPA_POD_Int(sizeof(spa_meta_header))));
  pw_stream_update_params(c->stream, params, 2);
}

void onProcess(void* data) {
  auto* c = static_cast<Cast*>(data);
  // Only the newest picture counts: older ones waiting in the queue go back unread.
  pw_buffer* newest = nullptr;
  while (pw_buffer* next = pw_stream_dequeue_buffer(c->stream)) {
    if (newest != nullptr) pw_stream_queue_buffer(c->stream, newest);
    newest = next;
  }
  if (newest == nullptr) return;
  spa_buffer* buffer = newest->buffer;
  const auto* header = static_cast<spa_meta_header*>(
      spa_buffer_find_meta_data(buffer, SPA_META_Header, sizeof(spa_meta_header)));
  const spa_data& plane = buffer->datas[0];
  const bool usable = buffer->n_datas > 0 && plane.data != nullptr && plane.chunk != nullptr &&
                      plane.chunk->size > 0 &&
                      (header == nullptr || (header->flags & SPA_META_HEADER_FLAG_CORRUPTED) == 0);
  if (usable) {
    std::lock_guard<std::mutex> lock(c->mutex);
    const int32_t width = c->width, height = c->height;
    const int32_t stride = plane.chunk->stride > 0 ? plane.chunk->stride : width * 4;
    const uint64_t needed = static_cast<uint64_t>(plane.chunk->offset) +
                            static_cast<uint64_t>(stride) * (height - 1) +
                            static_cast<uint64_t>(width) * 4;
    // A picture that does not fit its buffer is skipped rather than read beyond it.
    // A picture that does not fill its format (sent while a size change renegotiates) would
    // show the old size torn into the new one: skipped, the last whole picture stands.
    const uint64_t filled = static_cast<uint64_t>(plane.chunk->offset) + plane.chunk->size;
    if (width > 0 && height > 0 && stride >= width * 4 && needed <= plane.maxsize &&
        needed <= filled) {
      c->newest.resize(static_cast<size_t>(width) * height * 4);
      copyStreamPicture(static_cast<const uint8_t*>(plane.data) + plane.chunk->offset, stride,
                        width, height, c->swapRedBlue, c->newest.data());
      c->newestWidth = width;
      c->newestHeight = height;
      ++c->frames;
    }
  }
  pw_stream_queue_buffer(c->stream, newest);
}

const pw_stream_events kStreamEvents = [] {
  pw_stream_events events{};
  events.version = PW_VERSION_STREAM_EVENTS;
  events.state_changed = onStateChanged;
  events.param_changed = onParamChanged;
  events.process = onProcess;
  return events;
}();

bool connectStream(Cast& c, int fd, uint32_t node, int32_t width, int32_t height) {
  static std::once_flag initialised;
  std::call_once(initialised, [] { pw_init(nullptr, nullptr); });
  c.loop = pw_thread_loop_new("quorvane-cast", nullptr);
  if (c.loop == nullptr) {
    ::close(fd);
    return false;
  }
  c.pwContext = pw_context_new(pw_thread_loop_get_loop(c.loop), nullptr, 0);
  if (c.pwContext == nullptr || pw_thread_loop_start(c.loop) < 0) {
    ::close(fd);
    return false;
  }
  pw_thread_loop_lock(c.loop);
  c.core = pw_context_connect_fd(c.pwContext, fd, nullptr, 0);  // owns fd from here
  bool connected = false;
  if (c.core != nullptr) {
    c.stream = pw_stream_new(c.core, "quorvane screen",
                             pw_properties_new(PW_KEY_MEDIA_TYPE, "Video", PW_KEY_MEDIA_CATEGORY,
                                               "Capture", PW_KEY_MEDIA_ROLE, "Screen", nullptr));
  }
  if (c.stream != nullptr) {
    pw_stream_add_listener(c.stream, &c.streamListener, &kStreamEvents, &c);
    uint8_t memory[1024];
    spa_pod_builder builder = SPA_POD_BUILDER_INIT(memory, sizeof(memory));
    spa_rectangle size = SPA_RECTANGLE(static_cast<uint32_t>(std::max(width, 1)),
                                       static_cast<uint32_t>(std::max(height, 1)));
    spa_rectangle smallest = SPA_RECTANGLE(1, 1);
    spa_rectangle largest = SPA_RECTANGLE(16384, 16384);
    spa_fraction rate = SPA_FRACTION(60, 1);
    spa_fraction slowest = SPA_FRACTION(0, 1);
    spa_fraction fastest = SPA_FRACTION(1000, 1);
    const spa_pod* params[1];
    params[0] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
        &builder, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat, SPA_FORMAT_mediaType,
        SPA_POD_Id(SPA_MEDIA_TYPE_video), SPA_FORMAT_mediaSubtype,
        SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw), SPA_FORMAT_VIDEO_format,
        SPA_POD_CHOICE_ENUM_Id(5, SPA_VIDEO_FORMAT_BGRx, SPA_VIDEO_FORMAT_BGRx,
                               SPA_VIDEO_FORMAT_BGRA, SPA_VIDEO_FORMAT_RGBx, SPA_VIDEO_FORMAT_RGBA),
        SPA_FORMAT_VIDEO_size, SPA_POD_CHOICE_RANGE_Rectangle(&size, &smallest, &largest),
        SPA_FORMAT_VIDEO_framerate, SPA_POD_CHOICE_RANGE_Fraction(&rate, &slowest, &fastest)));
    connected = pw_stream_connect(c.stream, PW_DIRECTION_INPUT, node,
                                  static_cast<pw_stream_flags>(PW_STREAM_FLAG_AUTOCONNECT |
                                                               PW_STREAM_FLAG_MAP_BUFFERS),
                                  params, 1) == 0;
  }
  pw_thread_loop_unlock(c.loop);
  if (!connected) return false;
  // The size the recording keeps is the first format's; the first picture is waited for too,
  // so that a recording of a still screen does not start black (it comes once the stream runs).
  const double start = nowMilliseconds();
  for (;;) {
    const double waited = nowMilliseconds() - start;
    {
      std::lock_guard<std::mutex> lock(c.mutex);
      if (c.ended) return false;
      if (c.formatSeen && (c.frames > 0 || waited >= kFirstPictureMilliseconds)) return true;
    }
    if (waited >= kCallMilliseconds) return false;
    g_usleep(5000);
  }
}

void destroy(Cast* c) {
  if (c == nullptr) return;
  if (c->loop != nullptr) {
    pw_thread_loop_stop(c->loop);
    if (c->stream != nullptr) pw_stream_destroy(c->stream);
    if (c->core != nullptr) pw_core_disconnect(c->core);
    if (c->pwContext != nullptr) pw_context_destroy(c->pwContext);
    pw_thread_loop_destroy(c->loop);
  }
  if (c->bus != nullptr) {
    if (!c->session.empty()) {
      g_dbus_connection_call_sync(c->bus, kPortalName, c->session.c_str(),
                                  "org.freedesktop.portal.Session", "Close", nullptr, nullptr,
                                  G_DBUS_CALL_FLAGS_NONE, 1000, nullptr, nullptr);
    }
    if (c->closedSubscription != 0)
      g_dbus_connection_signal_unsubscribe(c->bus, c->closedSubscription);
    if (c->ownerSubscription != 0)
      g_dbus_connection_signal_unsubscribe(c->bus, c->ownerSubscription);
    g_object_unref(c->bus);
  }
  if (c->context != nullptr) {
    while (g_main_context_iteration(c->context, FALSE)) {
    }
    g_main_context_unref(c->context);
  }
  delete c;
}

bool castEnded(Cast& c) {
  // Signals of the session (Closed) and of the bus wait on the cast's own context.
  if (g_main_context_acquire(c.context)) {
    while (g_main_context_iteration(c.context, FALSE)) {
    }
    g_main_context_release(c.context);
  }
  std::lock_guard<std::mutex> lock(c.mutex);
  if (c.pausedSince >= 0.0 && nowMilliseconds() - c.pausedSince >= kPausedForGoodMilliseconds) {
    c.ended = true;
  }
  return c.ended;
}

int32_t openCast(int32_t flags, Cast** opened) {
  Cast* c = new Cast();
  // The portal's signals for this cast are dispatched on its own context, never on a loop
  // the host may run.
  struct ThreadContext {
    GMainContext* context = g_main_context_new();
    ThreadContext() { g_main_context_push_thread_default(context); }
    ~ThreadContext() {
      g_main_context_pop_thread_default(context);
      g_main_context_unref(context);
    }
  } threadContext;
  c->context = g_main_context_ref(threadContext.context);
  c->bus = sessionBus();
  if (c->bus == nullptr) {
    destroy(c);
    return QV_CAST_NO_PORTAL;
  }
  const uint32_t version = readUintProperty(c->bus, "version", 0);
  if (version == 0) {
    destroy(c);
    return QV_CAST_NO_PORTAL;
  }
  const uint32_t types = readUintProperty(c->bus, "AvailableSourceTypes", 1);
  const uint32_t cursorModes = readUintProperty(c->bus, "AvailableCursorModes", 0);
  c->ownerSubscription = g_dbus_connection_signal_subscribe(
      c->bus, "org.freedesktop.DBus", "org.freedesktop.DBus", "NameOwnerChanged",
      "/org/freedesktop/DBus", kPortalName, G_DBUS_SIGNAL_FLAGS_NONE, onOwnerChanged, c, nullptr);

  GVariant* results = nullptr;
  uint32_t code =
      request(*c, "CreateSession", createSessionArguments, nullptr, kCallMilliseconds, &results);
  const gchar* session = nullptr;
  if (code == 0 && results != nullptr &&
      g_variant_lookup(results, "session_handle", "&s", &session)) {
    c->session = session;
  }
  if (results != nullptr) g_variant_unref(results);
  if (c->session.empty()) {
    destroy(c);
    return QV_CAST_FAILED;
  }
  c->closedSubscription = g_dbus_connection_signal_subscribe(
      c->bus, kPortalName, "org.freedesktop.portal.Session", "Closed", c->session.c_str(), nullptr,
      G_DBUS_SIGNAL_FLAGS_NONE, onSessionGone, c, nullptr);

  Selection selection;
  // Monitors always; windows where the desktop offers them (the dialog then lists both).
  selection.types = (types & 3u) != 0 ? (types & 3u) : 1u;
  // Embedded when the pointer is wanted, hidden otherwise; left to the desktop where it does
  // not say which modes it has.
  const uint32_t wanted = (flags & QV_CAST_POINTER) != 0 ? 2u : 1u;
  selection.cursorMode = (cursorModes & wanted) != 0 ? wanted : 0u;
  selection.persist = version >= 4;
  if ((flags & QV_CAST_CHOOSE_AGAIN) != 0) {
    const std::string path = tokenPath();
    if (!path.empty()) unlink(path.c_str());
  } else {
    selection.token = readToken();
  }
  code =
      request(*c, "SelectSources", selectSourcesArguments, &selection, kCallMilliseconds, nullptr);
  if (code != 0) {
    destroy(c);
    return code == 1 ? QV_CAST_CANCELLED : QV_CAST_FAILED;
  }
  results = nullptr;
  code = request(*c, "Start", startArguments, nullptr, kChooseMilliseconds, &results);
  uint32_t node = 0;
  int32_t width = 0, height = 0;
  bool haveStream = false;
  if (code == 0 && results != nullptr) {
    GVariant* streams = g_variant_lookup_value(results, "streams", G_VARIANT_TYPE("a(ua{sv})"));
    if (streams != nullptr && g_variant_n_children(streams) > 0) {
      GVariant* properties = nullptr;
      g_variant_get_child(streams, 0, "(u@a{sv})", &node, &properties);
      g_variant_lookup(properties, "size", "(ii)", &width, &height);
      g_variant_unref(properties);
      haveStream = true;
    }
    if (streams != nullptr) g_variant_unref(streams);
    const gchar* token = nullptr;
    // Each grant hands out a new token; the one used is spent.
    if (g_variant_lookup(results, "restore_token", "&s", &token)) writeToken(token);
  }
  if (results != nullptr) g_variant_unref(results);
  if (code != 0 || !haveStream) {
    destroy(c);
    return code == 1 ? QV_CAST_CANCELLED : QV_CAST_FAILED;
  }

  GError* error = nullptr;
  GUnixFDList* fds = nullptr;
  GVariantBuilder options;
  g_variant_builder_init(&options, G_VARIANT_TYPE_VARDICT);
  GVariant* answer = g_dbus_connection_call_with_unix_fd_list_sync(
      c->bus, kPortalName, kPortalPath, kScreenCast, "OpenPipeWireRemote",
      g_variant_new("(oa{sv})", c->session.c_str(), &options), G_VARIANT_TYPE("(h)"),
      G_DBUS_CALL_FLAGS_NONE, kCallMilliseconds, nullptr, &fds, nullptr, &error);
  g_clear_error(&error);
  int fd = -1;
  if (answer != nullptr && fds != nullptr) {
    gint32 index = -1;
    g_variant_get(answer, "(h)", &index);
    fd = g_unix_fd_list_get(fds, index, nullptr);
  }
  if (answer != nullptr) g_variant_unref(answer);
  if (fds != nullptr) g_object_unref(fds);
  if (fd < 0 || !connectStream(*c, fd, node, width, height)) {
    destroy(c);
    return QV_CAST_NO_STREAM;
  }
  *opened = c;
  return QV_CAST_OK;
}

// Area average of the box [x0, x1) x [y0, y1) of a BGRx picture, in source pixels.
void averageBox(const uint8_t* from, int32_t width, double x0, double x1, double y0, double y1,
                uint8_t* to) {
  double sum[3] = {0, 0, 0}, weight = 0;
  for (int32_t y = static_cast<int32_t>(y0); y < y1; ++y) {
    const double wy = std::min<double>(y + 1, y1) - std::max<double>(y, y0);
    for (int32_t x = static_cast<int32_t>(x0); x < x1; ++x) {
      const double w = wy * (std::min<double>(x + 1, x1) - std::max<double>(x, x0));
      const uint8_t* p = from + (static_cast<size_t>(y) * width + x) * 4;
      for (int i = 0; i < 3; ++i) sum[i] += w * p[i];
      weight += w;
    }
  }
  for (int i = 0; i < 3; ++i) to[i] = static_cast<uint8_t>(weight > 0 ? sum[i] / weight + 0.5 : 0);
  to[3] = 0;
}

}  // namespace

void copyStreamPicture(const uint8_t* from, int32_t stride, int32_t width, int32_t height,
                       bool swapRedBlue, uint8_t* to) {
  const size_t rowBytes = static_cast<size_t>(width) * 4;
  for (int32_t row = 0; row < height; ++row) {
    uint8_t* line = to + row * rowBytes;
    std::memcpy(line, from + static_cast<size_t>(row) * stride, rowBytes);
    if (swapRedBlue) {
      for (size_t i = 0; i < rowBytes; i += 4) std::swap(line[i], line[i + 2]);
    }
  }
}

bool portalCastOpen() {
  std::lock_guard<std::mutex> lock(castMutex);
  return cast != nullptr;
}

bool portalCastSize(int32_t* width, int32_t* height) {
  std::lock_guard<std::mutex> lock(castMutex);
  if (cast == nullptr || castEnded(*cast)) return false;
  std::lock_guard<std::mutex> frames(cast->mutex);
  *width = cast->firstWidth;
  *height = cast->firstHeight;
  return true;
}

bool PortalFrames::copyNewest(uint8_t* picture, int32_t width, int32_t height, int32_t sourceX,
                              int32_t sourceY) {
  std::lock_guard<std::mutex> lock(castMutex);
  if (cast == nullptr || castEnded(*cast)) return false;
  Cast& c = *cast;
  std::lock_guard<std::mutex> frames(c.mutex);
  // The last picture stands until a new one arrives (or the rectangle moves).
  if (c.frames == seen_ && sourceX == lastX_ && sourceY == lastY_) return true;
  if (c.frames == 0) return true;
  seen_ = c.frames;
  lastX_ = sourceX;
  lastY_ = sourceY;
  const int32_t sw = c.newestWidth, sh = c.newestHeight;
  const uint8_t* from = c.newest.data();
  if (sw == c.firstWidth && sh == c.firstHeight) {
    for (int32_t row = 0; row < height; ++row) {
      const int64_t y = int64_t{sourceY} + row;
      if (y < 0 || y >= sh) continue;
      const int64_t left = std::max<int64_t>(sourceX, 0);
      const int64_t right = std::min<int64_t>(int64_t{sourceX} + width, sw);
      if (left >= right) continue;
      std::memcpy(picture + (static_cast<size_t>(row) * width + (left - sourceX)) * 4,
                  from + (static_cast<size_t>(y) * sw + left) * 4,
                  static_cast<size_t>(right - left) * 4);
    }
    return true;
  }
  // Another size since the start: the whole new picture fitted into the first size, its shape
  // kept, centred between black bars.
  const double scale =
      std::min(static_cast<double>(c.firstWidth) / sw, static_cast<double>(c.firstHeight) / sh);
  const double offsetX = (c.firstWidth - sw * scale) / 2.0;
  const double offsetY = (c.firstHeight - sh * scale) / 2.0;
  for (int32_t row = 0; row < height; ++row) {
    const double vy = sourceY + row;
    const double y0 = std::max(0.0, (vy - offsetY) / scale);
    const double y1 = std::min<double>(sh, (vy + 1 - offsetY) / scale);
    for (int32_t column = 0; column < width; ++column) {
      uint8_t* to = picture + (static_cast<size_t>(row) * width + column) * 4;
      const double vx = sourceX + column;
      const double x0 = std::max(0.0, (vx - offsetX) / scale);
      const double x1 = std::min<double>(sw, (vx + 1 - offsetX) / scale);
      if (x0 >= x1 || y0 >= y1) {
        std::memset(to, 0, 4);
      } else {
        averageBox(from, sw, x0, x1, y0, y1, to);
      }
    }
  }
  return true;
}

const char* screenPathName() { return portalCastOpen() ? "portal" : "x11"; }

}  // namespace platform
}  // namespace quorvane_capture

using namespace quorvane_capture::platform;

extern "C" {

QV_EXPORT int32_t probeScreenCast(uint32_t* sourceTypes) {
  GDBusConnection* bus = sessionBus();
  if (bus == nullptr) return QV_CAST_NO_PORTAL;
  const uint32_t version = readUintProperty(bus, "version", 0);
  const uint32_t types = version != 0 ? readUintProperty(bus, "AvailableSourceTypes", 1) : 0;
  g_object_unref(bus);
  if (sourceTypes != nullptr) *sourceTypes = types;
  return version != 0 ? QV_CAST_OK : QV_CAST_NO_PORTAL;
}

QV_EXPORT int32_t openScreenCast(int32_t flags) {
  std::lock_guard<std::mutex> lock(castMutex);
  if (cast != nullptr) {
    destroy(cast);
    cast = nullptr;
  }
  Cast* opened = nullptr;
  const int32_t status = openCast(flags, &opened);
  cast = opened;
  return status;
}

QV_EXPORT void closeScreenCast(void) {
  std::lock_guard<std::mutex> lock(castMutex);
  destroy(cast);
  cast = nullptr;
}

QV_EXPORT uint64_t getScreenCastFrames(void) {
  std::lock_guard<std::mutex> lock(castMutex);
  if (cast == nullptr) return 0;
  std::lock_guard<std::mutex> frames(cast->mutex);
  return cast->frames;
}

}  // extern "C"
