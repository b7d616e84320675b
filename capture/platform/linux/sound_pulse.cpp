// Sound capture on Linux: a PulseAudio record stream on the default source (or on the monitor of
// the default sink, for what the output plays), copied into a ring of our own that behaves like
// a looping capture buffer. The stream delivers small fragments on PulseAudio's thread; each is
// appended at the write position, and the two notifications are raised as that position passes
// their offsets.
#include <pulse/pulseaudio.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "sound_capture.h"
#include "sound_ring.h"

namespace quorvane_capture {
namespace platform {

namespace {

// How long set-up may wait for the server: a missing server fails at once, an unreachable one
// must not hold up Initialize.
constexpr auto kServerWait = std::chrono::milliseconds(1000);
// Fragments this short keep the notifications within a few milliseconds of their offsets.
constexpr pa_usec_t kFragmentMicroseconds = 20000;
// A source that delivers nothing (a sink that plays nothing, a suspended source): once it has
// delivered nothing for twice this, it is given silence up to this much behind the clock.
constexpr auto kGapTolerance = std::chrono::milliseconds(500);
constexpr auto kGapCheck = std::chrono::milliseconds(250);
// A sink that was idle may take this long to deliver its first sound.
constexpr auto kStartGrace = std::chrono::milliseconds(2500);
// How long a stop waits for sound that was recorded before it but is still on its way (a
// source can run with a latency of a few hundred milliseconds); the silence that ends a stop of
// a silent source comes in steps of half the ring within it.
constexpr auto kStopWaitWithSilence = std::chrono::milliseconds(3000);

}  // namespace

struct SoundCaptureBuffer::Impl {
  pa_threaded_mainloop* mainloop = nullptr;
  pa_context* context = nullptr;
  pa_stream* stream = nullptr;
  SoundSource source = SoundSource::kCaptureDevice;
  bool capabilitiesKnown = false;
  uint32_t deviceRate = 0;  // the source's (or monitored sink's) own rate, 0 when not known
  bool formatRefused = false;
  SoundRing ring;
  pa_sample_spec spec{};  // the stream's format and buffer, kept for a reopen
  pa_buffer_attr attributes{};
  // Set on PulseAudio's thread when the stream or the server goes away while capturing, and
  // cleared when a stream on a new device takes its place.
  std::atomic<bool> lost{false};
  // Mainloop thread only (or with it locked): a stream is on its way to replace a lost one;
  // a change came while it was.
  bool reopening = false;
  bool retry = false;
  bool stopping = false;  // the capture is stopping: no reopen after it
  // Mainloop thread: when the stream's timing last changed under it (pa_gettimeofday's clock,
  // the one its reports are stamped with).
  timeval timingChanged{};
  // The descriptions of the sources recorded from, in order.
  mutable std::mutex namesMutex;
  std::vector<std::string> names;

  // With the mainloop locked: polls until done() says true or false, or the time is up.
  template <typename Done>
  bool waitLocked(Done done) {
    const auto deadline = std::chrono::steady_clock::now() + kServerWait;
    for (;;) {
      const int state = done();
      if (state != 0) return state > 0;
      if (std::chrono::steady_clock::now() >= deadline) return false;
      pa_threaded_mainloop_unlock(mainloop);
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
      pa_threaded_mainloop_lock(mainloop);
    }
  }

  // The rate of a source or sink by name, 0 when the server does not answer in time.
  uint32_t sourceRate(const std::string& name) {
    return askRate([&](pa_context* c, void* user) {
      return pa_context_get_source_info_by_name(c, name.c_str(), &onRateInfo<pa_source_info>, user);
    });
  }
  uint32_t sinkRate(const std::string& name) {
    return askRate([&](pa_context* c, void* user) {
      return pa_context_get_sink_info_by_name(c, name.c_str(), &onRateInfo<pa_sink_info>, user);
    });
  }
  // The answer to a source or sink query: its rate, then the end of the list.
  template <typename Info>
  static void onRateInfo(pa_context*, const Info* info, int eol, void* user) {
    auto* answer = static_cast<RateAnswer*>(user);
    if (eol == 0 && info != nullptr) answer->rate = info->sample_spec.rate;
    if (eol != 0) answer->done = true;
  }
  struct RateAnswer {
    bool done = false;
    uint32_t rate = 0;
  };
  template <typename Ask>
  uint32_t askRate(Ask ask) {
    RateAnswer answer;
    pa_threaded_mainloop_lock(mainloop);
    pa_operation* operation = ask(context, &answer);
    if (operation != nullptr) {
      // Unanswered in time: the callback must not run after `answer` is gone.
      if (!waitLocked([&answer] { return answer.done ? 1 : 0; })) pa_operation_cancel(operation);
      pa_operation_unref(operation);
    }
    pa_threaded_mainloop_unlock(mainloop);
    return answer.done ? answer.rate : 0;
  }

  // The stream on the source to record, its callbacks set; mainloop locked. The first is
  // corked until the start; one that takes the place of a lost one records at once.
  bool connectStream(bool corked) {
    stream = pa_stream_new(context, "Recording", &spec, nullptr);
    if (stream == nullptr) return false;
    pa_stream_set_read_callback(stream, &Impl::onRead, this);
    pa_stream_set_state_callback(stream, &Impl::onStreamState, this);
    pa_stream_set_moved_callback(stream, &Impl::onMoved, this);
    pa_stream_set_suspended_callback(stream, &Impl::onSuspended, this);
    pa_stream_set_overflow_callback(stream, &Impl::onOverflow, this);
    // Timing kept up to date by the server, so that each fragment's age is known. No device
    // named: the server follows the default source when it changes (and moves the stream when
    // its source goes away and another is there).
    auto flags = static_cast<pa_stream_flags_t>(
        PA_STREAM_ADJUST_LATENCY | PA_STREAM_INTERPOLATE_TIMING | PA_STREAM_AUTO_TIMING_UPDATE);
    if (corked) flags = static_cast<pa_stream_flags_t>(flags | PA_STREAM_START_CORKED);
    // The server's own names for its defaults, followed when they change.
    const char* device = source == SoundSource::kOutputMix ? "@DEFAULT_MONITOR@" : nullptr;
    pa_buffer_attr wanted = attributes;
    return pa_stream_connect_record(stream, device, &wanted, flags) >= 0;
  }
  // Mainloop locked.
  void dropStream() {
    if (stream == nullptr) return;
    pa_stream_set_read_callback(stream, nullptr, nullptr);
    pa_stream_set_state_callback(stream, nullptr, nullptr);
    pa_stream_set_moved_callback(stream, nullptr, nullptr);
    pa_stream_set_suspended_callback(stream, nullptr, nullptr);
    pa_stream_set_overflow_callback(stream, nullptr, nullptr);
    pa_stream_disconnect(stream);
    pa_stream_unref(stream);
    stream = nullptr;
  }

  // A stream that fails or ends while the ring runs lost its device; the reader is woken to
  // see it. Our own disconnect at close comes after the ring has stopped. A stream that takes a
  // lost one's place goes on where the ring stood once it is ready.
  static void onStreamState(pa_stream* s, void* user) {
    auto* impl = static_cast<Impl*>(user);
    const pa_stream_state_t state = pa_stream_get_state(s);
    if (state == PA_STREAM_READY) {
      impl->askDeviceName(s);
      if (impl->reopening) {
        impl->reopening = false;
        if (impl->ring.resume()) {
          impl->lost = false;
          impl->ring.raise(0);
        }
      }
      return;
    }
    if (PA_STREAM_IS_GOOD(state)) return;
    if (impl->reopening) {
      // Nothing to record yet after all: still lost. A change the server reported meanwhile
      // may have brought the device; it is tried once more.
      impl->reopening = false;
      if (impl->retry) impl->reopen();
      return;
    }
    if (!impl->ring.running()) return;
    impl->lost = true;
    // Nothing more comes: the ring ends where the sound ended, and a stop need not wait for it.
    impl->ring.abandon();
    impl->ring.raise(0);
  }

  // A device came or the defaults changed while the source is lost: the stream is opened again
  // on the default (mainloop thread).
  void reopen() {
    retry = false;
    if (!lost || stopping) return;
    if (reopening) {
      retry = true;
      return;
    }
    dropStream();
    reopening = connectStream(false);
    if (!reopening) dropStream();
  }
  static void onServerEvent(pa_context*, pa_subscription_event_type_t type, uint32_t, void* user) {
    const auto facility = type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK;
    const auto kind = type & PA_SUBSCRIPTION_EVENT_TYPE_MASK;
    if (facility == PA_SUBSCRIPTION_EVENT_SERVER || kind == PA_SUBSCRIPTION_EVENT_NEW) {
      static_cast<Impl*>(user)->reopen();
    }
  }

  // The description of the source the stream records from now, added to the names when it is
  // not the last one there (mainloop thread).
  void askDeviceName(pa_stream* s) {
    const char* name = pa_stream_get_device_name(s);
    if (name == nullptr) return;
    pa_operation* operation = pa_context_get_source_info_by_name(
        context, name,
        [](pa_context*, const pa_source_info* info, int eol, void* user) {
          if (eol != 0 || info == nullptr) return;
          auto* impl = static_cast<Impl*>(user);
          const char* text = info->description != nullptr && info->description[0] != '\0'
                                 ? info->description
                                 : info->name;
          if (text == nullptr) return;
          std::lock_guard<std::mutex> lock(impl->namesMutex);
          if (impl->names.empty() || impl->names.back() != text) impl->names.emplace_back(text);
        },
        this);
    if (operation != nullptr) pa_operation_unref(operation);
  }

  // How long ago the newest sound waiting in the stream (`waiting` bytes) was recorded, in
  // microseconds, by the server's own clock: its last timing report says where its write index
  // stood and how much its source still held at a moment of our clock; the sound behind the
  // write index was recorded that much earlier, the sound beyond it (reported since) that much
  // later. Negative where the source delivers ahead of its clock (a sink's monitor renders a
  // little ahead). False without a report yet.
  bool newestAge(pa_stream* s, size_t waiting, double* ageUs) const {
    const pa_sample_spec* spec = pa_stream_get_sample_spec(s);
    const pa_timing_info* t = pa_stream_get_timing_info(s);
    if (spec == nullptr || t == nullptr || t->write_index_corrupt || t->read_index_corrupt) {
      return false;
    }
    // A report from before the source was suspended, resumed or changed would count the time
    // between as sound: it is not used, and the next one (asked for then) is.
    if (pa_timeval_cmp(&t->timestamp, &timingChanged) < 0) return false;
    // Our read index (what we took) plus what waits: the end of the sound we have.
    const int64_t newest = t->read_index + static_cast<int64_t>(waiting);
    const double perByteUs = 1e6 / static_cast<double>(pa_bytes_per_second(spec));
    // When the frame at the write index was recorded, measured back from now: the report's age,
    // what the source held then, and the way the report took to us.
    const double writeIndexAgeUs = static_cast<double>(pa_timeval_age(&t->timestamp)) +
                                   static_cast<double>(t->source_usec) +
                                   static_cast<double>(t->transport_usec);
    *ageUs = writeIndexAgeUs - static_cast<double>(newest - t->write_index) * perByteUs;
    return true;
  }

  static void onRead(pa_stream* s, size_t, void* user) {
    auto* impl = static_cast<Impl*>(user);
    const pa_sample_spec* spec = pa_stream_get_sample_spec(s);
    size_t waiting = pa_stream_readable_size(s);
    double newestAgeUs = 0;
    const bool timed = spec != nullptr && impl->newestAge(s, waiting, &newestAgeUs);
    while (pa_stream_readable_size(s) > 0) {
      const void* data = nullptr;
      size_t length = 0;
      if (pa_stream_peek(s, &data, &length) < 0 || length == 0) return;
      waiting = waiting > length ? waiting - length : 0;
      const double ageUs =
          timed ? newestAgeUs + static_cast<double>(pa_bytes_to_usec(waiting, spec)) : 0.0;
      // A hole in the stream (null data): the server lost that sound; it stays as silence of
      // its length.
      impl->ring.append(static_cast<const uint8_t*>(data), length,
                        std::chrono::microseconds(static_cast<int64_t>(ageUs)));
      pa_stream_drop(s);
    }
  }

  // The stream's timing reports so far no longer hold (its source was suspended or resumed, or
  // it moved to another): a fresh one is asked for.
  void timingChangedNow(pa_stream* s) {
    pa_gettimeofday(&timingChanged);
    pa_operation* operation = pa_stream_update_timing_info(s, nullptr, nullptr);
    if (operation != nullptr) pa_operation_unref(operation);
  }
  static void onSuspended(pa_stream* s, void* user) {
    static_cast<Impl*>(user)->timingChangedNow(s);
  }

  // The server dropped sound it held for us (we did not take it in time): a break of unknown
  // length where the ring stands, filled by the clock at its place.
  static void onOverflow(pa_stream*, void* user) { static_cast<Impl*>(user)->ring.noteLost(0); }

  // The server moved the stream to another source (the default changed, or its source went
  // away and another took its place): what lies between is not known to be whole. The break
  // is noted where the ring stands: all that came before the move is in it already.
  static void onMoved(pa_stream* s, void* user) {
    auto* impl = static_cast<Impl*>(user);
    impl->timingChangedNow(s);
    impl->ring.noteLost(0);
    impl->askDeviceName(s);
  }
};

SoundCaptureBuffer::SoundCaptureBuffer() : impl_(new Impl) {}

SoundCaptureBuffer::~SoundCaptureBuffer() {
  close();
  delete impl_;
}

bool SoundCaptureBuffer::openDevice(SoundSource source) {
  Impl& d = *impl_;
  if (d.mainloop != nullptr || source == SoundSource::kNone) return false;
  d.source = source;
  d.formatRefused = false;
  d.mainloop = pa_threaded_mainloop_new();
  if (d.mainloop == nullptr) return false;
  d.context = pa_context_new(pa_threaded_mainloop_get_api(d.mainloop), "Quorvane");
  if (d.context == nullptr || pa_threaded_mainloop_start(d.mainloop) < 0) {
    close();
    return false;
  }
  pa_threaded_mainloop_lock(d.mainloop);
  // No autospawn: a recorder must not start a sound server behind the user's back.
  bool ready = pa_context_connect(d.context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) >= 0;
  if (ready) {
    ready = d.waitLocked([&d] {
      const pa_context_state_t state = pa_context_get_state(d.context);
      if (state == PA_CONTEXT_READY) return 1;
      return PA_CONTEXT_IS_GOOD(state) ? 0 : -1;
    });
  }
  if (ready) {
    // Devices that come and defaults that change: a source lost while recording is reopened
    // when one is there again.
    pa_context_set_subscribe_callback(d.context, &Impl::onServerEvent, &d);
    pa_operation* operation = pa_context_subscribe(
        d.context,
        static_cast<pa_subscription_mask_t>(
            PA_SUBSCRIPTION_MASK_SERVER | PA_SUBSCRIPTION_MASK_SOURCE | PA_SUBSCRIPTION_MASK_SINK),
        nullptr, nullptr);
    if (operation != nullptr) pa_operation_unref(operation);
  }
  pa_threaded_mainloop_unlock(d.mainloop);
  if (!ready) close();
  return ready;
}

bool SoundCaptureBuffer::queryCapabilities() {
  Impl& d = *impl_;
  if (d.context == nullptr) return false;
  // The one capability that matters: the server has a default source to record (a default
  // sink, whose monitor is recorded, for what the output plays).
  struct Answer {
    bool done = false;
    bool hasSource = false;
    bool hasSink = false;
    std::string source, sink;
  } answer;
  pa_threaded_mainloop_lock(d.mainloop);
  pa_operation* operation = pa_context_get_server_info(
      d.context,
      [](pa_context*, const pa_server_info* info, void* user) {
        auto* a = static_cast<Answer*>(user);
        a->hasSource = info != nullptr && info->default_source_name != nullptr &&
                       info->default_source_name[0] != '\0';
        a->hasSink = info != nullptr && info->default_sink_name != nullptr &&
                     info->default_sink_name[0] != '\0';
        if (a->hasSource) a->source = info->default_source_name;
        if (a->hasSink) a->sink = info->default_sink_name;
        a->done = true;
      },
      &answer);
  bool answered = false;
  if (operation != nullptr) {
    answered = d.waitLocked([&answer] { return answer.done ? 1 : 0; });
    // Unanswered in time: the callback must not run after `answer` is gone.
    if (!answered) pa_operation_cancel(operation);
    pa_operation_unref(operation);
  }
  pa_threaded_mainloop_unlock(d.mainloop);
  d.capabilitiesKnown =
      answered && (d.source == SoundSource::kOutputMix ? answer.hasSink : answer.hasSource);
  if (d.capabilitiesKnown) {
    d.deviceRate =
        d.source == SoundSource::kOutputMix ? d.sinkRate(answer.sink) : d.sourceRate(answer.source);
  }
  return d.capabilitiesKnown;
}

bool SoundCaptureBuffer::createBuffer(const SoundFormat& format, uint32_t bufferBytes) {
  Impl& d = *impl_;
  if (!d.capabilitiesKnown || d.stream != nullptr || bufferBytes == 0) return false;
  pa_sample_spec spec{};
  if (format.formatTag != 1) return false;
  if (format.bitsPerSample == 16) {
    spec.format = PA_SAMPLE_S16LE;
  } else if (format.bitsPerSample == 8) {
    spec.format = PA_SAMPLE_U8;
  } else {
    return false;
  }
  spec.rate = format.samplesPerSecond;
  spec.channels = static_cast<uint8_t>(format.channels);
  if (!pa_sample_spec_valid(&spec) || pa_frame_size(&spec) != format.blockAlign ||
      bufferBytes % format.blockAlign != 0) {
    return false;
  }
  d.ring.create(bufferBytes, static_cast<uint32_t>(pa_bytes_per_second(&spec)), format.blockAlign);
  d.spec = spec;
  d.attributes.maxlength = static_cast<uint32_t>(-1);
  d.attributes.tlength = static_cast<uint32_t>(-1);
  d.attributes.prebuf = static_cast<uint32_t>(-1);
  d.attributes.minreq = static_cast<uint32_t>(-1);
  d.attributes.fragsize = static_cast<uint32_t>(pa_usec_to_bytes(kFragmentMicroseconds, &spec));

  pa_threaded_mainloop_lock(d.mainloop);
  // Corked until start: nothing is recorded before the capture begins.
  bool ready = d.connectStream(true);
  if (ready) {
    ready = d.waitLocked([&d] {
      const pa_stream_state_t state = pa_stream_get_state(d.stream);
      if (state == PA_STREAM_READY) return 1;
      return PA_STREAM_IS_GOOD(state) ? 0 : -1;
    });
    if (!ready) {
      const int error = pa_context_errno(d.context);
      d.formatRefused = error == PA_ERR_NOTSUPPORTED || error == PA_ERR_INVALID;
    }
  }
  pa_threaded_mainloop_unlock(d.mainloop);
  return ready;
}

bool SoundCaptureBuffer::setupNotifications(const uint32_t positions[2]) {
  if (impl_->stream == nullptr) return false;
  return impl_->ring.setPositions(positions);
}

bool SoundCaptureBuffer::isReady() const { return impl_->ring.ready(); }

bool SoundCaptureBuffer::loopbackUnavailable() const { return false; }

bool SoundCaptureBuffer::nativeRate(uint32_t* samplesPerSecond) const {
  if (impl_->deviceRate == 0) return false;
  *samplesPerSecond = impl_->deviceRate;
  return true;
}

bool SoundCaptureBuffer::formatRefused() const { return impl_->formatRefused; }

bool SoundCaptureBuffer::start() {
  Impl& d = *impl_;
  if (!isReady()) return false;
  pa_threaded_mainloop_lock(d.mainloop);
  bool started = pa_stream_get_state(d.stream) == PA_STREAM_READY;
  if (started) {
    d.ring.begin();
    d.lost = false;
    d.stopping = false;
    pa_operation* operation = pa_stream_cork(d.stream, 0, nullptr, nullptr);
    started = operation != nullptr;
    if (operation != nullptr) pa_operation_unref(operation);
  }
  pa_threaded_mainloop_unlock(d.mainloop);
  if (!started) d.ring.abandon();
  return started;
}

void SoundCaptureBuffer::stop() {
  Impl& d = *impl_;
  if (d.mainloop != nullptr) {
    pa_threaded_mainloop_lock(d.mainloop);
    d.stopping = true;
    pa_threaded_mainloop_unlock(d.mainloop);
  }
  const bool running = d.ring.running();
  // What the output plays ends in silence where the sink delivered nothing: the reader's gap
  // filling brings it to the end while this waits. A ring whose device is gone is ended too, so
  // that no stream on its way to replace it starts it again.
  d.ring.end(kStopWaitWithSilence);
  if (!running) return;
  pa_threaded_mainloop_lock(d.mainloop);
  if (d.stream != nullptr && pa_stream_get_state(d.stream) == PA_STREAM_READY) {
    pa_operation* operation = pa_stream_cork(d.stream, 1, nullptr, nullptr);
    if (operation != nullptr) pa_operation_unref(operation);
  }
  pa_threaded_mainloop_unlock(d.mainloop);
}

bool SoundCaptureBuffer::readPosition(uint32_t* position) {
  return impl_->ring.readPosition(position);
}

bool SoundCaptureBuffer::readTiming(SoundTiming* timing) {
  return impl_->ring.readTiming(&timing->position, &timing->ageMilliseconds, &timing->lostFrames,
                                &timing->discontinuities, &timing->bytesAfterBreak);
}

bool SoundCaptureBuffer::lock(uint32_t offset, uint32_t bytes, void** region1, uint32_t* bytes1,
                              void** region2, uint32_t* bytes2) {
  return impl_->ring.lock(offset, bytes, region1, bytes1, region2, bytes2);
}

void SoundCaptureBuffer::unlock(void*, uint32_t, void*, uint32_t) { impl_->ring.unlock(); }

int SoundCaptureBuffer::waitNotification() {
  Impl& d = *impl_;
  // A source that delivers nothing (a sink that plays nothing, a suspended source) has its gap
  // filled with silence while it lasts, so that the sound reaches the disk and the counts.
  for (;;) {
    const int index = d.ring.wait(kGapCheck);
    if (index >= 0) return index;
    d.ring.fillGap(kGapTolerance, kStartGrace);
  }
}

void SoundCaptureBuffer::signalFirst() { impl_->ring.raise(0); }

std::vector<std::string> SoundCaptureBuffer::deviceNames() const {
  std::lock_guard<std::mutex> lock(impl_->namesMutex);
  return impl_->names;
}

bool SoundCaptureBuffer::deviceLost() const { return impl_->lost.load(); }

void SoundCaptureBuffer::close() {
  Impl& d = *impl_;
  stop();
  if (d.mainloop != nullptr) {
    pa_threaded_mainloop_lock(d.mainloop);
    d.dropStream();
    d.reopening = false;
    if (d.context != nullptr) {
      pa_context_set_subscribe_callback(d.context, nullptr, nullptr);
      pa_context_disconnect(d.context);
      pa_context_unref(d.context);
      d.context = nullptr;
    }
    pa_threaded_mainloop_unlock(d.mainloop);
    pa_threaded_mainloop_stop(d.mainloop);
    pa_threaded_mainloop_free(d.mainloop);
    d.mainloop = nullptr;
  }
  d.capabilitiesKnown = false;
  d.ring.release();
}

}  // namespace platform
}  // namespace quorvane_capture
