// Opening a one-hour 1920x1080 60 fps recording (216 000 picture records, a sound record every
// 100 ms), with the page cache for the file dropped before every open.
//
// The files are real files of the real length, made sparse so that the set-up takes seconds:
// - the indexed hour holds the file header, then a hole as long as all its records, then its
//   index record. An indexed open reads only the header, the trailer and the index record, so
//   it sees exactly what it would see in a recording (the records' own bytes are never read);
// - the walked file is one minute of the same recording with every record header written (the
//   walk reads them all): its figures are per record, and scaled to the hour's records.
// Counters: bytes and reads per open; for 32 handles on the hour, memory of one handle and of
// 32, and the time of each open after the first.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <malloc.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "container_reader.h"
#include "qvf_index.h"
#include "qvf_test_writer.h"

namespace {

constexpr uint64_t kRate = 60, kHourFrames = 60 * 60 * kRate, kMinuteFrames = 60 * kRate;

// The records of `frames` frames of a busy desktop, in file order, to `add(type, payload)`.
template <typename Add>
void listRecords(uint64_t frames, Add&& add) {
  for (uint64_t i = 0; i < frames; ++i) {
    if (i % 6 == 0) add(qvf::RECORD_AUDIO, 17640);  // 100 ms of sound
    // Typical sizes of a busy desktop: 600 KB keys, 90 KB differences.
    add(i % kRate == 0 ? qvf::RECORD_KEY : qvf::RECORD_DELTA, i % kRate == 0 ? 600000 : 90000);
  }
}

uint64_t hourRecords() {
  uint64_t n = 0;
  listRecords(kHourFrames, [&](uint64_t, uint64_t) { ++n; });
  return n;
}

bool writeAll(int fd, const void* data, size_t size, uint64_t at) {
  const auto* p = static_cast<const uint8_t*>(data);
  while (size > 0) {
    const ssize_t n = ::pwrite(fd, p, size, static_cast<off_t>(at));
    if (n <= 0) return false;
    p += n;
    size -= static_cast<size_t>(n);
    at += static_cast<uint64_t>(n);
  }
  return true;
}

// The file header at 0, then either the index record after a hole as long as the records, or
// every record header and no index record (the last payload's end is written, so that the
// file has its full length). Synced, so that the page cache can be dropped afterwards.
void writeFile(const std::string& path, uint64_t frames, bool indexed) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) return;
  qv_test::QvfWriter header(kRate, 1920, 1080);
  bool ok = writeAll(fd, header.bytes().data(), header.bytes().size(), 0);
  qvf::IndexBuilder index;
  listRecords(frames, [&](uint64_t type, uint64_t payload) {
    if (!indexed) {
      const qvf::RecordHeader h{qvf::kRecordHeaderSize, type, payload};
      ok = ok && writeAll(fd, &h, sizeof h, index.end());
    }
    index.add(type, payload);
  });
  if (indexed) {
    const std::vector<uint8_t> record = index.record();
    ok = ok && writeAll(fd, record.data(), record.size(), index.end());
  } else {
    const uint8_t zero = 0;
    ok = ok && writeAll(fd, &zero, 1, index.end() - 1);
  }
  ok = ok && ::fsync(fd) == 0;
  ::close(fd);
  if (!ok) std::remove(path.c_str());
}

struct Files {
  std::string hour, minute;
};

const Files& files() {
  // Never destroyed: the files are removed at exit, after static objects are gone.
  static Files& f = *[] {
    const auto dir = std::filesystem::temp_directory_path();
    auto* made = new Files{(dir / "qv-bench-open-hour.qvf").string(),
                           (dir / "qv-bench-open-minute.qvf").string()};
    writeFile(made->hour, kHourFrames, true);
    writeFile(made->minute, kMinuteFrames, false);
    std::atexit([] {
      std::remove(files().hour.c_str());
      std::remove(files().minute.c_str());
    });
    return made;
  }();
  return f;
}

void dropCache(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY);
  if (fd < 0) return;
  ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
  ::close(fd);
}

double msSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
      .count();
}

// What an index holds on the heap.
double indexBytes(const qv_reader::RecordIndex& index) {
  size_t bytes = sizeof index + index.video.capacity() * sizeof(qv_reader::VideoIndexEntry) +
                 index.audio.capacity() * sizeof(qv_reader::AudioIndexEntry) +
                 index.tracks.capacity() * sizeof(qv_reader::AudioTrackIndex);
  for (const qv_reader::AudioTrackIndex& t : index.tracks) {
    bytes += t.audio.capacity() * sizeof(qv_reader::AudioIndexEntry);
  }
  return static_cast<double>(bytes);
}

void setReadCounters(benchmark::State& state, const qv_reader::RecordIndex& index) {
  state.counters["bytes_read"] = static_cast<double>(index.bytesRead);
  state.counters["reads"] = static_cast<double>(index.reads);
  state.counters["index_bytes"] = indexBytes(index);
}

// The hour through its index record; cold=0 keeps the file cached, which leaves the decoding
// and the tables.
void BM_OpenHourIndexed(benchmark::State& state) {
  const std::string& path = files().hour;
  const bool cold = state.range(0) != 0;
  std::shared_ptr<const qv_reader::RecordIndex> index;
  for (auto _ : state) {
    state.PauseTiming();
    index.reset();  // the only handle: nothing is shared
    if (cold) dropCache(path);
    state.ResumeTiming();
    qv_reader::ContainerReader r;
    if (!r.open(path.c_str()) || !r.recordIndex()->fromIndexRecord) {
      state.SkipWithError("no indexed open");
      break;
    }
    index = r.recordIndex();
  }
  if (!index) return;
  setReadCounters(state, *index);
  state.counters["frames"] = static_cast<double>(index->video.size());
}
BENCHMARK(BM_OpenHourIndexed)->Arg(1)->Arg(0)->ArgNames({"cold"})->Unit(benchmark::kMillisecond);

// The minute without an index record (a recording cut off before its end): every record
// header is read. Per-record figures, and what they come to for the hour.
void BM_OpenWalked(benchmark::State& state) {
  const std::string& path = files().minute;
  std::shared_ptr<const qv_reader::RecordIndex> index;
  double ms = 0;
  for (auto _ : state) {
    state.PauseTiming();
    index.reset();
    dropCache(path);
    state.ResumeTiming();
    const auto start = std::chrono::steady_clock::now();
    qv_reader::ContainerReader r;
    if (!r.open(path.c_str())) {
      state.SkipWithError("cannot open");
      break;
    }
    ms += msSince(start);
    index = r.recordIndex();
  }
  if (!index) return;
  setReadCounters(state, *index);
  const double records = static_cast<double>(index->video.size() + index->audio.size());
  state.counters["us_per_record"] = 1000.0 * ms / static_cast<double>(state.iterations()) / records;
  state.counters["hour_ms"] =
      ms / static_cast<double>(state.iterations()) / records * static_cast<double>(hourRecords());
  state.counters["hour_bytes_read"] =
      static_cast<double>(index->bytesRead) / records * static_cast<double>(hourRecords());
}
BENCHMARK(BM_OpenWalked)->Unit(benchmark::kMillisecond)->Iterations(3);

// Heap in use (small blocks and mapped ones): what the handles hold, whatever the allocator
// keeps resident from earlier runs.
double heapBytes() {
  const struct mallinfo2 m = ::mallinfo2();
  return static_cast<double>(m.uordblks + m.hblkhd);
}

long residentBytes() {
  long pages = 0, resident = 0;
  std::FILE* f = std::fopen("/proc/self/statm", "r");
  if (f && std::fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
  if (f) std::fclose(f);
  return resident * ::sysconf(_SC_PAGESIZE);
}

// 32 handles on the hour, the first opened with a cold cache: heap and resident memory of the
// first and of all 32, and the time of each open after the first.
void BM_SharedHandles(benchmark::State& state) {
  const std::string& path = files().hour;
  double firstMs = 0, extraMs = 0, worstExtraMs = 0, one = 0, all = 0, heapOne = 0, heapAll = 0;
  for (auto _ : state) {
    dropCache(path);
    const long before = residentBytes();
    const double heapBefore = heapBytes();
    std::vector<std::unique_ptr<qv_reader::ContainerReader>> handles;
    auto start = std::chrono::steady_clock::now();
    handles.push_back(std::make_unique<qv_reader::ContainerReader>());
    if (!handles.back()->open(path.c_str())) {
      state.SkipWithError("cannot open");
      break;
    }
    firstMs += msSince(start);
    one += static_cast<double>(residentBytes() - before);
    heapOne += heapBytes() - heapBefore;
    for (int k = 1; k < 32; ++k) {
      start = std::chrono::steady_clock::now();
      handles.push_back(std::make_unique<qv_reader::ContainerReader>());
      handles.back()->open(path.c_str());
      const double ms = msSince(start);
      extraMs += ms;
      if (ms > worstExtraMs) worstExtraMs = ms;
    }
    all += static_cast<double>(residentBytes() - before);
    heapAll += heapBytes() - heapBefore;
    if (handles.back()->recordIndex() != handles.front()->recordIndex()) {
      state.SkipWithError("handles do not share the index");
      break;
    }
  }
  const double n = static_cast<double>(state.iterations());
  state.counters["first_open_ms"] = firstMs / n;
  state.counters["extra_open_ms"] = extraMs / n / 31.0;
  state.counters["worst_extra_open_ms"] = worstExtraMs;
  state.counters["rss_1_handle"] = one / n;
  state.counters["rss_32_handles"] = all / n;
  state.counters["heap_1_handle"] = heapOne / n;
  state.counters["heap_32_handles"] = heapAll / n;
  state.counters["heap_32_over_1"] = heapOne > 0 ? heapAll / heapOne : 0;
}
BENCHMARK(BM_SharedHandles)->Unit(benchmark::kMillisecond)->Iterations(5);

}  // namespace

BENCHMARK_MAIN();
