// Makes a recording that was cut off whole again, in place: `qvf repair` and the recovery list
// of Quorvane.exe. Only what the cut left behind changes: a torn last record or a tail of
// zeros is cut and an index written (.qvf); the header's lengths are set to the samples
// present (.wav). A file damaged in any other way is not touched; nothing is ever deleted.
#pragma once

#include <string>
#include <vector>

namespace qvtools {

enum class RepairOutcome {
  kWhole,        // nothing to do: the file was whole already
  kRepaired,     // changed as the notes say
  kNotTouched,   // a file the repair does not change (damaged, not ours): problem says why
  kCannotOpen,   // the file cannot be read, or is no recording
  kWriteFailed,  // a change could not be written
};

struct RepairReport {
  RepairOutcome outcome = RepairOutcome::kWhole;
  // Lines for a person, each starting with the path: what was done, or "whole already".
  std::vector<std::string> notes;
  // Set for the outcomes that are no success, starting with the path.
  std::string problem;

  bool ok() const {
    return outcome == RepairOutcome::kWhole || outcome == RepairOutcome::kRepaired;
  }
};

// A WAV file whose header lags behind its samples.
RepairReport repairWavFile(const std::string& path);
// A .qvf file that ends early, or lacks a whole sound index at its end.
RepairReport repairContainerFile(const std::string& path);
// Either, by what the file holds (a RIFF file is a WAV file).
RepairReport repairRecordingFile(const std::string& path);

}  // namespace qvtools
