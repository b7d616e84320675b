#include "direct_sound_capture.h"

#include <algorithm>
#include <cstring>

#include "capture_state.h"
#include "pause.h"
#include "sound_mix.h"

namespace quorvane_capture {

DirectSoundCapture* dsc = nullptr;

namespace {

void putU16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}

void putU32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

}  // namespace

DirectSoundCapture::DirectSoundCapture(platform::SoundSource source, uint32_t samplesPerSecond)
    : DirectSoundCapture(std::vector<platform::SoundSource>{source}, samplesPerSecond) {}

DirectSoundCapture::DirectSoundCapture(const std::vector<platform::SoundSource>& sources,
                                       uint32_t samplesPerSecond)
    : waveFormat{1, 2, samplesPerSecond, samplesPerSecond * 4, 4, 16},
      capturedBytes(0),
      isDone(false),
      isTerminated(false),
      isWriting(false),
      deviceReady(false),
      wavHeader{},
      hMutex(nullptr),
      hMutex_device(nullptr),
      deviceStopped(false),
      allocator(nullptr) {
  for (platform::SoundSource source : sources) {
    if (source != platform::SoundSource::kNone) asked.emplace_back(new SoundInput(source));
  }
  // Without a device the object still answers every call: it just never captures.
  deviceReady = Initialise();
}

DirectSoundCapture::~DirectSoundCapture() {
  Release();
  std::vector<POINTER_AND_SIZE>().swap(dataList);
}

bool DirectSoundCapture::Initialise() {
  // The mutex and the header come first, so that an object without a device still has both:
  // the host may stop it and write its (empty) WAV file like any other.
  if (hMutex == nullptr) hMutex = platform::createMutex();
  if (hMutex_device == nullptr) hMutex_device = platform::createMutex();
  isDone = false;
  isTerminated = false;
  isWriting = false;

  std::memcpy(wavHeader + 0, "RIFF", 4);
  std::memcpy(wavHeader + 8, "WAVE", 4);
  std::memcpy(wavHeader + 12, "fmt ", 4);
  putU32(wavHeader + 16, 16);
  putU16(wavHeader + 20, waveFormat.formatTag);
  putU16(wavHeader + 22, waveFormat.channels);
  putU32(wavHeader + 24, waveFormat.samplesPerSecond);
  putU32(wavHeader + 28, waveFormat.averageBytesPerSecond);
  putU16(wavHeader + 32, waveFormat.blockAlign);
  putU16(wavHeader + 34, waveFormat.bitsPerSample);
  std::memcpy(wavHeader + 36, "data", 4);
  setHeaderLengths(0);

  if (hMutex == nullptr || hMutex_device == nullptr) return false;
  inputs.clear();
  tracks.clear();
  for (const std::unique_ptr<SoundInput>& in : asked) {
    in->ready = in->buffer.openDevice(in->source) && SetFormat(*in) && CreateBuffer(*in) &&
                SetupNotifications(*in);
    // A source that cannot be opened gives its device back at once.
    if (!in->ready) {
      in->buffer.close();
    } else {
      inputs.push_back(in.get());
    }
  }
  if (inputs.size() > 1) tracks = inputs;
  return !inputs.empty();
}

bool DirectSoundCapture::SetFormat(SoundInput& in) {
  if (!in.buffer.queryCapabilities()) return false;
  // The device records at its own rate (a system that converts for us converts worse, or not
  // at all), and the recording's rate comes from our resampler.
  uint32_t rate = waveFormat.samplesPerSecond;
  if (!in.buffer.nativeRate(&rate) || rate < 8000 || rate > 384000) {
    rate = waveFormat.samplesPerSecond;
  }
  in.deviceFormat = platform::SoundFormat{1, 2, rate, rate * 4, 4, 16};
  // Always through the resampler, even at the recording's own rate: no device's clock runs at
  // exactly its rate, and the ratio is what keeps the sound on the picture for hours.
  // With two sources each track takes a lighter filter, so that both cost what one did.
  const int quality = asked.size() > 1 ? Resampler::kTrackQuality : Resampler::kQuality;
  in.resampler.reset(new (std::nothrow) Resampler(rate, waveFormat.samplesPerSecond, quality));
  if (in.resampler == nullptr || !in.resampler->ready()) return false;
  in.converted.resize(2 * static_cast<size_t>(in.resampler->maxOutput(rate)));
  in.placement = SoundClock(rate, waveFormat.samplesPerSecond);
  return true;
}

bool DirectSoundCapture::CreateBuffer(SoundInput& in) {
  in.bufferBytes = in.deviceFormat.averageBytesPerSecond;
  return in.buffer.createBuffer(in.deviceFormat, in.bufferBytes);
}

bool DirectSoundCapture::SetupNotifications(SoundInput& in) {
  in.notifyPositions[0] = 0;
  in.notifyPositions[1] = in.bufferBytes / 2;
  return in.buffer.setupNotifications(in.notifyPositions);
}

bool DirectSoundCapture::sourceAsked(platform::SoundSource source) const {
  for (const std::unique_ptr<SoundInput>& in : asked) {
    if (in->source == source) return true;
  }
  return false;
}

bool DirectSoundCapture::sourceReady(platform::SoundSource source) const {
  for (const std::unique_ptr<SoundInput>& in : asked) {
    if (in->source == source && in->ready) return true;
  }
  return false;
}

bool DirectSoundCapture::sourceLoopbackUnavailable(platform::SoundSource source) const {
  for (const std::unique_ptr<SoundInput>& in : asked) {
    if (in->source == source && !in->ready && in->buffer.loopbackUnavailable()) return true;
  }
  return false;
}

bool DirectSoundCapture::sourceFormatRefused(platform::SoundSource source) const {
  for (const std::unique_ptr<SoundInput>& in : asked) {
    if (in->source == source && !in->ready && in->buffer.formatRefused()) return true;
  }
  return false;
}

bool DirectSoundCapture::sourceLost(platform::SoundSource source) const {
  for (const std::unique_ptr<SoundInput>& in : asked) {
    if (in->source == source && in->ready && in->lost.load()) return true;
  }
  return false;
}

bool DirectSoundCapture::sourceWentAway(platform::SoundSource source) const {
  for (const std::unique_ptr<SoundInput>& in : asked) {
    if (in->source == source && in->ready && in->wentAway.load()) return true;
  }
  return false;
}

std::vector<std::string> DirectSoundCapture::sourceDeviceNames(platform::SoundSource source) const {
  for (const std::unique_ptr<SoundInput>& in : asked) {
    if (in->source == source && in->ready) return in->buffer.deviceNames();
  }
  return {};
}

bool DirectSoundCapture::loopbackUnavailable() const {
  for (const std::unique_ptr<SoundInput>& in : asked) {
    if (sourceLoopbackUnavailable(in->source)) return true;
  }
  return false;
}

bool DirectSoundCapture::formatRefused() const {
  for (const std::unique_ptr<SoundInput>& in : asked) {
    if (sourceFormatRefused(in->source)) return true;
  }
  return false;
}

void DirectSoundCapture::setMyMemoryAllocator(MyMemoryAllocator* pool) { allocator = pool; }

MyMemoryAllocator* DirectSoundCapture::getMyMemoryAllocator() { return allocator; }

std::vector<POINTER_AND_SIZE>* DirectSoundCapture::getDataList() { return &dataList; }

void DirectSoundCapture::setTerminated(bool value) {
  platform::MutexLock lock(hMutex);
  isTerminated = value;
}

bool DirectSoundCapture::getTerminated() {
  platform::MutexLock lock(hMutex);
  return isTerminated;
}

void DirectSoundCapture::setDone(bool value) {
  platform::MutexLock lock(hMutex);
  isDone = value;
}

bool DirectSoundCapture::getDone() {
  platform::MutexLock lock(hMutex);
  return isDone;
}

bool DirectSoundCapture::StartWrite() {
  if (!deviceReady || allocator == nullptr) return false;
  // Read before hMutex is taken: a pause holds the clock's lock while it takes the cuts' one,
  // and a transfer holds the cuts' lock while it takes hMutex.
  const double startClock = frameClockMilliseconds();
  {
    // Decided under hMutex, which StopWrite also takes: either the stop sees the loop running
    // and waits for it, or the loop sees the stop and does not start. The library's stop flag
    // counts too, so a host that stopped before this thread got going is obeyed. There is no
    // restart: one object records once.
    platform::MutexLock lock(hMutex);
    if (isTerminated || isWriting || isDone || quorvane_capture::getTerminated()) return false;
    // Every source or none: a device that does not start stops those already started.
    for (size_t i = 0; i < inputs.size(); ++i) {
      if (!inputs[i]->buffer.start()) {
        for (size_t j = 0; j < i; ++j) inputs[j]->buffer.stop();
        return false;
      }
    }
    capturedBytes = countStart;
    for (SoundInput* in : inputs) {
      in->readOffset = 0;
      // The device's first frame belongs to this moment of the picture.
      in->placement.begin(startClock);
    }
    isWriting = true;
  }
  Run();
  // A loop that ended by itself (an exhausted pool, a lost device) leaves it running otherwise.
  stopDevice();
  return true;
}

void DirectSoundCapture::stopDevice() {
  // Held through the stop: a second caller returns once the first one's stop is complete.
  platform::MutexLock lock(hMutex_device);
  if (deviceStopped) return;
  if (stopFrameClock.load() < 0) stopFrameClock = frameClockMilliseconds();
  for (SoundInput* in : inputs) in->buffer.stop();
  deviceStopped = true;
}

SoundInput* DirectSoundCapture::pacingInput() {
  for (SoundInput* in : inputs) {
    if (!in->lost.load()) return in;
  }
  return nullptr;
}

void DirectSoundCapture::Run() {
  // The first source still there paces the loop: each of its notifications (every half second)
  // takes what every source's ring holds, so a second ring of one second never overruns. A
  // source that goes away is kept to the stop as silence (transfer marks it), and the next one
  // paces; with none left the loop fills the silence ten times a second.
  // The loop ended by itself (an exhausted pool): nothing more is taken.
  bool endedByItself = false;
  while (!getTerminated()) {
    SoundInput* pace = pacingInput();
    int woken = 0;
    if (pace != nullptr) {
      woken = pace->buffer.waitNotification();
    } else {
      platform::sleepMilliseconds(100);
    }
    // A device that went away wakes its reader: what it delivered before is taken at once.
    bool lostNow = false;
    for (SoundInput* in : inputs) lostNow = lostNow || (!in->lost && in->buffer.deviceLost());
    if (woken == 0 || woken == 1 || lostNow) {
      if (!transfer()) {
        endedByItself = true;
        break;
      }
    }
  }
  // StopWrite stops the devices before it asks the loop to end, so this takes the sound up to
  // the final positions even when the stop arrived during a transfer rather than a wait; a
  // source silent or gone at the stop reaches the stop's moment all the same.
  if (!endedByItself) transfer(true);
  platform::MutexLock lock(hMutex);
  isDone = true;
  isWriting = false;
}

bool DirectSoundCapture::StreamToFile(SoundInput& in) {
  platform::SoundTiming timing;
  if (!in.buffer.readTiming(&timing)) return true;
  // When the frame just before `position` was recorded, on the picture's clock.
  const double recordedAt = transferClock - timing.ageMilliseconds;
  uint32_t position = timing.position;
  if (in.readOffset > position) position += in.bufferBytes;
  const uint32_t n = position - in.readOffset;
  // What the device lost is kept for the sound that comes after it.
  if (n == 0) return true;
  const uint64_t lostFrames = timing.lostFrames - in.lostFramesSeen;
  const uint32_t after = timing.bytesAfterBreak;
  in.lostFramesSeen = timing.lostFrames;
  // A break at the very end of what came (nothing after it yet) goes before the sound that
  // comes next: it is left for the next transfer, which finds it again with its place.
  const bool discontinuity = timing.discontinuities != in.discontinuitiesSeen && after != 0;
  if (after != 0) in.discontinuitiesSeen = timing.discontinuities;
  // A break the device placed inside this sound (a stream moved to another source, a device
  // reopened): the sound before it is placed as if whole, and the silence for the break goes
  // where it happened, before the sound after it.
  if (discontinuity && after < n) {
    const uint32_t before = n - after;
    const double beforeAt = recordedAt - 1000.0 * (after / in.deviceFormat.blockAlign) /
                                             in.deviceFormat.samplesPerSecond;
    return takeSound(in, before, beforeAt, lostFrames, false) &&
           takeSound(in, after, recordedAt, 0, true);
  }
  return takeSound(in, n, recordedAt, lostFrames, discontinuity);
}

bool DirectSoundCapture::takeSound(SoundInput& in, uint32_t n, double recordedAt,
                                   uint64_t lostFrames, bool discontinuity) {
  auto advance = [&in, n] {
    in.readOffset += n;
    if (in.readOffset >= in.bufferBytes) in.readOffset -= in.bufferBytes;
    in.cuts.advance(n, in.readOffset);
  };

  void* region1 = nullptr;
  void* region2 = nullptr;
  uint32_t bytes1 = 0;
  uint32_t bytes2 = 0;
  if (!in.buffer.lock(in.readOffset, n, &region1, &bytes1, &region2, &bytes2)) {
    advance();
    return true;
  }
  // Both ranges are asked for before anything is listed, so an exhausted pool never leaves
  // half a transfer behind.
  uint8_t* chunk1 = bytes1 != 0 ? allocator->allocateFromBottom(bytes1) : nullptr;
  uint8_t* chunk2 = nullptr;
  if (bytes2 != 0 && (bytes1 == 0 || chunk1 != nullptr)) {
    chunk2 = allocator->allocateFromBottom(bytes2);
  }
  if ((bytes1 != 0 && chunk1 == nullptr) || (bytes2 != 0 && chunk2 == nullptr)) {
    if (chunk1 != nullptr) allocator->release(chunk1);
    // Unlocked first: the ring's lock is never held while hMutex is taken.
    in.buffer.unlock(region1, bytes1, region2, bytes2);
    // The picture stops with the sound: a recording whose sound ended early would be silently
    // shorter in sound than in picture.
    stopRecording(QV_STATUS_POOL_FULL);
    return false;
  }
  if (chunk1 != nullptr) memcpy_sse2(chunk1, region1, bytes1);
  if (chunk2 != nullptr) memcpy_sse2(chunk2, region2, bytes2);
  // The sound is copied: the ring goes back before hMutex is taken, whose holder may wait for
  // the ring (StartWrite starts the device under it).
  in.buffer.unlock(region1, bytes1, region2, bytes2);
  // What a pause cut out goes before the chunks are listed.
  POINTER_AND_SIZE pieces[2] = {{chunk1, bytes1}, {chunk2, bytes2}};
  in.cuts.cutOut(pieces, allocator);
  // --- The picture's clock: silence for a real gap before this sound, then the sound at the
  // ratio that keeps it on the picture.
  const auto keptFrames = static_cast<uint32_t>((pieces[0].size + pieces[1].size) / 4);
  bool room = listSilence(in, in.placement.silenceBefore(keptFrames, lostFrames, recordedAt,
                                                         discontinuity, closingTransfer));
  // What was converted before the pool ran out is listed like any sound, so it is written and
  // given back with the rest.
  room = convertPieces(in, pieces, room) && room;
  in.placement.placed((pieces[0].size + pieces[1].size) / 4);
  in.resampler->setRatio(in.placement.ratioNumerator(), in.placement.ratioDenominator());
  listPieces(in, pieces, 2);
  advance();
  if (!room) stopRecording(QV_STATUS_POOL_FULL);
  return room;
}

void DirectSoundCapture::listPieces(SoundInput& in, const POINTER_AND_SIZE* pieces, size_t count) {
  uint64_t listed = 0;
  {
    // A streaming writer reads the lists while they grow.
    platform::MutexLock lock(hMutex);
    std::vector<POINTER_AND_SIZE>& list = multiTrack() ? in.chunks : dataList;
    for (size_t i = 0; i < count; ++i) {
      if (pieces[i].pointer == nullptr) continue;
      list.push_back(pieces[i]);
      listed += pieces[i].size;
    }
  }
  if (multiTrack()) {
    in.trackBytes += listed;
    for (size_t i = 0; i < count; ++i) {
      if (pieces[i].pointer == nullptr) continue;
      // Copied as bytes: the pool's pieces may lie at any address.
      const size_t had = in.unmixed.size();
      in.unmixed.resize(had + pieces[i].size / 2);
      std::memcpy(in.unmixed.data() + had, pieces[i].pointer, pieces[i].size / 2 * 2);
    }
  } else {
    capturedBytes += listed;
  }
}

bool DirectSoundCapture::listSilence(SoundInput& in, uint64_t frames) {
  while (frames > 0) {
    const uint64_t n = std::min<uint64_t>(frames, waveFormat.samplesPerSecond);
    uint8_t* chunk = allocator->allocateFromBottom(n * 4);
    if (chunk == nullptr) {
      stopRecording(QV_STATUS_POOL_FULL);
      return false;
    }
    std::memset(chunk, 0, n * 4);
    const POINTER_AND_SIZE piece{chunk, n * 4};
    listPieces(in, &piece, 1);
    frames -= n;
  }
  return true;
}

bool DirectSoundCapture::silenceWhileLost(SoundInput& in, double until) {
  const double stopAt = stopFrameClock.load();
  return listSilence(in, in.placement.silenceUntil(stopAt >= 0 ? stopAt : until));
}

bool DirectSoundCapture::convertPieces(SoundInput& in, POINTER_AND_SIZE pieces[2], bool room) {
  for (int i = 0; i < 2; ++i) {
    POINTER_AND_SIZE& piece = pieces[i];
    if (piece.pointer == nullptr) continue;
    const auto frames = static_cast<uint32_t>(piece.size / 4);
    const uint32_t capacity = static_cast<uint32_t>(in.converted.size() / 2);
    const uint32_t made =
        room ? in.resampler->process(reinterpret_cast<const int16_t*>(piece.pointer), frames,
                                     in.converted.data(), capacity)
             : 0;
    // The device's piece goes back first: the converted one may take its room, so a nearly
    // full pool keeps as much sound as it did before there was a conversion.
    allocator->release(piece.pointer);
    uint8_t* chunk = made != 0 ? allocator->allocateFromBottom(uint64_t{made} * 4) : nullptr;
    if (made != 0 && chunk == nullptr) room = false;
    if (chunk != nullptr) memcpy_sse2(chunk, in.converted.data(), int64_t{made} * 4);
    piece = POINTER_AND_SIZE{chunk, chunk != nullptr ? uint64_t{made} * 4 : 0};
  }
  return room;
}

bool DirectSoundCapture::mixTracks(bool all) {
  size_t samples = all ? 0 : SIZE_MAX;
  for (SoundInput* in : tracks) {
    samples = all ? std::max(samples, in->unmixed.size()) : std::min(samples, in->unmixed.size());
  }
  samples -= samples % 2;  // whole stereo frames
  if (samples == 0) return true;
  uint8_t* chunk = allocator->allocateFromBottom(uint64_t{samples} * 2);
  if (chunk == nullptr) {
    stopRecording(QV_STATUS_POOL_FULL);
    return false;
  }
  std::vector<const std::vector<int16_t>*> sources;
  for (SoundInput* in : tracks) sources.push_back(&in->unmixed);
  mixSources(sources, samples, chunk);
  for (SoundInput* in : tracks) {
    const size_t n = std::min(samples, in->unmixed.size());
    in->unmixed.erase(in->unmixed.begin(), in->unmixed.begin() + static_cast<ptrdiff_t>(n));
  }
  {
    platform::MutexLock lock(hMutex);
    dataList.push_back(POINTER_AND_SIZE{chunk, uint64_t{samples} * 2});
  }
  capturedBytes += uint64_t{samples} * 2;
  return true;
}

size_t DirectSoundCapture::chunkCount() {
  platform::MutexLock lock(hMutex);
  return dataList.size();
}

POINTER_AND_SIZE DirectSoundCapture::chunkAt(size_t index) {
  platform::MutexLock lock(hMutex);
  return index < dataList.size() ? dataList[index] : POINTER_AND_SIZE{nullptr, 0};
}

void DirectSoundCapture::releaseChunks(size_t end) {
  platform::MutexLock lock(hMutex);
  for (; releasedChunks < end && releasedChunks < dataList.size(); ++releasedChunks) {
    if (allocator != nullptr) allocator->release(dataList[releasedChunks].pointer);
    dataList[releasedChunks].pointer = nullptr;
  }
}

size_t DirectSoundCapture::trackChunkCount(size_t track) {
  platform::MutexLock lock(hMutex);
  return track < tracks.size() ? tracks[track]->chunks.size() : 0;
}

POINTER_AND_SIZE DirectSoundCapture::trackChunkAt(size_t track, size_t index) {
  platform::MutexLock lock(hMutex);
  if (track >= tracks.size() || index >= tracks[track]->chunks.size()) {
    return POINTER_AND_SIZE{nullptr, 0};
  }
  return tracks[track]->chunks[index];
}

void DirectSoundCapture::releaseTrackChunks(size_t track, size_t end) {
  platform::MutexLock lock(hMutex);
  if (track >= tracks.size()) return;
  SoundInput& in = *tracks[track];
  for (; in.releasedChunks < end && in.releasedChunks < in.chunks.size(); ++in.releasedChunks) {
    if (allocator != nullptr) allocator->release(in.chunks[in.releasedChunks].pointer);
    in.chunks[in.releasedChunks].pointer = nullptr;
  }
}

bool DirectSoundCapture::transfer(bool last) {
  // Read before the cuts' locks are taken: a pause takes the clock's lock and then those.
  transferClock = frameClockMilliseconds();
  // Once the stop is asked for, what the device has not delivered yet goes after the sound.
  closingTransfer = last || stopFrameClock.load() >= 0;
  bool ok = true;
  for (SoundInput* in : inputs) {
    // Held through the transfer, so that a pause, a resume or a count made meanwhile sees the
    // stream position and the chunks of one moment.
    platform::MutexLock lock(in->cuts.mutex());
    // A device there again after it went away (a new default, the device plugged back in):
    // its sound goes on, the silence in between as long as the time it was away (the ring
    // notes the break where the sound resumed). Not after the stop: the stop ends it.
    if (in->lost && !last && !in->buffer.deviceLost()) in->lost = false;
    if (!in->lost) {
      // Asked before the sound is taken: all that a lost device delivered is in its ring by
      // then, and is kept.
      const bool goneNow = in->buffer.deviceLost();
      ok = StreamToFile(*in) && ok;
      if (goneNow) {
        // The recording goes on: this source's sound is silence of the exact length from here
        // to the stop, and the host is told.
        in->lost = true;
        in->wentAway = true;
        raiseRecordingWarning(QV_WARNING_SOUND_LOST);
      }
    }
    // A source gone, or silent at the stop, keeps up with the picture in silence.
    if (ok && (in->lost || last)) ok = silenceWhileLost(*in, transferClock);
  }
  // At the stop every track is as long as the longest: a device that started delivering a
  // little late, or whose last sound fell short of the stop by less than a gap, ends in silence.
  if (last && ok && multiTrack()) {
    uint64_t longest = 0;
    for (SoundInput* in : tracks) longest = std::max(longest, in->trackBytes);
    for (SoundInput* in : tracks) {
      if (ok) ok = listSilence(*in, (longest - in->trackBytes) / 4);
    }
  }
  // What arrived before the pool ran out is mixed all the same.
  if (multiTrack()) ok = mixTracks(last || !ok) && ok;
  return ok;
}

void DirectSoundCapture::cutSound(bool pausing) {
  for (SoundInput* in : inputs) {
    platform::MutexLock lock(in->cuts.mutex());
    uint32_t position = 0;
    if (!deviceReady || !in->buffer.readPosition(&position)) position = 0;
    in->cuts.mark(pausing, position, in->bufferBytes, in->deviceFormat.blockAlign);
  }
}

uint64_t DirectSoundCapture::liveSoundBytes() {
  if (inputs.empty()) return capturedBytes;
  // The first source paces the mix: what its device holds is what the mix will hold.
  SoundInput& in = *inputs.front();
  platform::MutexLock lock(in.cuts.mutex());
  uint32_t position = 0;
  if (!deviceReady || !isCapturing() || !in.buffer.readPosition(&position)) {
    return capturedBytes;
  }
  const uint64_t pending =
      in.cuts.pendingKept(position, in.bufferBytes, in.deviceFormat.blockAlign);
  // What the device holds, in the recording's bytes.
  return capturedBytes +
         pending / 4 * waveFormat.samplesPerSecond / in.deviceFormat.samplesPerSecond * 4;
}

bool DirectSoundCapture::isCapturing() {
  platform::MutexLock lock(hMutex);
  return isWriting;
}

bool DirectSoundCapture::StopWrite() {
  bool running;
  {
    // Only whether the loop runs is decided here. A host stop (setTerminated) sets the
    // library's stop flag before it gets here, and StartWrite reads that flag under hMutex, so
    // a loop that has not started by now never will.
    platform::MutexLock lock(hMutex);
    running = isWriting;
  }
  if (!running) return false;
  // The devices first: their stop waits for sound still on its way. Only then is the loop
  // asked to end, so a notification during that wait cannot make it take its last transfer
  // early; the last transfer reaches the devices' final positions.
  stopDevice();
  setTerminated(true);
  // Whichever source paces the loop now is woken.
  for (SoundInput* in : inputs) in->buffer.signalFirst();
  while (!getDone()) platform::sleepMilliseconds(200);
  setHeaderLengths(static_cast<uint32_t>(std::min<uint64_t>(capturedBytes, kMaxWavData)));
  return true;
}

uint32_t DirectSoundCapture::unreadBytes() {
  uint32_t most = 0;
  for (SoundInput* in : inputs) {
    // readOffset moves only inside a transfer, which holds this lock.
    platform::MutexLock lock(in->cuts.mutex());
    uint32_t position = 0;
    if (!in->buffer.readPosition(&position)) continue;
    most = std::max(most, (position + in->bufferBytes - in->readOffset) %
                              (in->bufferBytes == 0 ? 1 : in->bufferBytes));
  }
  return most;
}

void DirectSoundCapture::setHeaderLengths(uint32_t dataLength) {
  putU32(wavHeader + 4, dataLength + 36);
  putU32(wavHeader + 40, dataLength);
}

bool DirectSoundCapture::Release() {
  for (const std::unique_ptr<SoundInput>& in : asked) in->buffer.close();
  deviceReady = false;
  platform::closeMutex(hMutex);
  platform::closeMutex(hMutex_device);
  if (allocator != nullptr) {
    for (const POINTER_AND_SIZE& chunk : dataList) {
      if (chunk.pointer != nullptr) allocator->release(chunk.pointer);
    }
    for (SoundInput* in : tracks) {
      for (const POINTER_AND_SIZE& chunk : in->chunks) {
        if (chunk.pointer != nullptr) allocator->release(chunk.pointer);
      }
      in->chunks.clear();
    }
  }
  dataList.clear();
  return true;
}

}  // namespace quorvane_capture

using namespace quorvane_capture;

extern "C" {

QV_EXPORT qv_thread_result AudioCaptureThread(void*) {
  if (!isInitialized() || dsc == nullptr) return 0;
  const SoundThreadScope soundThread;
  return dsc->StartWrite() ? 1 : 0;
}

}  // extern "C"
