// The record structure of a recording: the header and the record headers only. Pictures and
// sound are never decoded here (that is the plug-in's job); this tells what the plug-in's
// table cannot: how many records are delta or repeat records and how large they are.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "qvf.h"
#include "qvf_index.h"

namespace qvf_tool {

// The record of how the file was made, as far as the file has one (see qvf.h).
struct Provenance {
  bool present = false;
  uint32_t colorMatrix = 0;  // 601 or 709; 0 unknown
  int32_t colorRange = -1;   // 0 TV, 1 full; -1 unknown
  uint32_t captureWidth = 0, captureHeight = 0;
  uint32_t outputWidth = 0, outputHeight = 0;
  std::string windowTitle, processName, soundSource, libraryVersion, screenPath, captureMethod;
  bool hasStartTime = false;
  int64_t startTimeUtcMs = 0;
  std::vector<std::pair<uint64_t, uint64_t>> pauses;  // position and length, ms
  int32_t unchangedAsRepeats = -1;  // 1 unchanged pictures stored as repeats, 0 not; -1 unknown
  // The sound tracks of a recording with several sources.
  struct Track {
    uint32_t number = 0;
    uint32_t source = 0;  // qvf::kTrackSource*
    std::string device;
  };
  std::vector<Track> tracks;
};

// Reads a RECORD_PROVENANCE payload; false (and *out untouched) for a version this tool does
// not know or a payload too short for its preamble. Unknown and short fields are skipped.
bool parseProvenance(const uint8_t* payload, size_t size, Provenance* out);

struct ContainerWalk {
  bool headerRead = false;
  qvf::FileHeader header{};
  uint64_t fileBytes = 0;

  // One entry per video record, in file order.
  std::vector<uint8_t> videoTypes;  // RECORD_KEY, RECORD_DELTA or RECORD_REPEAT
  std::vector<uint64_t> videoPayload;
  uint64_t keyCount = 0, deltaCount = 0, repeatCount = 0;
  uint64_t keyBytes = 0, deltaBytes = 0;
  uint64_t longestRepeatRun = 0;  // the most repeat records in a row

  uint64_t audioRecords = 0;
  uint64_t audioBytes = 0;
  // Where each audio payload starts and how long it is, for comparing sound byte for byte.
  std::vector<std::pair<uint64_t, uint64_t>> audioChunks;
  // Each source's own track (RECORD_AUDIO_TRACK), by number, lowest first; chunks point at
  // the samples, past the track number.
  struct AudioTrack {
    uint64_t number = 0;
    uint64_t records = 0;
    uint64_t bytes = 0;
    std::vector<std::pair<uint64_t, uint64_t>> chunks;
  };
  std::vector<AudioTrack> tracks;

  Provenance provenance;  // the last such record holds

  // The index record that ends a finished file (see qvf.h). Stale: an index stands before other
  // records (the file grew after it); the reader walks such a file, as one without an index.
  enum class Index { kNone, kSound, kDamaged, kStale };
  Index index = Index::kNone;
  uint64_t indexOffset = 0;     // where the last index record starts
  uint64_t indexedRecords = 0;  // what a sound index lists
  // Every whole record, for an index that `qvf repair` writes.
  qvf::IndexBuilder records;

  uint64_t unknownRecords = 0;
  uint64_t wholeRecords = 0;  // of every type, up to where the file ends or the damage starts
  // A file cut off inside its last record (a recording that ended abruptly while it was being
  // written) is not damaged: the reader leaves the torn record out. The same holds for a file
  // that ends in zero bytes where the next record would start: a file system that lost power
  // may have grown the file without the data arriving. completeBytes is where the last whole
  // record ends (the file size when nothing is torn), tornOffset where the torn record or the
  // zeros start.
  bool endsEarly = false;
  bool endsInZeros = false;  // what follows tornOffset is zero bytes only
  uint64_t completeBytes = 0;
  uint64_t tornOffset = 0;
  // Faults in the structure, in words for the user. Empty for a sound file.
  std::vector<std::string> problems;
};

// Reads the structure of the file at path. False only when the file cannot be read at all
// (then problems[0] says why); a damaged structure is reported in problems.
bool walkContainer(const std::string& path, ContainerWalk* walk);

// The rule every writer follows: captured frame i is a key record exactly when i is a multiple
// of the frame rate. A repeat record fills a missed slot or, when the recording stored unchanged
// pictures as repeats, stands for a captured frame; the file does not say which. So: the first
// picture is a key record, and between two key records (and after the last) stand at most
// rate - 1 difference records, with at least rate - 1 difference and repeat records between
// two key records. Adds a problem for the first breach.
void checkKeyFramePlacement(ContainerWalk* walk);

}  // namespace qvf_tool
