#include "take_repair.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <system_error>

#include "console.h"
#include "container_walk.h"

namespace qvtools {

namespace {

uint32_t le32(const uint8_t* p) {
  return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

RepairReport failed(RepairOutcome outcome, const std::string& problem) {
  RepairReport report;
  report.outcome = outcome;
  report.problem = problem;
  return report;
}

template <typename... Args>
std::string format(const char* pattern, Args... args) {
  char line[1024];
  std::snprintf(line, sizeof(line), pattern, args...);
  return line;
}

// Whether whole chunks fill the file from `at` to its end: each with an id of four printable
// characters and a body within the file. Samples a lagging header leaves out seldom pass as
// one such chunk and practically never end exactly at the end of the file.
bool chunksFillRest(std::fstream& f, uint64_t at, uint64_t size) {
  bool any = false;
  while (at + 8 <= size) {
    uint8_t c[8];
    f.clear();
    f.seekg(static_cast<std::streamoff>(at));
    if (!f.read(reinterpret_cast<char*>(c), sizeof(c)) ||
        !std::all_of(c, c + 4, [](uint8_t b) { return b >= 0x20 && b < 0x7F; })) {
      break;
    }
    const uint64_t body = le32(c + 4);
    if (body > size - at - 8) break;
    any = true;
    at += 8 + body + (body & 1);  // bodies of odd length are padded to even
  }
  f.clear();
  return any && at >= size;  // a pad byte missing at the very end is no harm
}

}  // namespace

// The two lengths are set to the whole sample frames present, a partial one at the end cut.
// When whole chunks follow the data chunk up to the end, its length is the writer's own and
// stays; only the file's length is brought up to date.
RepairReport repairWavFile(const std::string& path) {
  std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
  uint8_t h[44];
  if (!f.read(reinterpret_cast<char*>(h), sizeof(h)) || std::memcmp(h + 8, "WAVE", 4) != 0 ||
      std::memcmp(h + 12, "fmt ", 4) != 0 || std::memcmp(h + 36, "data", 4) != 0) {
    return failed(RepairOutcome::kNotTouched,
                  path +
                      ": not a PCM WAV file with the 44-byte header this recorder writes; "
                      "not touched");
  }
  const uint32_t block = h[32] | (h[33] << 8);
  if (block == 0) {
    return failed(RepairOutcome::kNotTouched,
                  path +
                      ": the header gives a block size (block align) of 0, so the samples it "
                      "holds cannot be counted; not touched");
  }
  const int64_t bytes = fileSize(path);
  const uint64_t size = bytes > 0 ? static_cast<uint64_t>(bytes) : 0;
  // A streaming writer leaves 0 or 0xFFFFFFFF until it knows the length.
  const uint64_t declared = le32(h + 40);
  const bool declaredHolds = declared != 0 && declared != 0xFFFFFFFFull && declared <= size - 44;
  const bool chunksFollow =
      declaredHolds && chunksFillRest(f, 44 + declared + (declared & 1), size);
  uint64_t data = declared, end = size;
  if (!chunksFollow) {
    data = size > 44 ? size - 44 : 0;
    data -= data % block;
    if (data > 0xFFFFFFFFull - 36) data = (0xFFFFFFFFull - 36) / block * block;
    end = 44 + data;
  } else if (end - 8 > 0xFFFFFFFFull) {
    return failed(RepairOutcome::kNotTouched,
                  path +
                      ": the chunks after the samples run past the 4 GiB a WAV file can "
                      "describe; not touched");
  }
  const auto put = [](uint8_t* p, uint64_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
  };
  uint8_t lengths[8];
  put(lengths, end - 8);
  put(lengths + 4, data);
  RepairReport report;
  const bool same = std::memcmp(h + 4, lengths, 4) == 0 &&
                    std::memcmp(h + 40, lengths + 4, 4) == 0 && size == end;
  if (same) {
    report.notes.push_back(path + ": whole already, not touched");
    return report;
  }
  f.seekp(4);
  f.write(reinterpret_cast<const char*>(lengths), 4);
  f.seekp(40);
  f.write(reinterpret_cast<const char*>(lengths + 4), 4);
  f.close();
  std::error_code error;
  if (!f || (size != end && (std::filesystem::resize_file(path, end, error), error))) {
    return failed(RepairOutcome::kWriteFailed, path + ": could not be changed");
  }
  const double perSecond = static_cast<double>(block) * le32(h + 24);
  report.outcome = RepairOutcome::kRepaired;
  report.notes.push_back(format("%s: header set to %llu bytes of samples (%.3f s)", path.c_str(),
                                static_cast<unsigned long long>(data),
                                perSecond > 0 ? data / perSecond : 0.0));
  return report;
}

// A recording cut off inside its last record, or ending in zeros where the next record would
// start: that tail is cut. Then a file without a sound index at its end (cut off, written by
// an older writer, grown after its index, or with a damaged one, which is cut first) gets one,
// so that the reader opens it without walking it. Nothing else changes.
RepairReport repairContainerFile(const std::string& path) {
  using qvf_tool::ContainerWalk;
  ContainerWalk walk;
  if (!qvf_tool::walkContainer(path, &walk)) {
    return failed(RepairOutcome::kCannotOpen, path + ": " + walk.problems[0]);
  }
  if (!walk.problems.empty()) {
    return failed(RepairOutcome::kNotTouched,
                  path + ": damaged, not only cut off (" + walk.problems[0] + "); not touched");
  }
  RepairReport report;
  if (!walk.endsEarly && walk.index == ContainerWalk::Index::kSound) {
    report.notes.push_back(path + ": whole already, not touched");
    return report;
  }
  uint64_t keep = walk.completeBytes;
  // A damaged index ends the file: it goes, and its records with it from the new index.
  if (!walk.endsEarly && walk.index == ContainerWalk::Index::kDamaged) keep = walk.indexOffset;
  std::error_code error;
  if (keep != walk.fileBytes) std::filesystem::resize_file(path, keep, error);
  if (error) {
    return failed(RepairOutcome::kWriteFailed, path + ": could not be cut: " + error.message());
  }
  ContainerWalk kept;
  if (keep != walk.fileBytes && (!qvf_tool::walkContainer(path, &kept) || !kept.problems.empty())) {
    return failed(RepairOutcome::kWriteFailed,
                  path + ": cannot be read after the cut; no index written");
  }
  const std::vector<uint8_t> index = (keep != walk.fileBytes ? kept : walk).records.record();
  if (!index.empty()) {
    std::ofstream out(path, std::ios::binary | std::ios::app);
    out.write(reinterpret_cast<const char*>(index.data()),
              static_cast<std::streamsize>(index.size()));
    out.close();
    if (!out) {
      // A partial index is harmless (readers walk the file) but is no repair.
      std::filesystem::resize_file(path, keep, error);
      return failed(RepairOutcome::kWriteFailed, path + ": the index could not be written");
    }
  }
  report.outcome = RepairOutcome::kRepaired;
  if (walk.endsEarly) {
    report.notes.push_back(
        format("%s: cut the %s (%llu bytes); %zu frames remain", path.c_str(),
               walk.endsInZeros ? "zero bytes at the end" : "torn last record",
               static_cast<unsigned long long>(walk.fileBytes - walk.completeBytes),
               walk.videoTypes.size()));
  } else if (keep != walk.fileBytes) {
    report.notes.push_back(format("%s: cut the damaged index (%llu bytes)", path.c_str(),
                                  static_cast<unsigned long long>(walk.fileBytes - keep)));
  }
  if (!index.empty()) {
    report.notes.push_back(format(
        "%s: wrote an index of %llu records (%zu bytes)", path.c_str(),
        static_cast<unsigned long long>(kept.wholeRecords ? kept.wholeRecords : walk.wholeRecords),
        index.size()));
  }
  return report;
}

RepairReport repairRecordingFile(const std::string& path) {
  char magic[4] = {};
  std::ifstream probe(path, std::ios::binary);
  if (!probe.read(magic, 4)) return failed(RepairOutcome::kCannotOpen, path + ": cannot be read");
  probe.close();
  return std::memcmp(magic, "RIFF", 4) == 0 ? repairWavFile(path) : repairContainerFile(path);
}

}  // namespace qvtools
