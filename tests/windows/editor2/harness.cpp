// Plays the 64-bit editor's part: loads QuorvaneVideoFormat.aui2 with LoadLibraryW, finds
// GetInputPluginTable, and opens recordings through names with Japanese characters, spaces, an
// emoji and more than MAX_PATH characters. Every picture and all the sound must equal what the
// reader core gives read serially in this process (and, for the recording it writes itself,
// what was written). Then one thread reads pictures by jumps and another reads sound on one
// handle while a third reads a second handle in order, all at once, against the same results.
//
//   qv_editor2_harness [plugin.aui2] [recording.qvf]
// Without a recording only its own small one is checked.
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "container_reader.h"
#include "editor2_input.h"
#include "qv_version.h"
#include "qvf_test_writer.h"

namespace {

using qv_test::Bytes;

std::atomic<int> failures{0};

bool check(bool ok, const char* what, long long detail = -1) {
  if (!ok) {
    ++failures;
    std::printf("FAIL: %s (%lld)\n", what, detail);
  }
  return ok;
}

std::wstring besideExe(const wchar_t* name) {
  wchar_t path[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring s = path;
  return s.substr(0, s.find_last_of(L"\\/") + 1) + name;
}

// Long names need the \\?\ form for the harness's own file calls; the plug-in gets the plain
// name, as the editor would pass it.
std::wstring extended(const std::wstring& path) { return L"\\\\?\\" + path; }

bool writeWide(const std::wstring& path, const Bytes& bytes) {
  HANDLE f =
      CreateFileW(extended(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  if (f == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  const bool ok = WriteFile(f, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
                  written == bytes.size();
  CloseHandle(f);
  return ok;
}

Bytes readWhole(const std::wstring& path) {
  Bytes out;
  HANDLE f =
      CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (f == INVALID_HANDLE_VALUE) return out;
  LARGE_INTEGER size = {};
  GetFileSizeEx(f, &size);
  out.resize(static_cast<size_t>(size.QuadPart));
  DWORD got = 0;
  if (!ReadFile(f, out.data(), static_cast<DWORD>(out.size()), &got, nullptr) || got != out.size())
    out.clear();
  CloseHandle(f);
  return out;
}

// What serial calls give: the reader core on its own, frame after frame, all the sound at once.
struct Reference {
  qvf::FileHeader header = {};
  std::vector<Bytes> pictures;
  std::vector<int> results;
  Bytes sound;
  int samples = 0;
  size_t frameBytes = 0;
};

bool readReference(const std::wstring& path, Reference* ref) {
  qv_reader::ContainerReader r;
  if (!r.open(path.c_str())) return false;
  ref->header = r.header();
  ref->frameBytes = r.frameBytes();
  for (size_t f = 0; f < r.frameCount(); ++f) {
    Bytes buf(r.frameBytes());
    ref->results.push_back(r.readVideo(static_cast<int64_t>(f), buf.data()));
    ref->pictures.push_back(std::move(buf));
  }
  ref->samples = static_cast<int>(r.audioSampleCount());
  ref->sound.resize(static_cast<size_t>(r.audioBytes()));
  r.readAudio(0, ref->samples, ref->sound.data());
  return true;
}

// Sound in blocks of one frame's worth, as the editor asks for it; true when all of it matches.
bool soundMatches(const editor2::INPUT_PLUGIN_TABLE* t, void* ih, const Reference& ref, int block,
                  double* worstMs = nullptr) {
  Bytes buf(static_cast<size_t>(block) * 4);
  bool ok = true;
  for (int start = 0; start < ref.samples; start += block) {
    const int want = std::min(block, ref.samples - start);
    const auto t0 = std::chrono::steady_clock::now();
    const int got = t->func_read_audio(ih, start, block, buf.data());
    const double ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
    if (worstMs) *worstMs = std::max(*worstMs, ms);
    ok = ok && got == want &&
         std::memcmp(buf.data(), ref.sound.data() + static_cast<size_t>(start) * 4,
                     static_cast<size_t>(got) * 4) == 0;
  }
  return ok;
}

// Opens path through the table and checks the info, every picture and all the sound serially,
// then the same handle with a second one concurrently.
void checkThroughTable(const editor2::INPUT_PLUGIN_TABLE* t, const std::wstring& path,
                       const Reference& ref) {
  void* ih = t->func_open(path.c_str());
  if (!check(ih != nullptr, "func_open", static_cast<long long>(path.size()))) return;
  editor2::INPUT_INFO info = {};
  check(t->func_info_get(ih, &info), "func_info_get");
  const int frames = static_cast<int>(ref.pictures.size());
  check(info.n == frames, "frame count", info.n);
  check(info.rate == static_cast<int>(ref.header.frameRate) && info.scale == 1, "rate", info.rate);
  check(info.audio_n == ref.samples, "sample count", info.audio_n);
  check(info.flag == (editor2::kInfoVideo | (ref.samples ? editor2::kInfoAudio : 0)), "info flag",
        info.flag);
  const BITMAPINFOHEADER* v = info.format;
  check(v && info.format_size == 40 && v->biSize == 40 &&
            v->biWidth == static_cast<LONG>(ref.header.width) &&
            v->biHeight == static_cast<LONG>(ref.header.height) && v->biPlanes == 1 &&
            v->biBitCount == 16 && v->biCompression == 0x32595559 &&
            v->biSizeImage == ref.frameBytes,
        "picture format: YUY2, 16 bits, top-down rows");
  const WAVEFORMATEX* a = info.audio_format;
  check(a && info.audio_format_size == 18 && a->wFormatTag == WAVE_FORMAT_PCM &&
            a->nChannels == 2 && a->wBitsPerSample == 16 && a->nSamplesPerSec == 44100 &&
            a->nBlockAlign == 4 && a->nAvgBytesPerSec == 176400,
        "sound format: 16-bit stereo PCM");

  Bytes buf(ref.frameBytes);
  for (int f = 0; f < frames; ++f) {
    const int result = t->func_read_video(ih, f, buf.data());
    check(result == ref.results[f] && buf == ref.pictures[f], "picture in order", f);
  }
  const int block = std::max(1, 44100 / std::max(1, static_cast<int>(ref.header.frameRate)));
  check(soundMatches(t, ih, ref, block), "sound in order");

  void* second = t->func_open(path.c_str());
  check(second != nullptr, "second handle");
  std::atomic<bool> picturesDone{false};
  double worstSoundMs = 0;
  std::thread pictures([&] {
    std::mt19937 rng(17);
    Bytes mine(ref.frameBytes);
    for (int i = 0; i < 2 * frames; ++i) {
      const int f = static_cast<int>(rng() % frames);
      const int result = t->func_read_video(ih, f, mine.data());
      check(result == ref.results[f] && mine == ref.pictures[f], "picture by a jump, concurrent",
            f);
    }
    picturesDone = true;
  });
  std::thread sound([&] {
    do {
      check(soundMatches(t, ih, ref, block, &worstSoundMs), "sound, concurrent");
    } while (!picturesDone);
  });
  std::thread other([&] {
    Bytes mine(ref.frameBytes);
    for (int f = 0; f < frames; ++f) {
      const int result = t->func_read_video(second, f, mine.data());
      check(result == ref.results[f] && mine == ref.pictures[f], "second handle picture", f);
    }
    check(soundMatches(t, second, ref, block), "second handle sound");
  });
  pictures.join();
  sound.join();
  other.join();
  std::printf("%d frames, %d samples; slowest sound read beside picture reads: %.2f ms\n", frames,
              ref.samples, worstSoundMs);
  check(t->func_close(second), "func_close second");
  check(t->func_close(ih), "func_close");
}

// A recording with known pictures and sound, under a Japanese name with spaces and an emoji,
// and again below a directory chain longer than MAX_PATH.
void checkKnownRecording(const editor2::INPUT_PLUGIN_TABLE* t, const std::wstring& dir) {
  using namespace qv_test;
  const uint64_t rate = 5, w = 48, h = 20;
  std::vector<Bytes> pictures;
  for (int i = 0; i < 17; ++i) pictures.push_back(syntheticPicture(w, h, i));
  QvfWriter writer(rate, w, h);
  const std::vector<Bytes> slots =
      writeRecording(writer, rate, pictures, {pcm(0, 700), pcm(700, 300)}, {0, 0, 1, 0, 0, 0, 2});

  const std::wstring path = dir + L"画面 録画 テスト \U0001F3AC.qvf";
  check(writeWide(path, writer.bytes()), "write the recording");
  Reference ref;
  check(readReference(path, &ref), "the reader core opens it");
  check(ref.pictures == slots, "the reader core gives the pictures written");
  check(ref.sound == pcm(0, 1000), "the reader core gives the sound written");
  checkThroughTable(t, path, ref);
  DeleteFileW(path.c_str());

  std::wstring longDir = dir;
  std::vector<std::wstring> made;
  while (longDir.size() < 2 * MAX_PATH) {
    longDir += L"長い名前のフォルダー with a long name \U0001F4C1\\";
    check(CreateDirectoryW(extended(longDir).c_str(), nullptr) != 0, "long directory");
    made.push_back(longDir);
  }
  const std::wstring longPath = longDir + L"録画.qvf";
  check(writeWide(longPath, writer.bytes()), "write below a long path");
  void* ih = t->func_open(longPath.c_str());
  if (check(ih != nullptr, "func_open of a long path", static_cast<long long>(longPath.size()))) {
    editor2::INPUT_INFO info = {};
    t->func_info_get(ih, &info);
    check(info.n == static_cast<int>(slots.size()), "long path: frame count", info.n);
    Bytes buf(w * h * 2);
    const int last = info.n - 1;
    t->func_read_video(ih, last, buf.data());
    check(buf == slots[last], "long path: picture", last);
    t->func_close(ih);
  }
  DeleteFileW(extended(longPath).c_str());
  for (auto it = made.rbegin(); it != made.rend(); ++it) RemoveDirectoryW(extended(*it).c_str());
}

// A recording of two sources: func_set_track offers the mix and each source's own track, and
// each reads as written.
void checkSoundTracks(const editor2::INPUT_PLUGIN_TABLE* t, const std::wstring& dir) {
  using namespace qv_test;
  std::vector<Bytes> pictures;
  for (int i = 0; i < 6; ++i) pictures.push_back(syntheticPicture(16, 8, i));
  QvfWriter writer(5, 16, 8);
  const TrackRecording tracks = writeTrackRecording(writer, pictures);
  const std::wstring path = dir + L"二つの音.qvf";
  check(writeWide(path, writer.bytes()), "write the recording of two sources");
  void* ih = t->func_open(path.c_str());
  if (!check(ih != nullptr && t->func_set_track != nullptr, "open the recording of two sources")) {
    return;
  }
  check(t->func_set_track(ih, editor2::kTrackAudio, -1) == 3, "three sound tracks");
  check(t->func_set_track(ih, editor2::kTrackVideo, -1) == 1, "one video track");
  for (int track = 0; track < 3; ++track) {
    const Bytes& expected = track == 0 ? tracks.mix : track == 1 ? tracks.track1 : tracks.track2;
    check(t->func_set_track(ih, editor2::kTrackAudio, track) == track, "choose a track", track);
    editor2::INPUT_INFO info = {};
    t->func_info_get(ih, &info);
    Bytes sound(expected.size());
    const int got = t->func_read_audio(ih, 0, static_cast<int>(expected.size() / 4), sound.data());
    check(info.audio_n == static_cast<int>(expected.size() / 4) &&
              got == static_cast<int>(expected.size() / 4) && sound == expected,
          "the track's sound", track);
  }
  t->func_close(ih);
  DeleteFileW(path.c_str());
}

// A recording from elsewhere (a real one from the capture library), copied under a Japanese
// name.
void checkGivenRecording(const editor2::INPUT_PLUGIN_TABLE* t, const std::wstring& given,
                         const std::wstring& dir) {
  const std::wstring path = dir + L"収録 デスクトップ.qvf";
  const Bytes bytes = readWhole(given);
  if (!check(!bytes.empty() && writeWide(path, bytes), "copy the given recording")) return;
  Reference ref;
  if (check(readReference(path, &ref), "the reader core opens the given recording")) {
    checkThroughTable(t, path, ref);
  }
  DeleteFileW(path.c_str());
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const std::wstring plugin = argc > 1 ? argv[1] : besideExe(L"QuorvaneVideoFormat.aui2");
  HMODULE dll = LoadLibraryW(plugin.c_str());
  if (!dll) {
    std::printf("FAIL: LoadLibraryW (%lu)\n", GetLastError());
    return 1;
  }
  using GetTable = editor2::INPUT_PLUGIN_TABLE* (*)();
  auto getTable = reinterpret_cast<GetTable>(
      reinterpret_cast<void*>(GetProcAddress(dll, "GetInputPluginTable")));
  check(getTable != nullptr, "GetProcAddress(GetInputPluginTable)");
  check(GetProcAddress(dll, "InitializePlugin") == nullptr, "no InitializePlugin to call");
  const editor2::INPUT_PLUGIN_TABLE* t = getTable ? getTable() : nullptr;
  if (check(t && t->func_open && t->func_close && t->func_info_get && t->func_read_video &&
                t->func_read_audio,
            "table")) {
    check(t->flag == (editor2::kPluginVideo | editor2::kPluginAudio | editor2::kPluginConcurrent |
                      editor2::kPluginMultiTrack),
          "table flag", t->flag);
    check(std::wstring(t->name) == L"QuorvaneVideoFormat Reader", "name");
    // The editor's plug-in list shows this: the version of the build that made the harness.
    check(std::wstring(t->information) == L"QuorvaneVideoFormat Reader " QV_WIDEN(QV_VERSION),
          "information with the version");
    check(std::wstring(t->filefilter) == L"QuorvaneVideoFormat (*.qvf)", "file filter");
    check(t->func_open(L"Z:\\no\\such\\file.qvf") == nullptr, "missing file");

    wchar_t temp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, temp);
    const std::wstring dir =
        std::wstring(temp) + L"qv harness 日本語 " + std::to_wstring(GetCurrentProcessId()) + L"\\";
    check(CreateDirectoryW(dir.c_str(), nullptr) != 0, "scratch directory");
    checkKnownRecording(t, dir);
    checkSoundTracks(t, dir);
    if (argc > 2) checkGivenRecording(t, argv[2], dir);
    RemoveDirectoryW(dir.c_str());
  }
  FreeLibrary(dll);
  std::printf("%s: %d failure(s)\n", failures ? "FAILED" : "PASSED", failures.load());
  return failures ? 1 : 0;
}
