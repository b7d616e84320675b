// Writes a recording with known content for the tool tests, independent of the capture
// library: make_test_recording OUT WIDTH HEIGHT FPS PICTURES AUDIO_SAMPLES [provenance]
//
// Sound first in 0.5 s chunks, then the pictures with one repeat record before every 7th
// picture. With "provenance" the record of how the file was made comes first and, as the
// streaming writer leaves it, again after the last picture with a pause of 2 s at 1 s. Picture 0
// (and every key picture) starts with three bands of exact BT.601 TV-range colours, top to bottom
// white, black and red, each a third of the width; the rest moves.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "qvf_test_writer.h"

namespace {

void paintBands(qv_test::Bytes* picture, uint64_t width, uint64_t height) {
  // Y, U, V of white, black and pure red as the recorder's BT.601 TV-range kernels give them.
  const uint8_t colours[3][3] = {{235, 128, 128}, {16, 128, 128}, {81, 90, 240}};
  for (uint64_t y = 0; y < height / 4; ++y) {
    for (uint64_t pair = 0; pair < width / 2; ++pair) {
      const uint8_t* c = colours[pair * 2 * 3 / width];
      uint8_t* p = picture->data() + y * width * 2 + pair * 4;
      p[0] = c[0];
      p[1] = c[1];
      p[2] = c[0];
      p[3] = c[2];
    }
  }
}

// The record of how the file was made (qvf.h): colours, a maker, and the pauses if given.
qv_test::Bytes provenance(bool withPause) {
  qv_test::Bytes out;
  const auto u32 = [&out](uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
  };
  const auto u64 = [&out](uint64_t v) { qv_test::putU64(out, v); };
  const std::string maker = "make_test_recording";
  u32(qvf::kProvenanceVersion);
  u32(withPause ? 4 : 3);
  u32(qvf::PROVENANCE_COLOR_MATRIX), u32(4), u32(601);
  u32(qvf::PROVENANCE_COLOR_RANGE), u32(4), u32(0);
  u32(qvf::PROVENANCE_LIBRARY_VERSION), u32(static_cast<uint32_t>(maker.size()));
  out.insert(out.end(), maker.begin(), maker.end());
  if (withPause) {
    u32(qvf::PROVENANCE_PAUSES), u32(4 + qvf::kProvenancePauseSize), u32(1);
    u64(1000), u64(2000);
  }
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  const bool withProvenance = argc == 8 && std::string(argv[7]) == "provenance";
  if (argc != 7 && !withProvenance) {
    std::fprintf(stderr, "usage: %s OUT WIDTH HEIGHT FPS PICTURES AUDIO_SAMPLES [provenance]\n",
                 argv[0]);
    return 2;
  }
  const uint64_t width = std::strtoull(argv[2], nullptr, 10);
  const uint64_t height = std::strtoull(argv[3], nullptr, 10);
  const uint64_t fps = std::strtoull(argv[4], nullptr, 10);
  const int pictures = std::atoi(argv[5]);
  const uint64_t samples = std::strtoull(argv[6], nullptr, 10);
  if (width < 2 || width % 2 != 0 || height < 4 || fps < 1 || pictures < 0) {
    std::fprintf(stderr, "make_test_recording: bad size, rate or count\n");
    return 2;
  }
  std::vector<qv_test::Bytes> frames;
  std::vector<int> repeats;
  for (int i = 0; i < pictures; ++i) {
    frames.push_back(qv_test::syntheticPicture(width, height, i));
    if (i % static_cast<int>(fps) == 0) paintBands(&frames.back(), width, height);
    repeats.push_back(i > 0 && i % 7 == 0 ? 1 : 0);
  }
  std::vector<qv_test::Bytes> audio;
  for (uint64_t s = 0; s < samples; s += 22050) {
    audio.push_back(qv_test::pcm(s, std::min<uint64_t>(22050, samples - s)));
  }
  qv_test::QvfWriter writer(fps, width, height);
  if (withProvenance) writer.record(qvf::RECORD_PROVENANCE, provenance(false));
  qv_test::writeRecording(writer, fps, frames, audio, repeats);
  if (withProvenance) writer.record(qvf::RECORD_PROVENANCE, provenance(true));
  if (!qv_test::writeFile(argv[1], writer.bytes())) {
    std::fprintf(stderr, "make_test_recording: cannot write %s\n", argv[1]);
    return 1;
  }
  return 0;
}
