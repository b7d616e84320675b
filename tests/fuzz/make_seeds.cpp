// Writes small, valid recordings as the fuzzer's starting corpus: keys, differences, repeats,
// sound, and real screen content when frames are given.
//   make_seeds OUT_DIR [screen.bgra 1920 1080]
#include <cstdio>
#include <string>
#include <vector>

#include "qvf_test_writer.h"

using namespace qv_test;

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  const std::string out = argv[1];
  int made = 0;
  auto save = [&](QvfWriter& w) {
    writeFile(out + "/seed-" + std::to_string(made++) + ".qvf", w.bytes());
  };
  for (uint64_t rate : {1, 3}) {
    for (auto size : {std::pair<uint64_t, uint64_t>{2, 1}, {8, 4}, {30, 7}}) {
      std::vector<Bytes> pictures;
      for (int i = 0; i < 7; ++i) pictures.push_back(syntheticPicture(size.first, size.second, i));
      QvfWriter w(rate, size.first, size.second);
      writeRecording(w, rate, pictures, {pcm(0, 9), pcm(9, 4)}, {0, 1, 0, 2});
      save(w);
    }
  }
  {
    QvfWriter w(30, 4, 2);  // header only
    save(w);
  }
  if (argc >= 5) {
    // Crops of real screen frames: text, edges and flat areas as recorded.
    const uint64_t srcW = std::stoull(argv[3]), cw = 64, ch = 36;
    FILE* f = std::fopen(argv[2], "rb");
    if (f) {
      std::vector<uint8_t> row(srcW * 4);
      std::vector<Bytes> pictures;
      for (int i = 0; i < 4; ++i) {
        Bytes yuy2(cw * ch * 2);
        for (uint64_t y = 0; y < ch; ++y) {
          std::fseek(f, static_cast<long>((i * std::stoull(argv[4]) + 300 + y) * srcW * 4),
                     SEEK_SET);
          if (std::fread(row.data(), 1, row.size(), f) != row.size()) break;
          bgraToYuy2(row.data() + 600 * 4, yuy2.data() + y * cw * 2, cw);
        }
        pictures.push_back(yuy2);
      }
      std::fclose(f);
      QvfWriter w(2, cw, ch);
      writeRecording(w, 2, pictures, {pcm(0, 50)}, {0, 0, 1});
      save(w);
    }
  }
  std::printf("%d seeds in %s\n", made, out.c_str());
  return 0;
}
