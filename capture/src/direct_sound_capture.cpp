#include "direct_sound_capture.h"

#include <algorithm>
#include <cstring>

#include "capture_state.h"
#include "pause.h"

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
    : source(source),
      bufferBytes(0),
      notifyPositions{0, 0},
      waveFormat{1, 2, samplesPerSecond, samplesPerSecond * 4, 4, 16},
      deviceFormat{},
      capturedBytes(0),
      isDone(false),
      isTerminated(false),
      isWriting(false),
      deviceReady(false),
      wavHeader{},
      hMutex(nullptr),
      hMutex_device(nullptr),
      deviceStopped(false),
      readOffset(0),
      allocator(nullptr) {
  dataList.clear();
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
  if (!captureBuffer.openDevice(source)) return false;
  return SetFormat() && CreateBuffer() && SetupNotifications();
}

bool DirectSoundCapture::SetFormat() {
  if (!captureBuffer.queryCapabilities()) return false;
  // The device records at its own rate (a system that converts for us converts worse, or not
  // at all), and the recording's rate comes from our resampler.
  uint32_t rate = waveFormat.samplesPerSecond;
  if (!captureBuffer.nativeRate(&rate) || rate < 8000 || rate > 384000) {
    rate = waveFormat.samplesPerSecond;
  }
  deviceFormat = platform::SoundFormat{1, 2, rate, rate * 4, 4, 16};
  // Always through the resampler, even at the recording's own rate: no device's clock runs at
  // exactly its rate, and the ratio is what keeps the sound on the picture for hours.
  resampler.reset(new (std::nothrow) Resampler(rate, waveFormat.samplesPerSecond));
  if (resampler == nullptr || !resampler->ready()) return false;
  converted.resize(2 * static_cast<size_t>(resampler->maxOutput(rate)));
  placement = SoundClock(rate, waveFormat.samplesPerSecond);
  return true;
}

bool DirectSoundCapture::CreateBuffer() {
  bufferBytes = deviceFormat.averageBytesPerSecond;
  return captureBuffer.createBuffer(deviceFormat, bufferBytes);
}

bool DirectSoundCapture::SetupNotifications() {
  notifyPositions[0] = 0;
  notifyPositions[1] = bufferBytes / 2;
  return captureBuffer.setupNotifications(notifyPositions);
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
    if (!captureBuffer.start()) return false;
    // The device's first frame belongs to this moment of the picture.
    placement.begin(startClock);
    capturedBytes = countStart;
    readOffset = 0;
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
  captureBuffer.stop();
  deviceStopped = true;
}

void DirectSoundCapture::Run() {
  // The loop ended by itself (an exhausted pool, a lost device): nothing more is taken.
  bool endedByItself = false;
  while (!getTerminated()) {
    const int woken = captureBuffer.waitNotification();
    if (woken == 0 || woken == 1) {
      if (!transfer()) {
        endedByItself = true;
        break;
      }
    }
    if (captureBuffer.deviceLost()) {
      // What arrived before the loss is kept, and the recording goes on: its sound is silence
      // of the exact length from here to the stop, and the host is told.
      transfer();
      lost = true;
      raiseRecordingWarning(QV_WARNING_SOUND_LOST);
      while (!getTerminated() && !endedByItself) {
        if (!silenceWhileLost()) endedByItself = true;
        platform::sleepMilliseconds(100);
      }
      break;
    }
  }
  // StopWrite stops the device before it asks the loop to end, so this takes the sound up to
  // the final position even when the stop arrived during a transfer rather than a wait.
  if (!endedByItself && !lost) transfer();
  // A device silent or gone at the stop: its sound reaches the stop's moment all the same.
  if (!endedByItself) silenceWhileLost();
  platform::MutexLock lock(hMutex);
  isDone = true;
  isWriting = false;
}

bool DirectSoundCapture::StreamToFile() {
  platform::SoundTiming timing;
  if (!captureBuffer.readTiming(&timing)) return true;
  // When the frame just before `position` was recorded, on the picture's clock.
  const double recordedAt = transferClock - timing.ageMilliseconds;
  uint32_t position = timing.position;
  if (readOffset > position) position += bufferBytes;
  const uint32_t n = position - readOffset;
  if (n == 0) return true;

  auto advance = [this, n] {
    readOffset += n;
    if (readOffset >= bufferBytes) readOffset -= bufferBytes;
  };

  void* region1 = nullptr;
  void* region2 = nullptr;
  uint32_t bytes1 = 0;
  uint32_t bytes2 = 0;
  if (!captureBuffer.lock(readOffset, n, &region1, &bytes1, &region2, &bytes2)) {
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
    captureBuffer.unlock(region1, bytes1, region2, bytes2);
    // The picture stops with the sound: a recording whose sound ended early would be silently
    // shorter in sound than in picture.
    stopRecording(QV_STATUS_POOL_FULL);
    return false;
  }
  if (chunk1 != nullptr) memcpy_sse2(chunk1, region1, bytes1);
  if (chunk2 != nullptr) memcpy_sse2(chunk2, region2, bytes2);
  // The sound is copied: the ring goes back before hMutex is taken, whose holder may wait for
  // the ring (StartWrite starts the device under it).
  captureBuffer.unlock(region1, bytes1, region2, bytes2);
  // What a pause cut out goes before the chunks are listed.
  POINTER_AND_SIZE pieces[2] = {{chunk1, bytes1}, {chunk2, bytes2}};
  cuts.cutOut(pieces, allocator);
  // --- The picture's clock: silence for a real gap before this sound, then the sound at the
  // ratio that keeps it on the picture.
  const uint64_t lostFrames = timing.lostFrames - lostFramesSeen;
  const bool discontinuity = timing.discontinuities != discontinuitiesSeen;
  lostFramesSeen = timing.lostFrames;
  discontinuitiesSeen = timing.discontinuities;
  const auto keptFrames = static_cast<uint32_t>((pieces[0].size + pieces[1].size) / 4);
  bool room =
      listSilence(placement.silenceBefore(keptFrames, lostFrames, recordedAt, discontinuity));
  // What was converted before the pool ran out is listed like any sound, so it is written and
  // given back with the rest.
  room = convertPieces(pieces, room) && room;
  placement.placed((pieces[0].size + pieces[1].size) / 4);
  resampler->setRatio(placement.ratioNumerator(), placement.ratioDenominator());
  {
    // A streaming writer reads the list while it grows.
    platform::MutexLock lock(hMutex);
    for (const POINTER_AND_SIZE& piece : pieces) {
      if (piece.pointer != nullptr) dataList.push_back(piece);
    }
  }
  capturedBytes += pieces[0].size + pieces[1].size;
  advance();
  if (!room) stopRecording(QV_STATUS_POOL_FULL);
  return room;
}

bool DirectSoundCapture::listSilence(uint64_t frames) {
  while (frames > 0) {
    const uint64_t n = std::min<uint64_t>(frames, waveFormat.samplesPerSecond);
    uint8_t* chunk = allocator->allocateFromBottom(n * 4);
    if (chunk == nullptr) {
      stopRecording(QV_STATUS_POOL_FULL);
      return false;
    }
    std::memset(chunk, 0, n * 4);
    {
      platform::MutexLock lock(hMutex);
      dataList.push_back(POINTER_AND_SIZE{chunk, n * 4});
    }
    capturedBytes += n * 4;
    frames -= n;
  }
  return true;
}

bool DirectSoundCapture::silenceWhileLost() {
  // The clock first: a pause takes the clock's lock and then the cuts' one.
  const double stopAt = stopFrameClock.load();
  const double until = stopAt >= 0 ? stopAt : frameClockMilliseconds();
  platform::MutexLock lock(cuts.mutex());
  return listSilence(placement.silenceUntil(until));
}

double DirectSoundCapture::soundOffsetMilliseconds() {
  platform::MutexLock lock(cuts.mutex());
  return placement.offsetMilliseconds();
}

double DirectSoundCapture::measuredDeviceRate() {
  platform::MutexLock lock(cuts.mutex());
  return placement.measuredRate();
}

bool DirectSoundCapture::convertPieces(POINTER_AND_SIZE pieces[2], bool room) {
  for (int i = 0; i < 2; ++i) {
    POINTER_AND_SIZE& piece = pieces[i];
    if (piece.pointer == nullptr) continue;
    const auto frames = static_cast<uint32_t>(piece.size / 4);
    const uint32_t capacity = static_cast<uint32_t>(converted.size() / 2);
    const uint32_t made = room ? resampler->process(reinterpret_cast<const int16_t*>(piece.pointer),
                                                    frames, converted.data(), capacity)
                               : 0;
    // The device's piece goes back first: the converted one may take its room, so a nearly
    // full pool keeps as much sound as it did before there was a conversion.
    allocator->release(piece.pointer);
    uint8_t* chunk = made != 0 ? allocator->allocateFromBottom(uint64_t{made} * 4) : nullptr;
    if (made != 0 && chunk == nullptr) room = false;
    if (chunk != nullptr) memcpy_sse2(chunk, converted.data(), int64_t{made} * 4);
    piece = POINTER_AND_SIZE{chunk, chunk != nullptr ? uint64_t{made} * 4 : 0};
  }
  return room;
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

bool DirectSoundCapture::transfer() {
  // Read before the cuts' lock is taken: a pause takes the clock's lock and then that one.
  transferClock = frameClockMilliseconds();
  // Held through the transfer, so that a pause, a resume or a count made meanwhile sees the
  // stream position and the chunks of one moment.
  platform::MutexLock lock(cuts.mutex());
  const uint32_t offsetBefore = readOffset;
  const bool ok = StreamToFile();
  cuts.advance((readOffset + bufferBytes - offsetBefore) % bufferBytes, readOffset);
  return ok;
}

void DirectSoundCapture::cutSound(bool pausing) {
  platform::MutexLock lock(cuts.mutex());
  uint32_t position = 0;
  if (!deviceReady || !captureBuffer.readPosition(&position)) position = 0;
  cuts.mark(pausing, position, bufferBytes, deviceFormat.blockAlign);
}

uint64_t DirectSoundCapture::liveSoundBytes() {
  platform::MutexLock lock(cuts.mutex());
  uint32_t position = 0;
  if (!deviceReady || !isCapturing() || !captureBuffer.readPosition(&position)) {
    return capturedBytes;
  }
  const uint64_t pending = cuts.pendingKept(position, bufferBytes, deviceFormat.blockAlign);
  // What the device holds, in the recording's bytes.
  return capturedBytes +
         pending / 4 * waveFormat.samplesPerSecond / deviceFormat.samplesPerSecond * 4;
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
  // The device first: its stop waits for sound still on its way. Only then is the loop asked
  // to end, so a notification during that wait cannot make it take its last transfer early;
  // the last transfer reaches the device's final position.
  stopDevice();
  setTerminated(true);
  captureBuffer.signalFirst();
  while (!getDone()) platform::sleepMilliseconds(200);
  setHeaderLengths(static_cast<uint32_t>(std::min<uint64_t>(capturedBytes, kMaxWavData)));
  return true;
}

uint32_t DirectSoundCapture::unreadBytes() {
  // readOffset moves only inside a transfer, which holds this lock.
  platform::MutexLock lock(cuts.mutex());
  uint32_t position = 0;
  if (!captureBuffer.readPosition(&position)) return 0;
  return (position + bufferBytes - readOffset) % (bufferBytes == 0 ? 1 : bufferBytes);
}

void DirectSoundCapture::setHeaderLengths(uint32_t dataLength) {
  putU32(wavHeader + 4, dataLength + 36);
  putU32(wavHeader + 40, dataLength);
}

bool DirectSoundCapture::Release() {
  captureBuffer.close();
  deviceReady = false;
  platform::closeMutex(hMutex);
  platform::closeMutex(hMutex_device);
  if (allocator != nullptr) {
    for (const POINTER_AND_SIZE& chunk : dataList) {
      if (chunk.pointer != nullptr) allocator->release(chunk.pointer);
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
