// Sound capture on Linux: a PulseAudio record stream on the default source, copied into a ring
// of our own that behaves like a looping capture buffer. The stream delivers small fragments on
// PulseAudio's thread; each is appended at the write position, and the two notifications are
// raised as that position passes their offsets.
#include <pulse/pulseaudio.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "sound_capture.h"

namespace quorvane_capture {
namespace platform {

namespace {

// How long set-up may wait for the server: a missing server fails at once, an unreachable one
// must not hold up Initialize.
constexpr auto kServerWait = std::chrono::milliseconds(1000);
// Fragments this short keep the notifications within a few milliseconds of their offsets.
constexpr pa_usec_t kFragmentMicroseconds = 20000;
// How long a stop waits for sound that was recorded before it but is still on its way (a
// source can run with a latency of a few hundred milliseconds).
constexpr auto kStopWait = std::chrono::milliseconds(1000);

}  // namespace

struct SoundCaptureBuffer::Impl {
  pa_threaded_mainloop* mainloop = nullptr;
  pa_context* context = nullptr;
  pa_stream* stream = nullptr;
  bool capabilitiesKnown = false;
  bool notificationsReady = false;

  // The ring, written by PulseAudio's thread and read by the capture loop, under ringMutex.
  std::mutex ringMutex;
  std::vector<uint8_t> ring;
  uint32_t writePosition = 0;
  bool running = false;
  uint32_t positions[2] = {0, 0};
  bool regionLocked = false;  // the reader holds ringMutex between lock and unlock
  uint32_t bytesPerSecond = 0;
  uint32_t blockAlign = 1;
  // The stream's time line: bytes taken since start, and where a stop wants it to end.
  std::chrono::steady_clock::time_point startTime;
  uint64_t receivedBytes = 0;
  uint64_t stopAt = UINT64_MAX;
  std::condition_variable stopped;

  // The two notifications: auto-reset events.
  std::mutex eventMutex;
  std::condition_variable eventCondition;
  bool raised[2] = {false, false};

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

  void raise(int index) {
    {
      std::lock_guard<std::mutex> lock(eventMutex);
      raised[index] = true;
    }
    eventCondition.notify_all();
  }

  void append(const uint8_t* data, size_t length) {
    bool crossed[2] = {false, false};
    {
      std::lock_guard<std::mutex> lock(ringMutex);
      if (!running || ring.empty() || !notificationsReady) return;
      if (length > stopAt - receivedBytes) length = static_cast<size_t>(stopAt - receivedBytes);
      receivedBytes += length;
      if (receivedBytes >= stopAt) {
        running = false;
        stopped.notify_all();
      }
      const uint64_t size = ring.size();
      while (length > 0) {
        const uint64_t start = writePosition;
        const size_t n = static_cast<size_t>(size - start < length ? size - start : length);
        if (data != nullptr) {
          std::memcpy(ring.data() + start, data, n);
          data += n;
        } else {
          std::memset(ring.data() + start, 0, n);  // a hole in the stream: silence
        }
        const uint64_t end = start + n;
        for (int i = 0; i < 2; ++i) {
          // Offset 0 is passed when the position wraps to the start again.
          const uint64_t p = positions[i] == 0 ? size : positions[i];
          if (start < p && p <= end) crossed[i] = true;
        }
        writePosition = static_cast<uint32_t>(end == size ? 0 : end);
        length -= n;
      }
    }
    for (int i = 0; i < 2; ++i) {
      if (crossed[i]) raise(i);
    }
  }

  static void onRead(pa_stream* s, size_t, void* user) {
    auto* impl = static_cast<Impl*>(user);
    while (pa_stream_readable_size(s) > 0) {
      const void* data = nullptr;
      size_t length = 0;
      if (pa_stream_peek(s, &data, &length) < 0 || length == 0) return;
      impl->append(static_cast<const uint8_t*>(data), length);
      pa_stream_drop(s);
    }
  }
};

SoundCaptureBuffer::SoundCaptureBuffer() : impl_(new Impl) {}

SoundCaptureBuffer::~SoundCaptureBuffer() {
  close();
  delete impl_;
}

bool SoundCaptureBuffer::openDevice() {
  Impl& d = *impl_;
  if (d.mainloop != nullptr) return false;
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
  pa_threaded_mainloop_unlock(d.mainloop);
  if (!ready) close();
  return ready;
}

bool SoundCaptureBuffer::queryCapabilities() {
  Impl& d = *impl_;
  if (d.context == nullptr) return false;
  // The one capability that matters: the server has a default source to record.
  struct Answer {
    bool done = false;
    bool hasSource = false;
  } answer;
  pa_threaded_mainloop_lock(d.mainloop);
  pa_operation* operation = pa_context_get_server_info(
      d.context,
      [](pa_context*, const pa_server_info* info, void* user) {
        auto* a = static_cast<Answer*>(user);
        a->hasSource = info != nullptr && info->default_source_name != nullptr &&
                       info->default_source_name[0] != '\0';
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
  d.capabilitiesKnown = answered && answer.hasSource;
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
  {
    std::lock_guard<std::mutex> lock(d.ringMutex);
    d.ring.assign(bufferBytes, 0);
    d.writePosition = 0;
    d.bytesPerSecond = static_cast<uint32_t>(pa_bytes_per_second(&spec));
    d.blockAlign = format.blockAlign;
  }

  pa_threaded_mainloop_lock(d.mainloop);
  d.stream = pa_stream_new(d.context, "Recording", &spec, nullptr);
  bool ready = d.stream != nullptr;
  if (ready) {
    pa_stream_set_read_callback(d.stream, &Impl::onRead, &d);
    pa_buffer_attr attributes{};
    attributes.maxlength = static_cast<uint32_t>(-1);
    attributes.tlength = static_cast<uint32_t>(-1);
    attributes.prebuf = static_cast<uint32_t>(-1);
    attributes.minreq = static_cast<uint32_t>(-1);
    attributes.fragsize = static_cast<uint32_t>(pa_usec_to_bytes(kFragmentMicroseconds, &spec));
    // Corked until start: nothing is recorded before the capture begins.
    const auto flags =
        static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY | PA_STREAM_START_CORKED);
    ready = pa_stream_connect_record(d.stream, nullptr, &attributes, flags) >= 0;
  }
  if (ready) {
    ready = d.waitLocked([&d] {
      const pa_stream_state_t state = pa_stream_get_state(d.stream);
      if (state == PA_STREAM_READY) return 1;
      return PA_STREAM_IS_GOOD(state) ? 0 : -1;
    });
  }
  pa_threaded_mainloop_unlock(d.mainloop);
  return ready;
}

bool SoundCaptureBuffer::setupNotifications(const uint32_t positions[2]) {
  Impl& d = *impl_;
  if (d.stream == nullptr) return false;
  std::lock_guard<std::mutex> lock(d.ringMutex);
  for (int i = 0; i < 2; ++i) {
    if (positions[i] >= d.ring.size()) return false;
    d.positions[i] = positions[i];
  }
  d.notificationsReady = true;
  return true;
}

bool SoundCaptureBuffer::isReady() const {
  std::lock_guard<std::mutex> lock(impl_->ringMutex);
  return impl_->notificationsReady;
}

bool SoundCaptureBuffer::start() {
  Impl& d = *impl_;
  if (!isReady()) return false;
  pa_threaded_mainloop_lock(d.mainloop);
  bool started = pa_stream_get_state(d.stream) == PA_STREAM_READY;
  if (started) {
    {
      std::lock_guard<std::mutex> lock(d.ringMutex);
      d.writePosition = 0;
      d.receivedBytes = 0;
      d.stopAt = UINT64_MAX;
      d.startTime = std::chrono::steady_clock::now();
      d.running = true;
    }
    {
      std::lock_guard<std::mutex> lock(d.eventMutex);
      d.raised[0] = d.raised[1] = false;
    }
    pa_operation* operation = pa_stream_cork(d.stream, 0, nullptr, nullptr);
    started = operation != nullptr;
    if (operation != nullptr) pa_operation_unref(operation);
  }
  pa_threaded_mainloop_unlock(d.mainloop);
  if (!started) {
    std::lock_guard<std::mutex> lock(d.ringMutex);
    d.running = false;
  }
  return started;
}

void SoundCaptureBuffer::stop() {
  Impl& d = *impl_;
  {
    // The sound ends at the moment of the stop: what the source recorded up to now but has
    // not delivered yet is still taken, then the position stands still, whatever comes after.
    std::unique_lock<std::mutex> lock(d.ringMutex);
    if (!d.running) return;
    const auto now = std::chrono::steady_clock::now();
    const double seconds = std::chrono::duration<double>(now - d.startTime).count();
    const auto frames = static_cast<uint64_t>(seconds * d.bytesPerSecond / d.blockAlign);
    d.stopAt = frames * d.blockAlign;
    if (d.receivedBytes < d.stopAt) {
      d.stopped.wait_until(lock, now + kStopWait, [&d] { return !d.running; });
    }
    d.running = false;
  }
  pa_threaded_mainloop_lock(d.mainloop);
  if (d.stream != nullptr && pa_stream_get_state(d.stream) == PA_STREAM_READY) {
    pa_operation* operation = pa_stream_cork(d.stream, 1, nullptr, nullptr);
    if (operation != nullptr) pa_operation_unref(operation);
  }
  pa_threaded_mainloop_unlock(d.mainloop);
}

bool SoundCaptureBuffer::readPosition(uint32_t* position) {
  Impl& d = *impl_;
  std::lock_guard<std::mutex> lock(d.ringMutex);
  if (d.ring.empty()) return false;
  *position = d.writePosition;
  return true;
}

bool SoundCaptureBuffer::lock(uint32_t offset, uint32_t bytes, void** region1, uint32_t* bytes1,
                              void** region2, uint32_t* bytes2) {
  Impl& d = *impl_;
  // The ring stays locked until unlock: the copy out takes microseconds, and PulseAudio's
  // thread then cannot write into a region while it is being read, however far it got.
  d.ringMutex.lock();
  const uint64_t size = d.ring.size();
  if (size == 0 || offset >= size || bytes > size) {
    d.ringMutex.unlock();
    return false;
  }
  const uint32_t first = static_cast<uint32_t>(size - offset < bytes ? size - offset : bytes);
  *region1 = d.ring.data() + offset;
  *bytes1 = first;
  *region2 = bytes > first ? d.ring.data() : nullptr;
  *bytes2 = bytes - first;
  d.regionLocked = true;
  return true;
}

void SoundCaptureBuffer::unlock(void*, uint32_t, void*, uint32_t) {
  Impl& d = *impl_;
  if (!d.regionLocked) return;
  d.regionLocked = false;
  d.ringMutex.unlock();
}

int SoundCaptureBuffer::waitNotification() {
  Impl& d = *impl_;
  std::unique_lock<std::mutex> lock(d.eventMutex);
  d.eventCondition.wait(lock, [&d] { return d.raised[0] || d.raised[1]; });
  const int index = d.raised[0] ? 0 : 1;
  d.raised[index] = false;
  return index;
}

void SoundCaptureBuffer::signalFirst() { impl_->raise(0); }

void SoundCaptureBuffer::close() {
  Impl& d = *impl_;
  stop();
  if (d.mainloop != nullptr) {
    pa_threaded_mainloop_lock(d.mainloop);
    if (d.stream != nullptr) {
      pa_stream_set_read_callback(d.stream, nullptr, nullptr);
      pa_stream_disconnect(d.stream);
      pa_stream_unref(d.stream);
      d.stream = nullptr;
    }
    if (d.context != nullptr) {
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
  std::lock_guard<std::mutex> lock(d.ringMutex);
  d.notificationsReady = false;
  std::vector<uint8_t>().swap(d.ring);
  d.writePosition = 0;
}

}  // namespace platform
}  // namespace quorvane_capture
