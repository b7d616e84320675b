#include "cut_off_takes.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <system_error>

#include "console.h"
#include "container_walk.h"

namespace qvtools {

std::vector<CutOffTake> findCutOffTakes(const std::string& folder) {
  std::vector<CutOffTake> takes;
  std::error_code error;
  for (std::filesystem::directory_iterator it(folder, error), end; !error && it != end;
       it.increment(error)) {
    const std::filesystem::path& p = it->path();
    std::string ext = p.extension().string();
    std::transform(ext.begin(), ext.end(), ext.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    std::error_code kind;
    if (ext != ".qvf" || !it->is_regular_file(kind)) continue;
    qvf_tool::ContainerWalk walk;
    if (!qvf_tool::walkContainer(p.string(), &walk) || !walk.problems.empty() || !walk.endsEarly) {
      continue;
    }
    CutOffTake take;
    take.path = p.string();
    std::filesystem::path wav = p;
    wav.replace_extension(".wav");
    if (fileExists(wav.string())) take.wavPath = wav.string();
    take.frames = walk.videoTypes.size();
    if (walk.header.frameRate != 0) {
      take.seconds = static_cast<double>(take.frames) / static_cast<double>(walk.header.frameRate);
    }
    takes.push_back(take);
  }
  std::sort(takes.begin(), takes.end(),
            [](const CutOffTake& a, const CutOffTake& b) { return a.path < b.path; });
  return takes;
}

}  // namespace qvtools
