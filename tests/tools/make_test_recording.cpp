// Writes a recording with known content for the tool tests, independent of the capture
// library: make_test_recording OUT WIDTH HEIGHT FPS PICTURES AUDIO_SAMPLES
//
// Sound first in 0.5 s chunks, then the pictures with one repeat record before every 7th
// picture. Picture 0 (and every key picture) starts with three bands of exact BT.601 TV-range
// colours, top to bottom white, black and red, each a third of the width; the rest moves.
#include <cstdio>
#include <cstdlib>

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

}  // namespace

int main(int argc, char** argv) {
  if (argc != 7) {
    std::fprintf(stderr, "usage: %s OUT WIDTH HEIGHT FPS PICTURES AUDIO_SAMPLES\n", argv[0]);
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
  qv_test::writeRecording(writer, fps, frames, audio, repeats);
  if (!qv_test::writeFile(argv[1], writer.bytes())) {
    std::fprintf(stderr, "make_test_recording: cannot write %s\n", argv[1]);
    return 1;
  }
  return 0;
}
