// The record structure of a recording: the header and the record headers only. Pictures and
// sound are never decoded here (that is the plug-in's job); this tells what the plug-in's
// table cannot: how many records are delta or repeat records and how large they are.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "qvf.h"

namespace qvf_tool {

struct ContainerWalk {
  bool headerRead = false;
  qvf::FileHeader header{};
  uint64_t fileBytes = 0;

  // One entry per video record, in file order.
  std::vector<uint8_t> videoTypes;  // RECORD_KEY, RECORD_DELTA or RECORD_REPEAT
  std::vector<uint64_t> videoPayload;
  uint64_t keyCount = 0, deltaCount = 0, repeatCount = 0;
  uint64_t keyBytes = 0, deltaBytes = 0;

  uint64_t audioRecords = 0;
  uint64_t audioBytes = 0;
  // Where each audio payload starts and how long it is, for comparing sound byte for byte.
  std::vector<std::pair<uint64_t, uint64_t>> audioChunks;

  uint64_t unknownRecords = 0;
  // A file cut off inside its last record (a recording that ended abruptly while it was being
  // written) is not damaged: the reader leaves the torn record out. completeBytes is where the
  // last whole record ends (the file size when nothing is torn), tornOffset where the torn one
  // starts.
  bool endsEarly = false;
  uint64_t completeBytes = 0;
  uint64_t tornOffset = 0;
  // Faults in the structure, in words for the user. Empty for a sound file.
  std::vector<std::string> problems;
};

// Reads the structure of the file at path. False only when the file cannot be read at all
// (then problems[0] says why); a damaged structure is reported in problems.
bool walkContainer(const std::string& path, ContainerWalk* walk);

// The rule every writer follows: captured frame i (repeats not counted) is a key record
// exactly when i is a multiple of the frame rate. Adds a problem for the first breach.
void checkKeyFramePlacement(ContainerWalk* walk);

}  // namespace qvf_tool
