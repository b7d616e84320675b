// The reader plug-in, loaded at run time and used only through its table, as the editor does.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "container_walk.h"
#include "editor_input.h"

namespace qvf_tool {

class InputPlugin {
 public:
  InputPlugin() = default;
  ~InputPlugin();
  InputPlugin(const InputPlugin&) = delete;
  InputPlugin& operator=(const InputPlugin&) = delete;

  // Loads the library, looks up GetInputPluginTable, checks the table and calls func_init.
  bool load(const std::string& path, std::string* error);
  const INPUT_PLUGIN_TABLE& table() const { return *table_; }
  const std::string& path() const { return path_; }

  // Where the plug-in is looked for: the explicit path, else $QV_PLUGIN, else beside this
  // program (Windows) or in ../lib and beside it (Linux). The first that exists wins; when
  // none does, the list of places tried.
  static std::vector<std::string> candidates(const std::string& explicitPath);

 private:
  void* module_ = nullptr;
  INPUT_PLUGIN_TABLE* table_ = nullptr;
  std::string path_;
};

// One file opened through the plug-in: func_open .. func_close.
class OpenedFile {
 public:
  OpenedFile(const InputPlugin& plugin, INPUT_HANDLE handle);
  ~OpenedFile();
  OpenedFile(const OpenedFile&) = delete;
  OpenedFile& operator=(const OpenedFile&) = delete;

  // Null with *error set when the plug-in refuses the file. Also reads the record structure
  // (walk()), which tells how to take the plug-in's answers for repeat records.
  static std::unique_ptr<OpenedFile> open(const InputPlugin& plugin, const std::string& path,
                                          std::string* error);

  bool hasVideo() const { return (info_.flag & INPUT_INFO_FLAG_VIDEO) != 0; }
  bool hasAudio() const { return (info_.flag & INPUT_INFO_FLAG_AUDIO) != 0; }
  int frameRate() const { return info_.scale > 0 ? info_.rate / info_.scale : 0; }
  int rate() const { return info_.rate; }
  int scale() const { return info_.scale; }
  int frameCount() const { return info_.n; }
  int width() const { return video_.biWidth; }
  int height() const { return video_.biHeight; }
  uint32_t fourcc() const { return video_.biCompression; }
  size_t pictureBytes() const {
    return static_cast<size_t>(width()) * static_cast<size_t>(height()) * 2;
  }
  int audioSamples() const { return info_.audio_n; }
  const WAVEFORMATEX& audioFormat() const { return audio_; }

  // func_read_video's result: the picture's size; 0 when the frame cannot be decoded, and
  // also for a repeat record, whose picture the buffer still receives.
  int readVideo(int frame, void* buffer) const;
  // True when buffer received the frame's picture exactly; a repeat counts as the frame it
  // repeats.
  bool readPicture(int frame, void* buffer) const;
  bool isRepeat(int frame) const;
  const ContainerWalk& walk() const { return walk_; }
  // Sample frames delivered into buffer (blockAlign bytes each).
  int readAudio(int start, int length, void* buffer) const;
  bool isKeyframe(int frame) const;

 private:
  const InputPlugin& plugin_;
  INPUT_HANDLE handle_;
  INPUT_INFO info_{};
  BITMAPINFOHEADER video_{};
  WAVEFORMATEX audio_{};
  ContainerWalk walk_;
  // The last frame other than a repeat that readPicture read, and whether it decoded: what
  // the repeats after it are judged by without reading it again.
  mutable int lastSource_ = -1;
  mutable bool lastSourceGood_ = false;
  mutable std::vector<uint8_t> scratch_;
};

}  // namespace qvf_tool
