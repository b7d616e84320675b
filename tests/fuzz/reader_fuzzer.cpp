// libFuzzer target: any bytes, as a .qvf file, through the editor's table: open, info, picture
// reads in order and by jumps, sound reads inside and outside the sound, key-frame queries.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "editor_input.h"

namespace {

uint64_t loadU64(const uint8_t* p) {
  uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}

const std::string& scratchPath() {
  static const std::string path =
      "/tmp/qv-reader-fuzz-" + std::to_string(static_cast<long>(getpid())) + ".qvf";
  return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Large pictures are legal but only make every run slow: the code paths are the same.
  if (size >= 32 && loadU64(data + 16) * loadU64(data + 24) > (1u << 16)) return 0;

  FILE* f = std::fopen(scratchPath().c_str(), "wb");
  if (!f) return 0;
  std::fwrite(data, 1, size, f);
  std::fclose(f);

  INPUT_PLUGIN_TABLE* t = GetInputPluginTable();
  INPUT_HANDLE h = t->func_open(const_cast<char*>(scratchPath().c_str()));
  if (!h) return 0;
  INPUT_INFO info = {};
  t->func_info_get(h, &info);
  const size_t frameBytes =
      info.format ? static_cast<size_t>(info.format->biWidth) * info.format->biHeight * 2 : 0;
  // Exactly the editor's buffer size: ASan reports any write past it.
  std::vector<uint8_t> picture(frameBytes);
  const int n = info.n;
  // The first frames in order; a frame reached again by a jump must show the same picture with
  // the same result, whatever the damage.
  std::vector<std::vector<uint8_t>> inOrder;
  std::vector<int> results;
  for (int fr = 0; fr < n && fr < 12; ++fr) {
    results.push_back(t->func_read_video(h, fr, picture.data()));
    inOrder.push_back(picture);
  }
  // Jumps chosen by the input's own bytes, and the edges.
  for (size_t k = 0; k < 8 && n > 0; ++k) {
    const int fr = static_cast<int>(data[(k * 7919) % size] * 131u % static_cast<unsigned>(n));
    const int result = t->func_read_video(h, fr, picture.data());
    if (fr < static_cast<int>(inOrder.size()) &&
        (result != results[fr] || picture != inOrder[fr])) {
      __builtin_trap();
    }
    t->func_is_keyframe(h, fr);
  }
  t->func_read_video(h, n - 1, picture.data());
  t->func_read_video(h, n, picture.data());
  t->func_read_video(h, -1, picture.data());
  t->func_is_keyframe(h, n);

  const int block = info.audio_format ? info.audio_format->nBlockAlign : 0;
  if (block > 0) {
    const int64_t end = info.audio_n;
    const int64_t starts[] = {0, end / 3, end - 5, end, end + 7, -3, INT32_MAX};
    for (int64_t wide : starts) {
      const int start = static_cast<int>(wide > INT32_MAX ? INT32_MAX : wide);
      const int count = 1 + static_cast<int>(data[static_cast<size_t>(start & 0xFFFF) % size]) * 3;
      std::vector<uint8_t> sound(static_cast<size_t>(count) * block);
      t->func_read_audio(h, start, count, sound.data());
    }
  }
  t->func_close(h);
  return 0;
}
