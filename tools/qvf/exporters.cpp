#include "exporters.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "console.h"

namespace qvf_tool {

namespace {

// An output file or stdout; a file that is not finished cleanly is removed.
class Output {
 public:
  bool open(const std::string& path, std::string* error) {
    path_ = path;
    if (path == "-") {
      file_ = stdout;
      qvtools::setBinaryMode(stdout);
      return true;
    }
    file_ = std::fopen(path.c_str(), "wb");
    if (file_ == nullptr) {
      *error = "cannot create " + path + ": " + qvtools::lastErrorText();
      return false;
    }
    return true;
  }
  bool write(const void* data, size_t bytes, std::string* error) {
    if (bytes == 0 || std::fwrite(data, 1, bytes, file_) == bytes) return true;
    *error = "cannot write " + name() + ": " + qvtools::lastErrorText();
    return false;
  }
  bool finish(std::string* error) {
    if (file_ == nullptr) return true;
    const bool ok = std::fflush(file_) == 0 && (file_ == stdout || std::fclose(file_) == 0);
    if (file_ == stdout) std::fflush(stdout);
    file_ = nullptr;
    if (!ok) {
      *error = "cannot write " + name() + ": " + qvtools::lastErrorText();
      if (path_ != "-") std::remove(path_.c_str());
    }
    return ok;
  }
  ~Output() {
    // Reached with the file still open only after a failure.
    if (file_ != nullptr && file_ != stdout) {
      std::fclose(file_);
      std::remove(path_.c_str());
    }
  }

 private:
  std::string name() const { return path_ == "-" ? "standard output" : path_; }
  FILE* file_ = nullptr;
  std::string path_;
};

// A progress bar on the terminal for exports that take a while; silent otherwise.
class Progress {
 public:
  Progress(const char* what, int total) : what_(what), total_(total) {
    show_ = qvtools::isTerminal(stderr) && total > 0;
  }
  void update(int done) {
    if (!show_ || (done != total_ && done % 16 != 0)) return;
    std::fprintf(stderr, "\r%s %s %d/%d", what_,
                 qvtools::progressBar(static_cast<double>(done) / total_, 30).c_str(), done,
                 total_);
    if (done == total_) std::fprintf(stderr, "\n");
  }

 private:
  const char* what_;
  int total_;
  bool show_;
};

bool readFrame(const OpenedFile& file, int frame, std::vector<uint8_t>* picture,
               std::string* error) {
  picture->resize(file.pictureBytes());
  if (!file.readPicture(frame, picture->data())) {
    *error = "the plug-in could not decode frame " + std::to_string(frame);
    return false;
  }
  return true;
}

bool requireVideo(const OpenedFile& file, std::string* error) {
  if (!file.hasVideo() || file.width() <= 0 || file.height() <= 0 || file.width() % 2 != 0) {
    *error = "the file has no usable picture stream";
    return false;
  }
  return true;
}

void putLe16(std::vector<uint8_t>* out, uint32_t v) {
  out->push_back(static_cast<uint8_t>(v));
  out->push_back(static_cast<uint8_t>(v >> 8));
}
void putLe32(std::vector<uint8_t>* out, uint32_t v) {
  putLe16(out, v & 0xFFFF);
  putLe16(out, v >> 16);
}

std::string frameLabel(int frame, int rate) {
  std::string label = "#" + std::to_string(frame);
  if (rate > 0) label += "  " + qvtools::formatClock(static_cast<double>(frame) / rate);
  return label;
}

}  // namespace

bool parseFrameRange(const std::string& text, FrameSelection* selection, std::string* error) {
  auto parseNumber = [](const std::string& s, int* value) {
    if (s.empty() || s.size() > 9 || s.find_first_not_of("0123456789") != std::string::npos) {
      return false;
    }
    *value = std::atoi(s.c_str());
    return true;
  };
  const size_t colon = text.find(':');
  const std::string a = colon == std::string::npos ? text : text.substr(0, colon);
  const std::string b = colon == std::string::npos ? text : text.substr(colon + 1);
  int first = 0, last = -1;
  const bool okA = a.empty() ? colon != std::string::npos : parseNumber(a, &first);
  const bool okB = b.empty() ? colon != std::string::npos : parseNumber(b, &last);
  if (!okA || !okB || (last >= 0 && last < first)) {
    *error = "--frames wants A:B, A:, :B or A with frame numbers A <= B, not \"" + text + "\"";
    return false;
  }
  selection->first = first;
  selection->last = last;
  return true;
}

bool resolveSelection(const OpenedFile& file, FrameSelection* selection, std::string* error) {
  const int n = file.frameCount();
  if (n <= 0) {
    *error = "the file holds no frames";
    return false;
  }
  if (selection->first >= n) {
    *error = "frame " + std::to_string(selection->first) + " is past the end (the file has " +
             std::to_string(n) + " frames, 0 to " + std::to_string(n - 1) + ")";
    return false;
  }
  if (selection->last < 0 || selection->last >= n) selection->last = n - 1;
  if (selection->step < 1) {
    *error = "--every wants a number of at least 1";
    return false;
  }
  return true;
}

bool exportY4m(const OpenedFile& file, const std::string& out, Range range, std::string* error) {
  if (!requireVideo(file, error)) return false;
  Output output;
  if (!output.open(out, error)) return false;
  char header[160];
  std::snprintf(header, sizeof(header), "YUV4MPEG2 W%d H%d F%d:%d Ip A1:1 C422 XCOLORRANGE=%s\n",
                file.width(), file.height(), file.rate(), file.scale() > 0 ? file.scale() : 1,
                range == Range::kFull ? "FULL" : "LIMITED");
  if (!output.write(header, std::strlen(header), error)) return false;
  std::vector<uint8_t> picture, planes(file.pictureBytes());
  static const char kFrame[] = "FRAME\n";
  Progress progress("y4m", file.frameCount());
  for (int i = 0; i < file.frameCount(); ++i) {
    if (!readFrame(file, i, &picture, error)) return false;
    yuy2ToPlanar422(picture.data(), file.width(), file.height(), planes.data());
    if (!output.write(kFrame, sizeof(kFrame) - 1, error) ||
        !output.write(planes.data(), planes.size(), error)) {
      return false;
    }
    progress.update(i + 1);
  }
  return output.finish(error);
}

bool exportYuy2(const OpenedFile& file, const std::string& out, std::string* error) {
  if (!requireVideo(file, error)) return false;
  Output output;
  if (!output.open(out, error)) return false;
  std::vector<uint8_t> picture;
  Progress progress("yuy2", file.frameCount());
  for (int i = 0; i < file.frameCount(); ++i) {
    if (!readFrame(file, i, &picture, error) ||
        !output.write(picture.data(), picture.size(), error)) {
      return false;
    }
    progress.update(i + 1);
  }
  return output.finish(error);
}

namespace {

// The WAV header for `samples` sample frames in the file's sound format (a file without sound:
// 16-bit stereo at 44.1 kHz), or false with *error when they do not fit a WAV file.
bool wavHeader(const OpenedFile& file, uint64_t samples, std::vector<uint8_t>* header,
               uint16_t* blockOut, std::string* error) {
  const WAVEFORMATEX& fmt = file.audioFormat();
  const bool hasFormat = fmt.nBlockAlign > 0 && fmt.nSamplesPerSec > 0 && fmt.nChannels > 0;
  // A file without sound still gives a valid (empty) WAV in the recording's format; its rate
  // is the file header's.
  const uint16_t channels = hasFormat ? fmt.nChannels : 2;
  const uint16_t bits = hasFormat ? fmt.wBitsPerSample : 16;
  const uint64_t headerRate = file.walk().header.audioSampleRate;
  const uint32_t rate = hasFormat ? fmt.nSamplesPerSec
                        : headerRate > 0 && headerRate <= 0xFFFFFFFFu
                            ? static_cast<uint32_t>(headerRate)
                            : 44100;
  const uint16_t block = hasFormat ? fmt.nBlockAlign : 4;
  const uint64_t dataBytes = samples * block;
  if (dataBytes > 0xFFFFFFFFull - 36) {
    *error = "the sound is too long for a WAV file (4 GiB at most)";
    return false;
  }
  header->clear();
  header->insert(header->end(), {'R', 'I', 'F', 'F'});
  putLe32(header, static_cast<uint32_t>(36 + dataBytes));
  header->insert(header->end(), {'W', 'A', 'V', 'E', 'f', 'm', 't', ' '});
  putLe32(header, 16);
  putLe16(header, 1);  // PCM
  putLe16(header, channels);
  putLe32(header, rate);
  putLe32(header, rate * block);
  putLe16(header, block);
  putLe16(header, bits);
  header->insert(header->end(), {'d', 'a', 't', 'a'});
  putLe32(header, static_cast<uint32_t>(dataBytes));
  *blockOut = block;
  return true;
}

}  // namespace

bool exportWav(const OpenedFile& file, const std::string& out, std::string* error) {
  const uint64_t samples = file.hasAudio() ? static_cast<uint64_t>(file.audioSamples()) : 0;
  std::vector<uint8_t> header;
  uint16_t block = 0;
  if (!wavHeader(file, samples, &header, &block, error)) return false;
  const uint32_t rate =
      header[24] | header[25] << 8 | header[26] << 16 | uint32_t{header[27]} << 24;
  Output output;
  if (!output.open(out, error)) return false;
  if (!output.write(header.data(), header.size(), error)) return false;

  // About a second per call; the plug-in serves any block size.
  const int chunk = static_cast<int>(rate);
  std::vector<uint8_t> buffer(static_cast<size_t>(chunk) * block);
  uint64_t done = 0;
  while (done < samples) {
    const int want = static_cast<int>(std::min<uint64_t>(chunk, samples - done));
    const int got = file.readAudio(static_cast<int>(done), want, buffer.data());
    if (got != want) {
      *error = "the plug-in delivered " + std::to_string(got) + " of " + std::to_string(want) +
               " samples at sample " + std::to_string(done);
      return false;
    }
    if (!output.write(buffer.data(), static_cast<size_t>(got) * block, error)) return false;
    done += static_cast<uint64_t>(got);
  }
  return output.finish(error);
}

bool exportTrackWav(const OpenedFile& file, const std::string& path, uint64_t track,
                    const std::string& out, std::string* error) {
  const ContainerWalk& walk = file.walk();
  const ContainerWalk::AudioTrack* found = nullptr;
  for (const ContainerWalk::AudioTrack& t : walk.tracks) {
    if (t.number == track) found = &t;
  }
  if (found == nullptr) {
    *error = "the file has no sound track " + std::to_string(track);
    return false;
  }
  std::vector<uint8_t> header;
  uint16_t block = 0;
  if (!wavHeader(file, found->bytes / qvf::kAudioBlockBytes, &header, &block, error)) return false;
  FILE* in = std::fopen(path.c_str(), "rb");
  if (in == nullptr) {
    *error = "cannot open " + path + ": " + qvtools::lastErrorText();
    return false;
  }
  Output output;
  bool ok = output.open(out, error) && output.write(header.data(), header.size(), error);
  // The track's records in file order, each as stored: whole sample frames only.
  std::vector<uint8_t> buffer;
  for (size_t k = 0; ok && k < found->chunks.size(); ++k) {
    const auto& chunk = found->chunks[k];
    const uint64_t bytes = chunk.second / block * block;
    buffer.resize(static_cast<size_t>(bytes));
    if (qvtools::seek64(in, static_cast<int64_t>(chunk.first), SEEK_SET) != 0 ||
        std::fread(buffer.data(), 1, buffer.size(), in) != buffer.size()) {
      *error = "cannot read the sound of track " + std::to_string(track) + " at byte " +
               std::to_string(chunk.first);
      ok = false;
      break;
    }
    ok = output.write(buffer.data(), buffer.size(), error);
  }
  std::fclose(in);
  return ok && output.finish(error);
}

bool exportPng(const OpenedFile& file, const std::string& dir, const FrameSelection& selection,
               const YuvToRgb& colour, int* written, std::string* error) {
  *written = 0;
  if (!pngSupported()) return writePng("", RgbImage(), error);
  if (!requireVideo(file, error)) return false;
  if (!qvtools::makeDirectories(dir)) {
    *error = "cannot create directory " + dir + ": " + qvtools::lastErrorText();
    return false;
  }
  std::vector<uint8_t> picture;
  RgbImage image(file.width(), file.height());
  const int total = (selection.last - selection.first) / selection.step + 1;
  Progress progress("png", total);
  for (int i = selection.first; i <= selection.last; i += selection.step) {
    if (!readFrame(file, i, &picture, error)) return false;
    colour.convert(picture.data(), file.width(), file.height(), image.pixels.data());
    char name[32];
    std::snprintf(name, sizeof(name), "/frame_%06d.png", i);
    std::string pngError;
    if (!writePng(dir + name, image, &pngError)) {
      *error = "cannot write " + dir + name + ": " + pngError;
      return false;
    }
    ++*written;
    progress.update(*written);
  }
  return true;
}

bool exportSheet(const OpenedFile& file, const std::string& out, const FrameSelection& selection,
                 const YuvToRgb& colour, int count, int columns, int thumbWidth,
                 std::string* error) {
  if (!pngSupported()) return writePng("", RgbImage(), error);
  if (!requireVideo(file, error)) return false;
  if (count < 1 || columns < 1 || thumbWidth < 16) {
    *error = "the contact sheet needs at least 1 frame, 1 column and 16-pixel thumbnails";
    return false;
  }
  // Evenly spaced over the selected range, the first and the last frame included.
  std::vector<int> frames;
  const int span = selection.last - selection.first;
  const int shown = std::min(count, span + 1);
  for (int k = 0; k < shown; ++k) {
    const int frame =
        shown == 1 ? selection.first
                   : selection.first +
                         static_cast<int>((static_cast<int64_t>(span) * k + (shown - 1) / 2) /
                                          (shown - 1));
    if (frames.empty() || frames.back() != frame) frames.push_back(frame);
  }

  const int tw = std::min(thumbWidth, file.width());
  const int th =
      std::max(1, static_cast<int>(static_cast<int64_t>(file.height()) * tw / file.width()));
  const int cols = std::min(columns, static_cast<int>(frames.size()));
  const int rows = (static_cast<int>(frames.size()) + cols - 1) / cols;
  const int scale = tw >= 200 ? 2 : 1;
  const int pad = 8 * scale;
  const int label = textHeight(scale) + pad / 2;
  const int titleHeight = textHeight(scale) + pad;
  RgbImage sheet(pad + cols * (tw + pad), titleHeight + pad + rows * (th + label + pad), 24);
  const uint8_t white[3] = {235, 235, 235};
  const uint8_t grey[3] = {160, 160, 160};
  char title[160];
  std::snprintf(title, sizeof(title), "%dx%d  %d fps  %d frames  %s", file.width(), file.height(),
                file.frameRate(), file.frameCount(),
                qvtools::formatClock(file.frameRate() > 0
                                         ? static_cast<double>(file.frameCount()) / file.frameRate()
                                         : 0)
                    .c_str());
  drawText(&sheet, pad, pad, title, scale, grey);

  std::vector<uint8_t> picture;
  RgbImage full(file.width(), file.height());
  Progress progress("sheet", static_cast<int>(frames.size()));
  for (size_t k = 0; k < frames.size(); ++k) {
    if (!readFrame(file, frames[k], &picture, error)) return false;
    colour.convert(picture.data(), file.width(), file.height(), full.pixels.data());
    const int x = pad + static_cast<int>(k % cols) * (tw + pad);
    const int y = titleHeight + pad + static_cast<int>(k / cols) * (th + label + pad);
    blit(shrink(full, tw, th), &sheet, x, y);
    drawText(&sheet, x, y + th + pad / 2, frameLabel(frames[k], file.frameRate()), scale, white);
    progress.update(static_cast<int>(k + 1));
  }
  std::string pngError;
  if (!writePng(out, sheet, &pngError)) {
    *error = "cannot write " + out + ": " + pngError;
    return false;
  }
  return true;
}

}  // namespace qvf_tool
