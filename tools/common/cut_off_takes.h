// Recordings in a folder that ended abruptly (the program or the machine stopped while they
// were written): the check `qvf verify` makes, for the hosts to offer `qvf repair` before the
// take is found broken in the editor. Nothing is changed here.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qvtools {

struct CutOffTake {
  std::string path;     // the .qvf file
  std::string wavPath;  // the WAV file beside it, empty when there is none
  double seconds = 0;   // the length that is whole
  uint64_t frames = 0;  // whole video records
};

// The .qvf files directly in `folder` that end early but are otherwise sound (what `qvf
// repair` makes whole), by name.
std::vector<CutOffTake> findCutOffTakes(const std::string& folder);

}  // namespace qvtools
