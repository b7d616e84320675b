// Opening a one-hour 1920x1080 60 fps recording (216 000 picture records, a sound record every
// 100 ms), with and without its index record, with the page cache for the file dropped before
// every open. The file is made by the bench itself, sparse: record headers are written, the
// payloads are holes, so its length is that of a real hour while the disk holds little of it.
// Counters: bytes read to build the index; for shared handles, resident memory per extra handle.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "container_reader.h"
#include "qvf_index.h"
#include "qvf_test_writer.h"

namespace {

constexpr uint64_t kRate = 60, kFrames = 60 * 60 * kRate;

struct HourFile {
  std::string walked, indexed;
};

void putHeader(std::FILE* f, uint64_t type, uint64_t payload, qvf::IndexBuilder* index) {
  const qvf::RecordHeader h{qvf::kRecordHeaderSize, type, payload};
  std::fwrite(&h, sizeof h, 1, f);
  if (payload) std::fseek(f, static_cast<long>(payload), SEEK_CUR);
  index->add(type, payload);
}

std::string writeHour(const std::string& path, bool withIndex) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  qv_test::QvfWriter header(kRate, 1920, 1080);
  std::fwrite(header.bytes().data(), 1, header.bytes().size(), f);
  qvf::IndexBuilder index;
  for (uint64_t i = 0; i < kFrames; ++i) {
    if (i % 6 == 0) putHeader(f, qvf::RECORD_AUDIO, 17640, &index);  // 100 ms of sound
    // Typical sizes of a busy desktop: 600 KB keys, 90 KB differences.
    putHeader(f, i % kRate == 0 ? qvf::RECORD_KEY : qvf::RECORD_DELTA,
              i % kRate == 0 ? 600000 : 90000, &index);
  }
  if (withIndex) {
    const std::vector<uint8_t> record = index.record();
    std::fwrite(record.data(), 1, record.size(), f);
  } else {
    // The last payload's hole must still be part of the file.
    std::fseek(f, -1, SEEK_CUR);
    std::fputc(0, f);
  }
  std::fclose(f);
  return path;
}

const HourFile& hourFile() {
  // Never destroyed: the files are removed at exit, after static objects are gone.
  static HourFile& file = *[] {
    const auto dir = std::filesystem::temp_directory_path();
    auto* h = new HourFile;
    h->walked = writeHour((dir / "qv-bench-open-walked.qvf").string(), false);
    h->indexed = writeHour((dir / "qv-bench-open-indexed.qvf").string(), true);
    std::atexit([] {
      std::remove(hourFile().walked.c_str());
      std::remove(hourFile().indexed.c_str());
    });
    return h;
  }();
  return file;
}

void dropCache(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY);
  ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
  ::close(fd);
}

void BM_OpenHour(benchmark::State& state) {
  const std::string& path = state.range(0) ? hourFile().indexed : hourFile().walked;
  uint64_t bytes = 0;
  size_t frames = 0;
  for (auto _ : state) {
    state.PauseTiming();
    dropCache(path);
    state.ResumeTiming();
    qv_reader::ContainerReader r;  // the only handle: nothing is shared
    if (!r.open(path.c_str())) state.SkipWithError("cannot open");
    bytes = r.recordIndex()->bytesRead;
    frames = r.frameCount();
  }
  state.counters["bytes_read"] = static_cast<double>(bytes);
  state.counters["frames"] = static_cast<double>(frames);
}
BENCHMARK(BM_OpenHour)->Arg(0)->Arg(1)->ArgNames({"indexed"})->Unit(benchmark::kMillisecond);

long residentBytes() {
  long pages = 0, resident = 0;
  std::FILE* f = std::fopen("/proc/self/statm", "r");
  if (f && std::fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
  if (f) std::fclose(f);
  return resident * ::sysconf(_SC_PAGESIZE);
}

// 32 handles on the hour after the first: time per open, and memory per extra handle.
void BM_SharedHandles(benchmark::State& state) {
  const std::string& path = hourFile().indexed;
  double perHandle = 0, first = 0;
  for (auto _ : state) {
    const long before = residentBytes();
    std::vector<std::unique_ptr<qv_reader::ContainerReader>> handles;
    handles.push_back(std::make_unique<qv_reader::ContainerReader>());
    handles.back()->open(path.c_str());
    const long one = residentBytes();
    for (int k = 1; k < 32; ++k) {
      handles.push_back(std::make_unique<qv_reader::ContainerReader>());
      handles.back()->open(path.c_str());
    }
    first = static_cast<double>(one - before);
    perHandle = static_cast<double>(residentBytes() - one) / 31.0;
  }
  state.counters["first_bytes"] = first;
  state.counters["extra_bytes_per_handle"] = perHandle;
  state.counters["opens"] =
      benchmark::Counter(static_cast<double>(state.iterations() * 32),
                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_SharedHandles)->Unit(benchmark::kMillisecond)->Iterations(5);

}  // namespace

BENCHMARK_MAIN();
