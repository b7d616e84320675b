// The reader plug-in on real screen content and on video-like content (second argument 1): a
// 1920x1080, 30 fps recording of the desktop frames in bench/data or of generated moving pictures,
// with two seconds of sound, written as the capture library lays it out (sound
// first, a key record every 30 pictures, differences between). Sequential decoding in frames
// per second through the core and both editors' tables, jumps in milliseconds, the sound reads'
// latency while pictures are rebuilt on the same handle, beside the floors: Snappy alone on
// the same payloads and the copy into the editor's buffer.
#include <benchmark/benchmark.h>
#include <snappy.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <thread>

#include "container_reader.h"
#include "editor2_plugin.h"
#include "editor_input.h"
#include "qvf_test_writer.h"

namespace {

constexpr uint64_t kWidth = 1920, kHeight = 1080, kRate = 30;
constexpr size_t kFrameBytes = kWidth * kHeight * 2;
constexpr int kSamples = 2 * 44100;
constexpr int kSamplesPerFrame = 44100 / kRate;  // what the editor asks for at a time

struct Recording {
  std::string path;
  int frames = 0;
  qv_test::Bytes deltaPayload;  // one typical difference record, for the Snappy floor
  qv_test::Bytes deltaRaw;      // the same difference before it is stored
};

Recording writeBenchRecording(const std::vector<qv_test::Bytes>& pictures, const char* name) {
  Recording r;
  if (pictures.empty()) return r;
  qv_test::QvfWriter w(kRate, kWidth, kHeight);
  std::vector<qv_test::Bytes> sound;  // half a second a record, as the capture writes it
  for (int s = 0; s < kSamples; s += 22050) sound.push_back(qv_test::pcm(s, 22050));
  qv_test::writeRecording(w, kRate, pictures, sound);
  r.deltaRaw = qv_test::difference(pictures[2], pictures[1]);
  r.deltaPayload = qv_test::snappyBlock(r.deltaRaw);
  r.frames = static_cast<int>(pictures.size());
  r.path = (std::filesystem::temp_directory_path() / name).string();
  qv_test::writeFile(r.path, w.bytes());
  return r;
}

// Built once per run from the desktop frames in bench/data (decompressed on the fly, never stored).
const Recording& desktopRecording() {
  static const Recording rec = [] {
    const char* zst = std::getenv("QV_SCREEN_FRAMES_ZST");
    const std::string cmd = std::string("zstd -dc '") + (zst ? zst : QV_SCREEN_FRAMES_ZST) + "'";
    FILE* in = popen(cmd.c_str(), "r");
    if (!in) return Recording();
    std::vector<uint8_t> bgra(kWidth * kHeight * 4);
    std::vector<qv_test::Bytes> pictures;
    while (std::fread(bgra.data(), 1, bgra.size(), in) == bgra.size()) {
      qv_test::Bytes yuy2(kFrameBytes);
      qv_test::bgraToYuy2(bgra.data(), yuy2.data(), kWidth * kHeight);
      pictures.push_back(std::move(yuy2));
    }
    pclose(in);
    return writeBenchRecording(pictures, "qv-bench-reader.qvf");
  }();
  return rec;
}

// Moving pictures, as a video played in the recorded window gives them: a textured scene
// panned a few pixels a frame, a shape crossing it and sensor-like noise, so nearly every byte
// changes from one frame to the next and differences compress far less than a desktop's.
const Recording& videoRecording() {
  static const Recording rec = [] {
    std::vector<qv_test::Bytes> pictures;
    std::vector<uint8_t> bgra(kWidth * kHeight * 4);
    uint32_t noise = 12345;
    for (int f = 0; f < 60; ++f) {
      for (uint64_t y = 0; y < kHeight; ++y) {
        for (uint64_t x = 0; x < kWidth; ++x) {
          const uint64_t u = x + 5 * f, v = y + 3 * f;
          uint32_t h = static_cast<uint32_t>((u / 24) * 73856093u ^ (v / 24) * 19349663u);
          h = (h ^ (h >> 13)) * 0x5bd1e995u;
          noise = noise * 1664525u + 1013904223u;
          const int n = static_cast<int>(noise >> 29) - 4;
          uint8_t* p = &bgra[(y * kWidth + x) * 4];
          const bool shape = (x - 20 * f) % kWidth < 300 && y > 400 && y < 700;
          for (int c = 0; c < 3; ++c) {
            const int base = shape ? 200 - c * 60
                                   : static_cast<int>((h >> (8 * c)) & 0x7F) +
                                         static_cast<int>((u * (c + 1) + v * 2) % 96);
            p[c] = static_cast<uint8_t>(std::clamp(base + n, 0, 255));
          }
          p[3] = 0;
        }
      }
      qv_test::Bytes yuy2(kFrameBytes);
      qv_test::bgraToYuy2(bgra.data(), yuy2.data(), kWidth * kHeight);
      pictures.push_back(std::move(yuy2));
    }
    return writeBenchRecording(pictures, "qv-bench-reader-video.qvf");
  }();
  return rec;
}

// Which recording a benchmark reads: content 0 the desktop, 1 the video-like one.
const Recording& recording(int64_t content = 0) {
  return content == 1 ? videoRecording() : desktopRecording();
}

const qv_reader::PictureCodec* codecFor(int64_t which) {
  return which == 0 ? &qv_reader::baselineCodec() : qv_reader::ssse3Codec();
}

bool ready(benchmark::State& state, const qv_reader::PictureCodec* codec, int64_t content = 0) {
  if (recording(content).frames == 0) {
    state.SkipWithError("no screen frames: set QV_SCREEN_FRAMES_ZST or install zstd");
    return false;
  }
  if (!codec || (codec != &qv_reader::baselineCodec() && !qv_reader::processorHasSsse3())) {
    state.SkipWithError("codec not available on this build or processor");
    return false;
  }
  state.SetLabel(std::string(codec->name) + (content == 1 ? ", video" : ", desktop"));
  return true;
}

// Frames in order, as playback and export ask for them; wraps to the first key record.
void BM_ReaderSequential(benchmark::State& state) {
  const qv_reader::PictureCodec* codec = codecFor(state.range(0));
  const int64_t content = state.range(1);
  if (!ready(state, codec, content)) return;
  qv_reader::ContainerReader reader(*codec);
  if (!reader.open(recording(content).path.c_str())) return state.SkipWithError("open failed");
  std::vector<uint8_t> out(kFrameBytes);
  int frame = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(reader.readVideo(frame, out.data()));
    frame = (frame + 1) % recording(content).frames;
  }
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(state.iterations() * kFrameBytes);
}
BENCHMARK(BM_ReaderSequential)
    ->ArgsProduct({{0, 1}, {0, 1}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// One handle on the recording through either editor's table, as that editor calls it: arg 0
// the 32-bit editor's (narrow name, one lock per handle), arg 1 the 64-bit editor's (UTF-16
// name, picture lock only).
class TableHandle {
 public:
  explicit TableHandle(int64_t which) : editor2_(which == 1) {
    const std::string& narrow = recording().path;
    const std::u16string wide(narrow.begin(), narrow.end());
    handle_ =
        editor2_ ? t2_->func_open(wide.c_str()) : t1_->func_open(const_cast<char*>(narrow.c_str()));
  }
  ~TableHandle() {
    if (handle_) editor2_ ? t2_->func_close(handle_) : t1_->func_close(handle_);
  }
  bool ok() const { return handle_ != nullptr; }
  const char* name() const { return editor2_ ? "64-bit editor's table" : "32-bit editor's table"; }
  int readVideo(int frame, void* buf) const {
    return editor2_ ? t2_->func_read_video(handle_, frame, buf)
                    : t1_->func_read_video(handle_, frame, buf);
  }
  int readAudio(int start, int length, void* buf) const {
    return editor2_ ? t2_->func_read_audio(handle_, start, length, buf)
                    : t1_->func_read_audio(handle_, start, length, buf);
  }

 private:
  bool editor2_;
  INPUT_PLUGIN_TABLE* t1_ = GetInputPluginTable();
  editor2::INPUT_PLUGIN_TABLE* t2_ = qv_reader::editor2Table();
  void* handle_ = nullptr;
};

// The same through an editor's table (the codec the processor gets, the table's locking).
void BM_ReaderSequentialPluginTable(benchmark::State& state) {
  if (!ready(state, &qv_reader::bestCodec())) return;
  TableHandle h(state.range(0));
  if (!h.ok()) return state.SkipWithError("open failed");
  state.SetLabel(h.name());
  std::vector<uint8_t> out(kFrameBytes);
  int frame = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(h.readVideo(frame, out.data()));
    frame = (frame + 1) % recording().frames;
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ReaderSequentialPluginTable)
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// One handle, two threads as the 64-bit editor runs them: one rebuilds pictures by 30-frame
// jumps (to frames 29 and 59 in turn: a key and 29 differences each), the other reads sound a
// frame's worth at a time, a millisecond apart. Each iteration is one sound read; worst_ms and
// p99_ms are the slowest and the 99th percentile of the sound reads that overlapped a jump (on a
// loaded machine the worst includes the time the thread waited for a processor). The 32-bit
// editor's table (arg 0) is there for contrast: its one lock per handle makes sound wait.
void BM_ReaderSoundDuringJumps(benchmark::State& state) {
  if (!ready(state, &qv_reader::bestCodec())) return;
  if (recording().frames < 60) return state.SkipWithError("needs 60 frames");
  TableHandle h(state.range(0));
  if (!h.ok()) return state.SkipWithError("open failed");
  state.SetLabel(h.name());

  std::atomic<bool> stop{false}, jumping{false};
  std::atomic<int> jumps{0};
  std::thread pictures([&] {
    std::vector<uint8_t> out(kFrameBytes);
    for (bool second = false; !stop; second = !second) {
      jumping = true;
      h.readVideo(second ? 59 : 29, out.data());
      jumping = false;
      ++jumps;
    }
  });
  std::vector<uint8_t> sound(kSamplesPerFrame * 4);
  std::vector<double> during;
  during.reserve(1 << 20);
  int start = 0;
  for (auto _ : state) {
    // Sound at 30 times the playback pace: the editor asks for a frame's worth per frame.
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    const bool before = jumping;
    const auto t0 = std::chrono::steady_clock::now();
    benchmark::DoNotOptimize(h.readAudio(start, kSamplesPerFrame, sound.data()));
    const double ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
    if ((before || jumping) && during.size() < during.capacity()) during.push_back(ms);
    start = (start + kSamplesPerFrame) % (kSamples - kSamplesPerFrame);
  }
  stop = true;
  pictures.join();
  std::sort(during.begin(), during.end());
  state.counters["worst_ms"] = during.empty() ? 0 : during.back();
  state.counters["p99_ms"] = during.empty() ? 0 : during[during.size() * 99 / 100];
  state.counters["jumps"] = jumps.load();
}
BENCHMARK(BM_ReaderSoundDuringJumps)
    ->Arg(0)
    ->Arg(1)
    ->MinTime(2.0)
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime();

// Scrubbing: random frames; the counter worst_ms is the slowest single jump seen.
void BM_ReaderRandomJump(benchmark::State& state) {
  const qv_reader::PictureCodec* codec = codecFor(state.range(0));
  const int64_t content = state.range(1);
  if (!ready(state, codec, content)) return;
  qv_reader::ContainerReader reader(*codec);
  if (!reader.open(recording(content).path.c_str())) return state.SkipWithError("open failed");
  std::vector<uint8_t> out(kFrameBytes);
  std::mt19937 rng(11);
  double worst = 0;
  int last = 0;
  for (auto _ : state) {
    int frame;
    do {
      frame = static_cast<int>(rng() % recording(content).frames);
    } while (frame == last || frame == last + 1);  // a jump, not the next frame
    const auto t0 = std::chrono::steady_clock::now();
    reader.readVideo(frame, out.data());
    const double ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
    worst = std::max(worst, ms);
    last = frame;
  }
  state.counters["worst_ms"] = worst;
}
BENCHMARK(BM_ReaderRandomJump)
    ->ArgsProduct({{0, 1}, {0, 1}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// The worst jump there is: to the frame just before a key record, from elsewhere, so a key and
// 29 differences are decoded every time.
void BM_ReaderWorstJump(benchmark::State& state) {
  const qv_reader::PictureCodec* codec = codecFor(state.range(0));
  const int64_t content = state.range(1);
  if (!ready(state, codec, content)) return;
  if (recording(content).frames < 60) return state.SkipWithError("needs 60 frames");
  qv_reader::ContainerReader reader(*codec);
  if (!reader.open(recording(content).path.c_str())) return state.SkipWithError("open failed");
  std::vector<uint8_t> out(kFrameBytes);
  bool second = false;
  for (auto _ : state) {
    reader.readVideo(second ? 59 : 29, out.data());
    second = !second;
  }
}
BENCHMARK(BM_ReaderWorstJump)
    ->ArgsProduct({{0, 1}, {0, 1}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// Floors: Debian's Snappy on one difference payload, and the copy into the editor's buffer.
void BM_SnappyUncompressDifference(benchmark::State& state) {
  const int64_t content = state.range(0);
  if (recording(content).frames == 0) return state.SkipWithError("no screen frames");
  const qv_test::Bytes& payload = recording(content).deltaPayload;
  std::vector<char> out(kFrameBytes);
  for (auto _ : state) {
    snappy::RawUncompress(reinterpret_cast<const char*>(payload.data()), payload.size(),
                          out.data());
    benchmark::DoNotOptimize(out.data());
  }
  state.SetLabel(content == 1 ? "libsnappy (Debian), video" : "libsnappy (Debian), desktop");
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SnappyUncompressDifference)
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// What storing one difference costs the writer, and its size: arg 0 Snappy's compressor alone
// on the whole difference, arg 1 the file's form (format/qvf_blocks.h: pieces that hardly
// shrink kept as literals). Second argument: the content.
void BM_StoreDifference(benchmark::State& state) {
  const int64_t content = state.range(1);
  if (recording(content).frames == 0) return state.SkipWithError("no screen frames");
  const qv_test::Bytes& raw = recording(content).deltaRaw;
  std::vector<char> out(snappy::MaxCompressedLength(raw.size())),
      scratch(qvf::kSnappyPieceScratchBytes);
  size_t length = 0;
  for (auto _ : state) {
    if (state.range(0) == 0) {
      snappy::RawCompress(reinterpret_cast<const char*>(raw.data()), raw.size(), out.data(),
                          &length);
    } else {
      length = qvf::putSnappyBlock(reinterpret_cast<const char*>(raw.data()), raw.size(),
                                   out.data(), scratch.data());
    }
    benchmark::DoNotOptimize(out.data());
  }
  state.counters["stored/raw"] = static_cast<double>(length) / static_cast<double>(raw.size());
  state.SetLabel(std::string(state.range(0) ? "file's form" : "libsnappy (Debian) whole") +
                 (content == 1 ? ", video" : ", desktop"));
}
BENCHMARK(BM_StoreDifference)
    ->ArgsProduct({{0, 1}, {0, 1}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// One difference added to a picture by the processor's codec: arg 0 decompressed whole and
// added (the way before pieces), arg 1 a 64 KiB piece at a time while the piece is in the
// cache. Second argument: the content, as above.
void BM_AddDifference(benchmark::State& state) {
  const qv_reader::PictureCodec& codec = qv_reader::bestCodec();
  const int64_t content = state.range(1);
  if (recording(content).frames == 0) return state.SkipWithError("no screen frames");
  if (state.range(0) == 1 && !codec.applyDifferencePieces) {
    return state.SkipWithError("this codec has no piece decoder");
  }
  const qv_test::Bytes& payload = recording(content).deltaPayload;
  const char* block = reinterpret_cast<const char*>(payload.data());
  std::vector<uint8_t> picture(kFrameBytes, 1), whole(kFrameBytes),
      piece(qv_reader::kPieceBufferBytes);
  for (auto _ : state) {
    if (state.range(0) == 1) {
      size_t applied = 0;
      codec.applyDifferencePieces(block, payload.size(), picture.data(), kFrameBytes, piece.data(),
                                  false, &applied);
    } else {
      codec.uncompress(block, payload.size(), reinterpret_cast<char*>(whole.data()));
      codec.addDifference(picture.data(), whole.data(), kFrameBytes);
    }
    benchmark::DoNotOptimize(picture.data());
  }
  state.SetLabel(std::string(codec.name) + (state.range(0) ? ", pieces" : ", whole") +
                 (content == 1 ? ", video" : ", desktop"));
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_AddDifference)
    ->ArgsProduct({{0, 1}, {0, 1}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

void BM_MemcpyFrame(benchmark::State& state) {
  std::vector<uint8_t> a(kFrameBytes, 1), b(kFrameBytes);
  for (auto _ : state) {
    std::memcpy(b.data(), a.data(), kFrameBytes);
    benchmark::DoNotOptimize(b.data());
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_MemcpyFrame)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
