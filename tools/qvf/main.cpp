// qvf: looks into recordings and exports them, through the reader plug-in exactly as the
// editor uses it (every picture and sample comes from its table's entry points).
//
// Exit codes: 0 fine; 1 verify found problems (repair: a file it will not touch); 2 bad command
// line; 3 the plug-in cannot be loaded; 4 the file cannot be opened as a recording; 5 an export
// (repair: a change) could not be written; 6 verify: the recording ends early (cut off inside
// its last record, as when the recording process ended abruptly, or ending in zero bytes, as a
// power cut can leave it), otherwise sound.
#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "console.h"
#include "container_walk.h"
#include "events_file.h"
#include "exporters.h"
#include "picture.h"
#include "plugin_loader.h"
#include "qv_version.h"
#include "recording_summary.h"
#include "srt_export.h"
#include "take_repair.h"

namespace {

using namespace qvf_tool;

enum ExitCode {
  kExitOk = 0,
  kExitProblems = 1,
  kExitUsage = 2,
  kExitPlugin = 3,
  kExitOpen = 4,
  kExitWrite = 5,
  kExitEndsEarly = 6
};

struct Options {
  std::string plugin;
  std::string file;
  std::vector<std::string> repairFiles;
  bool quiet = false;
  // export
  std::string y4m, yuy2, wav, pngDir, sheet;
  std::string track = "mix";  // which sound --wav writes: mix, mic or desktop
  std::string srt, events;    // subtitles of the clicks; the events file (default beside FILE)
  std::string frames;
  int every = 1;
  std::string matrix;  // empty: as recorded, else BT.601
  std::string range;   // empty: as recorded, else TV range
  int sheetCount = 16;
  int sheetColumns = 4;
  int thumbWidth = 320;
};

void fail(const std::string& message) { std::fprintf(stderr, "qvf: %s\n", message.c_str()); }

int loadPlugin(const Options& options, InputPlugin* plugin) {
  std::string tried;
  for (const std::string& path : InputPlugin::candidates(options.plugin)) {
    if (!qvtools::fileExists(path)) {
      tried += "\n  " + path + " (not there)";
      continue;
    }
    std::string error;
    if (plugin->load(path, &error)) return kExitOk;
    fail("cannot use the reader plug-in " + path + ": " + error);
    return kExitPlugin;
  }
  fail("the reader plug-in QuorvaneVideoFormat was not found; looked at:" + tried +
       "\n  (give it with --plugin PATH or the environment variable QV_PLUGIN)");
  return kExitPlugin;
}

// Opens the file through the plug-in; on refusal tells the user why as far as the structure
// shows it.
std::unique_ptr<OpenedFile> openFile(const InputPlugin& plugin, const std::string& path,
                                     int* code) {
  std::string error;
  std::unique_ptr<OpenedFile> file = OpenedFile::open(plugin, path, &error);
  if (file) return file;
  ContainerWalk walk;
  if (qvtools::fileExists(path) && !qvtools::isDirectory(path) && walkContainer(path, &walk) &&
      !walk.problems.empty()) {
    error += ": " + walk.problems.front();
  }
  fail(path + ": " + error);
  *code = kExitOpen;
  return nullptr;
}

double seconds(uint64_t count, uint64_t perSecond) {
  return perSecond == 0 ? 0.0 : static_cast<double>(count) / static_cast<double>(perSecond);
}

std::string utcText(int64_t milliseconds) {
  const std::time_t t = static_cast<std::time_t>(milliseconds / 1000);
  const std::tm* utc = std::gmtime(&t);
  if (utc == nullptr) return "?";
  char text[40];
  std::strftime(text, sizeof(text), "%Y-%m-%d %H:%M:%S UTC", utc);
  return text;
}

void printProvenance(const Provenance& p) {
  if (!p.present) return;
  if (!p.libraryVersion.empty()) std::printf("made by         %s\n", p.libraryVersion.c_str());
  if (!p.screenPath.empty()) std::printf("screen read by  %s\n", p.screenPath.c_str());
  if (p.hasStartTime) std::printf("started         %s\n", utcText(p.startTimeUtcMs).c_str());
  if (!p.windowTitle.empty() || !p.processName.empty()) {
    std::printf("window          \"%s\"%s%s%s\n", p.windowTitle.c_str(),
                p.processName.empty() ? "" : " (", p.processName.c_str(),
                p.processName.empty() ? "" : ")");
  }
  if (p.captureWidth != 0) {
    std::printf("recorded        %ux%u, stored as %ux%u\n", p.captureWidth, p.captureHeight,
                p.outputWidth, p.outputHeight);
  }
  if (p.colorMatrix != 0 || p.colorRange >= 0) {
    std::printf("colour          %s, %s\n",
                p.colorMatrix == 709   ? "BT.709"
                : p.colorMatrix == 601 ? "BT.601"
                                       : "matrix unknown",
                p.colorRange == 1   ? "full range"
                : p.colorRange == 0 ? "TV range"
                                    : "range unknown");
  }
  if (!p.captureMethod.empty()) std::printf("capture method  %s\n", p.captureMethod.c_str());
  if (!p.soundSource.empty()) std::printf("sound source    %s\n", p.soundSource.c_str());
  if (p.unchangedAsRepeats >= 0) {
    std::printf("unchanged       %s\n", p.unchangedAsRepeats == 1
                                            ? "pictures equal to the one before stored as repeats"
                                            : "every captured picture stored");
  }
  std::string pauses = std::to_string(p.pauses.size());
  for (size_t k = 0; k < p.pauses.size(); ++k) {
    char text[64];
    std::snprintf(text, sizeof(text), "%s at %s for %.1f s", k == 0 ? ":" : ",",
                  qvtools::formatClock(static_cast<double>(p.pauses[k].first) / 1000.0).c_str(),
                  static_cast<double>(p.pauses[k].second) / 1000.0);
    pauses += text;
  }
  std::printf("pauses          %s\n", pauses.c_str());
}

// The editors count frames and samples in 32-bit signed integers.
constexpr uint64_t kEditorMaxCount = 0x7FFFFFFF;
// The 32-bit editor's default limit of frames per file, changeable in its settings.
constexpr uint64_t kEditorDefaultFrameLimit = 320000;

std::string indexText(const ContainerWalk& walk) {
  switch (walk.index) {
    case ContainerWalk::Index::kSound:
      return "present, " + std::to_string(walk.indexedRecords) +
             " records listed (opens with a read at the end of the file)";
    case ContainerWalk::Index::kDamaged:
      return "damaged at byte " + std::to_string(walk.indexOffset) +
             " (opens by walking every record; 'qvf repair' writes it anew)";
    case ContainerWalk::Index::kStale:
      return "stale: records follow it (opens by walking every record; 'qvf repair' writes one)";
    case ContainerWalk::Index::kNone:
      break;
  }
  return "none (opens by walking every record; 'qvf repair' writes one)";
}

// The number of the track of a source ("mic" or "desktop"), as the record of how the file was
// made lists it; 0 when the file has no such track.
uint64_t trackNumber(const ContainerWalk& walk, const std::string& name) {
  const uint32_t source =
      name == "desktop" ? qvf::kTrackSourceDesktop : qvf::kTrackSourceCaptureDevice;
  for (const Provenance::Track& t : walk.provenance.tracks) {
    if (t.source != source) continue;
    for (const ContainerWalk::AudioTrack& stored : walk.tracks) {
      if (stored.number == t.number) return t.number;
    }
  }
  return 0;
}

const char* trackSourceName(uint32_t source) {
  return source == qvf::kTrackSourceDesktop ? "desktop" : "mic";
}

int runInfo(const Options& options) {
  InputPlugin plugin;
  int code = loadPlugin(options, &plugin);
  if (code != kExitOk) return code;
  std::unique_ptr<OpenedFile> file = openFile(plugin, options.file, &code);
  if (!file) return code;
  const ContainerWalk& walk = file->walk();
  const qvf::FileHeader& h = walk.header;
  const double duration = seconds(static_cast<uint64_t>(file->frameCount()),
                                  static_cast<uint64_t>(std::max(file->frameRate(), 0)));
  const uint64_t captured = walk.keyCount + walk.deltaCount;
  const uint64_t pictureBytes = walk.keyBytes + walk.deltaBytes;
  const uint32_t fourcc = file->fourcc();
  const char tag[9] = {h.codecTag[0], h.codecTag[1], h.codecTag[2],
                       h.codecTag[3], h.codecTag[4], h.codecTag[5],
                       h.codecTag[6], h.codecTag[7], 0};
  std::printf("file            %s\n", options.file.c_str());
  std::printf("size            %s (%llu bytes)\n", qvtools::formatBytes(walk.fileBytes).c_str(),
              static_cast<unsigned long long>(walk.fileBytes));
  std::printf(
      "header          %llu bytes, codec tag \"%s\", %llux%llu at %llu fps, audio %llu ch "
      "%llu-bit %llu Hz\n",
      static_cast<unsigned long long>(h.headerSize), tag, static_cast<unsigned long long>(h.width),
      static_cast<unsigned long long>(h.height), static_cast<unsigned long long>(h.frameRate),
      static_cast<unsigned long long>(h.audioChannels),
      static_cast<unsigned long long>(h.audioBitsPerSample),
      static_cast<unsigned long long>(h.audioSampleRate));
  std::printf("picture         %dx%d %c%c%c%c, %d/%d fps\n", file->width(), file->height(),
              fourcc & 0xFF, (fourcc >> 8) & 0xFF, (fourcc >> 16) & 0xFF, (fourcc >> 24) & 0xFF,
              file->rate(), file->scale());
  std::printf("frames          %d (%llu key, %llu delta, %llu repeat)\n", file->frameCount(),
              static_cast<unsigned long long>(walk.keyCount),
              static_cast<unsigned long long>(walk.deltaCount),
              static_cast<unsigned long long>(walk.repeatCount));
  std::printf("duration        %.3f s (%s)\n", duration, qvtools::formatClock(duration).c_str());
  if (static_cast<uint64_t>(file->frameCount()) > kEditorDefaultFrameLimit) {
    std::printf(
        "limit           over the 32-bit editor's default limit of %llu frames (%s at "
        "%llu fps): raise it in that editor's settings to use the whole file\n",
        static_cast<unsigned long long>(kEditorDefaultFrameLimit),
        qvtools::formatClock(seconds(kEditorDefaultFrameLimit, h.frameRate)).c_str(),
        static_cast<unsigned long long>(h.frameRate));
  }
  const WAVEFORMATEX& a = file->audioFormat();
  if (file->hasAudio()) {
    // The file's own sound: the table's count stops at the editors' largest int.
    const uint64_t block = a.nBlockAlign ? a.nBlockAlign : qvf::kAudioBlockBytes;
    const uint64_t samples = walk.audioBytes / block;
    std::printf("audio           %llu samples, %.3f s, %u ch %u-bit %u Hz, in %llu records\n",
                static_cast<unsigned long long>(samples), seconds(samples, a.nSamplesPerSec),
                static_cast<unsigned>(a.nChannels), static_cast<unsigned>(a.wBitsPerSample),
                static_cast<unsigned>(a.nSamplesPerSec),
                static_cast<unsigned long long>(walk.audioRecords));
    if (samples > kEditorMaxCount) {
      std::printf(
          "limit           the editors count samples in 32-bit integers and see only "
          "the first %llu (%.3f s) of the sound\n",
          static_cast<unsigned long long>(kEditorMaxCount),
          seconds(kEditorMaxCount, a.nSamplesPerSec));
    }
  } else {
    std::printf("audio           none\n");
  }
  // Each source's own track; the sound above is then their mix.
  if (!walk.tracks.empty() && file->hasAudio()) {
    std::printf("track 0         mix, the sound above\n");
  }
  for (const ContainerWalk::AudioTrack& t : walk.tracks) {
    std::string source = "source not listed";
    for (const Provenance::Track& listed : walk.provenance.tracks) {
      if (listed.number == t.number) {
        source = std::string(trackSourceName(listed.source)) + ", " + listed.device;
      }
    }
    const uint64_t samples = t.bytes / qvf::kAudioBlockBytes;
    char label[32];
    std::snprintf(label, sizeof label, "track %llu", static_cast<unsigned long long>(t.number));
    std::printf("%-16s%s: %llu samples, %.3f s, in %llu records\n", label, source.c_str(),
                static_cast<unsigned long long>(samples), seconds(samples, h.audioSampleRate),
                static_cast<unsigned long long>(t.records));
  }
  std::printf("index           %s\n", indexText(walk).c_str());
  const uint64_t videoRecords = walk.videoTypes.size();
  std::printf(
      "repeat records  %s\n",
      qvtools::repeatSummary(walk.repeatCount, videoRecords, walk.longestRepeatRun).c_str());
  if (file->hasAudio()) {
    std::printf(
        "sound - picture %s\n",
        qvtools::driftText(seconds(walk.audioBytes / qvf::kAudioBlockBytes, h.audioSampleRate),
                           seconds(videoRecords, h.frameRate))
            .c_str());
  }
  printProvenance(walk.provenance);
  if (captured > 0) {
    std::printf(
        "bytes/frame     %s on average per stored picture (key %s, delta %s)\n",
        qvtools::formatBytes(pictureBytes / captured).c_str(),
        walk.keyCount ? qvtools::formatBytes(walk.keyBytes / walk.keyCount).c_str() : "-",
        walk.deltaCount ? qvtools::formatBytes(walk.deltaBytes / walk.deltaCount).c_str() : "-");
  }
  if (duration > 0) {
    std::printf("data rate       %s/s overall, %s/s pictures (raw YUY2: %s/s)\n",
                qvtools::formatBytes(static_cast<uint64_t>(walk.fileBytes / duration)).c_str(),
                qvtools::formatBytes(static_cast<uint64_t>(pictureBytes / duration)).c_str(),
                qvtools::formatBytes(static_cast<uint64_t>(file->pictureBytes()) *
                                     static_cast<uint64_t>(file->frameRate()))
                    .c_str());
  }
  if (walk.unknownRecords > 0) {
    std::printf("other records   %llu of unknown types (skipped)\n",
                static_cast<unsigned long long>(walk.unknownRecords));
  }
  for (const std::string& p : walk.problems) std::printf("problem         %s\n", p.c_str());
  return kExitOk;
}

uint64_t fnv1a(const uint8_t* data, size_t size) {
  uint64_t hash = 1469598103934665603ull;
  for (size_t i = 0; i < size; ++i) hash = (hash ^ data[i]) * 1099511628211ull;
  return hash;
}

// Where a recording that ends early stops being whole, and what remains of it.
std::string endingText(const ContainerWalk& walk, uint64_t audioSamples) {
  const uint64_t frames = walk.videoTypes.size();
  const auto n = [](uint64_t v) { return static_cast<unsigned long long>(v); };
  char where[160];
  if (walk.endsInZeros) {
    std::snprintf(where, sizeof(where),
                  "only zero bytes from byte %llu to the end (%llu bytes, as a file system "
                  "leaves a file whose data never arrived)",
                  n(walk.tornOffset), n(walk.fileBytes - walk.tornOffset));
  } else {
    std::snprintf(where, sizeof(where),
                  "cut off inside record %llu at byte %llu (%llu bytes of it there)",
                  n(walk.wholeRecords), n(walk.tornOffset), n(walk.fileBytes - walk.tornOffset));
  }
  char text[400];
  std::snprintf(text, sizeof(text),
                "ends early: %s; whole up to frame %llu (%.3f s) and %llu audio samples; "
                "'qvf repair' cuts the %s",
                where, n(frames),
                walk.header.frameRate != 0
                    ? static_cast<double>(frames) / static_cast<double>(walk.header.frameRate)
                    : 0.0,
                n(audioSamples), walk.endsInZeros ? "zeros" : "torn tail");
  return text;
}

int runVerify(const Options& options) {
  InputPlugin plugin;
  int code = loadPlugin(options, &plugin);
  if (code != kExitOk) return code;
  std::unique_ptr<OpenedFile> file = openFile(plugin, options.file, &code);
  if (!file) return code;
  ContainerWalk walk = file->walk();
  checkKeyFramePlacement(&walk);
  std::vector<std::string> problems = walk.problems;
  auto problem = [&problems](const std::string& text) { problems.push_back(text); };

  // What the plug-in reports against what the records say.
  const int n = file->frameCount();
  if (static_cast<uint64_t>(n) != walk.videoTypes.size()) {
    problem("the plug-in reports " + std::to_string(n) + " frames, the file has " +
            std::to_string(walk.videoTypes.size()) + " video records");
  }
  if (static_cast<uint64_t>(file->width()) != walk.header.width ||
      static_cast<uint64_t>(file->height()) != walk.header.height ||
      static_cast<uint64_t>(file->frameRate()) != walk.header.frameRate) {
    problem("the plug-in reports a picture format other than the file header's");
  }
  const uint64_t audioSamples = walk.audioBytes / qvf::kAudioBlockBytes;
  if (static_cast<uint64_t>(std::max(file->audioSamples(), 0)) !=
      std::min(audioSamples, kEditorMaxCount)) {
    problem("the plug-in reports " + std::to_string(file->audioSamples()) +
            " audio samples, the audio records hold " + std::to_string(audioSamples));
  }
  if (walk.index == ContainerWalk::Index::kDamaged) {
    problem("the index record at byte " + std::to_string(walk.indexOffset) +
            " does not match the file ('qvf repair' writes it anew)");
  }

  // Every picture, in order, as the editor plays; each repeat must show its predecessor.
  std::vector<uint64_t> hashes(static_cast<size_t>(std::max(n, 0)));
  std::vector<uint8_t> picture(file->pictureBytes() + 16);
  int badFrames = 0;
  const bool showProgress = qvtools::isTerminal(stderr) && !options.quiet;
  for (int i = 0; i < n; ++i) {
    if (!file->readPicture(i, picture.data())) {
      if (++badFrames <= 5) problem("frame " + std::to_string(i) + " does not decode");
      continue;
    }
    hashes[i] = fnv1a(picture.data(), file->pictureBytes());
    const bool recordKey =
        i < static_cast<int>(walk.videoTypes.size()) && walk.videoTypes[i] == qvf::RECORD_KEY;
    if (file->isKeyframe(i) != recordKey) {
      problem("frame " + std::to_string(i) + ": the plug-in's key-frame answer is wrong");
    }
    if (i > 0 && i < static_cast<int>(walk.videoTypes.size()) &&
        walk.videoTypes[i] == qvf::RECORD_REPEAT && hashes[i] != hashes[i - 1]) {
      problem("frame " + std::to_string(i) + " is a repeat but differs from frame " +
              std::to_string(i - 1));
    }
    if (showProgress && (i % 16 == 0 || i + 1 == n)) {
      std::fprintf(stderr, "\rpictures %s %d/%d",
                   qvtools::progressBar(static_cast<double>(i + 1) / n, 30).c_str(), i + 1, n);
    }
  }
  if (showProgress && n > 0) std::fprintf(stderr, "\n");
  if (badFrames > 5) problem(std::to_string(badFrames - 5) + " more frames do not decode");

  // Jumps, as when the user scrubs: backwards through the file, each picture as before.
  if (badFrames == 0 && n > 0) {
    const int samples = std::min(n, 40);
    for (int k = samples - 1; k >= 0; --k) {
      const int i =
          samples == 1 ? 0 : static_cast<int>(static_cast<int64_t>(n - 1) * k / (samples - 1));
      if (!file->readPicture(i, picture.data()) ||
          fnv1a(picture.data(), file->pictureBytes()) != hashes[i]) {
        problem("frame " + std::to_string(i) + " decodes differently when reached by a jump");
        break;
      }
    }
  }
  if (file->readVideo(n, picture.data()) != 0 || file->readVideo(-1, picture.data()) != 0) {
    problem("the plug-in returns a picture for a frame number outside the file");
  }

  // All the sound, in blocks of one frame's worth as the editor asks for it, against the
  // bytes stored in the audio records.
  if (file->hasAudio() && audioSamples > 0) {
    const uint32_t block = file->audioFormat().nBlockAlign;
    const int perCall = std::max(
        1, static_cast<int>(file->audioFormat().nSamplesPerSec / std::max(file->frameRate(), 1)));
    std::vector<uint8_t> sound(static_cast<size_t>(perCall) * block);
    std::vector<uint8_t> stored(sound.size());
    FILE* raw = std::fopen(options.file.c_str(), "rb");
    size_t chunk = 0;
    uint64_t chunkDone = 0;
    int start = 0;
    bool mismatch = false;
    while (start < file->audioSamples() && raw != nullptr) {
      const int want = std::min(perCall, file->audioSamples() - start);
      const int got = file->readAudio(start, want, sound.data());
      if (got != want) {
        problem("audio at sample " + std::to_string(start) + ": the plug-in delivered " +
                std::to_string(got) + " of " + std::to_string(want) + " samples");
        break;
      }
      // The same span straight from the audio records.
      size_t filled = 0;
      const size_t bytes = static_cast<size_t>(got) * block;
      while (filled < bytes && chunk < walk.audioChunks.size()) {
        const auto& c = walk.audioChunks[chunk];
        const size_t take =
            static_cast<size_t>(std::min<uint64_t>(bytes - filled, c.second - chunkDone));
        qvtools::seek64(raw, static_cast<int64_t>(c.first + chunkDone), SEEK_SET);
        if (std::fread(stored.data() + filled, 1, take, raw) != take) break;
        filled += take;
        chunkDone += take;
        if (chunkDone == c.second) {
          ++chunk;
          chunkDone = 0;
        }
      }
      if (filled != bytes || std::memcmp(sound.data(), stored.data(), bytes) != 0) {
        if (!mismatch) {
          problem("audio from sample " + std::to_string(start) + " differs from the stored sound");
        }
        mismatch = true;
      }
      start += got;
    }
    if (raw != nullptr) std::fclose(raw);
  }

  const std::string ending = walk.endsEarly ? endingText(walk, audioSamples) : "";
  if (problems.empty() && walk.endsEarly) {
    std::printf("%s: %s\n", options.file.c_str(), ending.c_str());
    return kExitEndsEarly;
  }
  if (!ending.empty()) problems.push_back(ending);
  if (problems.empty()) {
    if (!options.quiet) {
      std::printf("%s: OK: %d frames (%llu key, %llu delta, %llu repeat), %llu audio samples\n",
                  options.file.c_str(), n, static_cast<unsigned long long>(walk.keyCount),
                  static_cast<unsigned long long>(walk.deltaCount),
                  static_cast<unsigned long long>(walk.repeatCount),
                  static_cast<unsigned long long>(audioSamples));
      if (audioSamples > kEditorMaxCount) {
        std::printf("  the editors see only the first %llu audio samples\n",
                    static_cast<unsigned long long>(kEditorMaxCount));
      }
    }
    return kExitOk;
  }
  std::printf("%s: %zu problem%s\n", options.file.c_str(), problems.size(),
              problems.size() == 1 ? "" : "s");
  for (const std::string& p : problems) std::printf("  %s\n", p.c_str());
  return kExitProblems;
}

// The repair itself is shared with Quorvane.exe's recovery list (take_repair.h); here only
// what it says and the exit code.
int runRepair(const Options& options) {
  int worst = kExitOk;
  for (const std::string& path : options.repairFiles) {
    const qvtools::RepairReport report = qvtools::repairRecordingFile(path);
    int code = kExitOk;
    switch (report.outcome) {
      case qvtools::RepairOutcome::kWhole:
      case qvtools::RepairOutcome::kRepaired:
        break;
      case qvtools::RepairOutcome::kNotTouched:
        code = kExitProblems;
        break;
      case qvtools::RepairOutcome::kCannotOpen:
        code = kExitOpen;
        break;
      case qvtools::RepairOutcome::kWriteFailed:
        code = kExitWrite;
        break;
    }
    if (!report.ok()) fail(report.problem);
    if (!options.quiet) {
      for (const std::string& note : report.notes) std::printf("%s\n", note.c_str());
    }
    worst = std::max(worst, code);
  }
  return worst;
}

Matrix matrixFrom(const std::string& text) {
  if (text == "709") return Matrix::kBT709;
  if (text == "auto") return Matrix::kAuto;
  return Matrix::kBT601;
}

int runExport(const Options& options) {
  if (options.y4m.empty() && options.yuy2.empty() && options.wav.empty() &&
      options.pngDir.empty() && options.sheet.empty() && options.srt.empty()) {
    fail("export: name at least one of --y4m, --yuy2, --wav, --png, --sheet, --srt");
    return kExitUsage;
  }
  if ((!options.pngDir.empty() || !options.sheet.empty()) && !pngSupported()) {
    fail("PNG export is not built into this binary (--png and --sheet need the Linux build)");
    return kExitUsage;
  }
  const int toStdout = (options.y4m == "-") + (options.yuy2 == "-") + (options.wav == "-");
  if (toStdout > 1) {
    fail("export: only one stream can go to standard output");
    return kExitUsage;
  }
  FrameSelection selection;
  std::string error;
  if (!options.frames.empty() && !parseFrameRange(options.frames, &selection, &error)) {
    fail(error);
    return kExitUsage;
  }
  selection.step = options.every;

  InputPlugin plugin;
  int code = loadPlugin(options, &plugin);
  if (code != kExitOk) return code;
  std::unique_ptr<OpenedFile> file = openFile(plugin, options.file, &code);
  if (!file) return code;

  // The colour set the file says it was made with, unless the user names another.
  const Provenance& made = file->walk().provenance;
  std::string matrixName = options.matrix, rangeName = options.range;
  if (matrixName.empty()) {
    matrixName = made.colorMatrix == 709 ? "709" : made.colorMatrix == 601 ? "601" : "";
  }
  if (rangeName.empty())
    rangeName = made.colorRange == 1 ? "full" : made.colorRange == 0 ? "tv" : "";
  if ((matrixName.empty() || rangeName.empty()) && !options.quiet &&
      (!options.y4m.empty() || !options.pngDir.empty() || !options.sheet.empty())) {
    std::fprintf(stderr,
                 "qvf: the file does not say its colour %s; assuming %s (see --matrix, --range)\n",
                 matrixName.empty() && rangeName.empty() ? "matrix and range"
                 : matrixName.empty()                    ? "matrix"
                                                         : "range",
                 matrixName.empty() && rangeName.empty() ? "BT.601 TV range"
                 : matrixName.empty()                    ? "BT.601"
                                                         : "TV range");
  }
  if (matrixName.empty()) matrixName = "601";
  if (rangeName.empty()) rangeName = "tv";
  const Range range = rangeName == "full" ? Range::kFull : Range::kTV;
  const YuvToRgb colour(matrixFrom(matrixName), range, file->height());
  // Messages go to stderr: stdout may carry a stream.
  auto done = [&options](const std::string& what) {
    if (!options.quiet) std::fprintf(stderr, "qvf: wrote %s\n", what.c_str());
  };
  if (!options.y4m.empty()) {
    if (!exportY4m(*file, options.y4m, range, &error)) return fail(error), kExitWrite;
    if (options.y4m != "-") done(options.y4m);
  }
  if (!options.yuy2.empty()) {
    if (!exportYuy2(*file, options.yuy2, &error)) return fail(error), kExitWrite;
    if (options.yuy2 != "-") done(options.yuy2);
  }
  if (!options.wav.empty()) {
    if (options.track == "mix") {
      if (!exportWav(*file, options.wav, &error)) return fail(error), kExitWrite;
    } else {
      const uint64_t track = trackNumber(file->walk(), options.track);
      if (track == 0) {
        fail("export: " + options.file + " has no " + options.track +
             " track (a recording of one source has only the mix)");
        return kExitUsage;
      }
      if (!exportTrackWav(*file, options.file, track, options.wav, &error)) {
        return fail(error), kExitWrite;
      }
    }
    if (options.wav != "-") done(options.wav);
  }
  if (!options.srt.empty()) {
    const std::string events =
        options.events.empty() ? qvtools::eventsPathFor(options.file) : options.events;
    std::vector<qvtools::EventLine> lines;
    if (!qvtools::readEventsFile(events, &lines, &error)) return fail(error), kExitOpen;
    if (!exportSrt(lines, file->frameRate(), options.srt, &error)) return fail(error), kExitWrite;
    done(options.srt);
  }
  if (!options.pngDir.empty() || !options.sheet.empty()) {
    if (!resolveSelection(*file, &selection, &error)) return fail(error), kExitUsage;
  }
  if (!options.pngDir.empty()) {
    int written = 0;
    if (!exportPng(*file, options.pngDir, selection, colour, &written, &error)) {
      return fail(error), kExitWrite;
    }
    done(std::to_string(written) + " PNG pictures (" + (colour.isBT709() ? "BT.709" : "BT.601") +
         (range == Range::kFull ? " full range" : " TV range") + ") into " + options.pngDir);
  }
  if (!options.sheet.empty()) {
    if (!exportSheet(*file, options.sheet, selection, colour, options.sheetCount,
                     options.sheetColumns, options.thumbWidth, &error)) {
      return fail(error), kExitWrite;
    }
    done("contact sheet " + options.sheet);
  }
  return kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  CLI::App app{
      "qvf: inspect, verify and export Quorvane recordings (.qvf) through the reader "
      "plug-in"};
  app.set_version_flag("--version", "qvf " QV_VERSION);
  app.require_subcommand(1);
  app.add_option("--plugin", options.plugin,
                 "the reader plug-in library (default: $QV_PLUGIN, else the one installed with "
                 "qvf)");

  CLI::App* info = app.add_subcommand(
      "info", "header, frame counts, repeat records, duration, sound, how the file was made");
  info->add_option("FILE", options.file, "the recording")->required();

  CLI::App* verify = app.add_subcommand(
      "verify", "decode every frame and all sound; exit 1 when anything is wrong");
  verify->add_option("FILE", options.file, "the recording")->required();
  verify->add_flag("-q,--quiet", options.quiet, "print only problems");

  CLI::App* repair = app.add_subcommand(
      "repair",
      "make files of a recording that was cut off whole again: a .qvf file loses its torn last "
      "record, a WAV file gets the lengths of the samples it holds; nothing else changes");
  repair->add_option("FILES", options.repairFiles, "the .qvf and/or .wav files")->required();
  repair->add_flag("-q,--quiet", options.quiet, "print only problems");

  CLI::App* exp = app.add_subcommand("export", "write pictures or sound in common formats");
  exp->add_option("FILE", options.file, "the recording")->required();
  exp->add_option("--y4m", options.y4m, "YUV4MPEG2, 4:2:2 planar, to a file or - for stdout");
  exp->add_option("--yuy2", options.yuy2,
                  "raw packed YUY2 pictures as the plug-in gives them, to a file or -");
  exp->add_option("--wav", options.wav, "the sound as a 16-bit PCM WAV file, or -");
  exp->add_option("--track", options.track,
                  "the sound --wav writes: mix (what every reader hears), or of a recording of "
                  "two sources the capture device's track (mic) or the computer's (desktop)")
      ->check(CLI::IsMember({"mix", "mic", "desktop"}))
      ->capture_default_str();
  exp->add_option("--png", options.pngDir, "one PNG per selected frame into this directory");
  exp->add_option("--sheet", options.sheet, "a contact sheet of evenly spaced frames (PNG)");
  exp->add_option("--srt", options.srt,
                  "the clicks of the recording's events file as subtitles (SubRip): \"click\" at "
                  "the frame that shows it, for 0.5 s");
  exp->add_option("--events", options.events,
                  "the events file for --srt (default: NAME.events.csv beside FILE)");
  exp->add_option("--frames", options.frames, "frames A:B (inclusive; A: or :B open-ended)");
  exp->add_option("--every", options.every, "every N-th frame of the selection (PNG)")
      ->check(CLI::PositiveNumber);
  exp->add_option("--matrix", options.matrix,
                  "colour matrix of the recording: 601, 709 or auto (709 from 720 lines up); "
                  "default: as the file records it, else 601")
      ->check(CLI::IsMember({"601", "709", "auto"}));
  exp->add_option("--range", options.range,
                  "value range of the recording: tv or full; default: as the file records it, "
                  "else tv")
      ->check(CLI::IsMember({"tv", "full"}));
  exp->add_option("--sheet-count", options.sheetCount, "frames on the contact sheet")
      ->check(CLI::Range(1, 1000))
      ->capture_default_str();
  exp->add_option("--sheet-columns", options.sheetColumns, "columns of the contact sheet")
      ->check(CLI::Range(1, 100))
      ->capture_default_str();
  exp->add_option("--thumb-width", options.thumbWidth, "width of each picture on the sheet")
      ->check(CLI::Range(16, 4096))
      ->capture_default_str();
  exp->add_flag("-q,--quiet", options.quiet, "no messages on success");

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    const int code = app.exit(e);
    return code == 0 ? kExitOk : kExitUsage;
  }
  if (info->parsed()) return runInfo(options);
  if (verify->parsed()) return runVerify(options);
  if (repair->parsed()) return runRepair(options);
  return runExport(options);
}
