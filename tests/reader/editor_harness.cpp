// Plays the editor's part: loads the plug-in with LoadLibrary, finds GetInputPluginTable by
// its undecorated name, opens a recording through the table and checks every picture and
// sample against what was written.
//
//   qv_editor_harness [plugin.dll] [recording.qvf]
//   qv_editor_harness plugin.dll --code-page-932
// Without a recording it writes one of its own with known pictures and sound. A recording
// given on the command line is checked for self-consistency instead: every frame read by a
// jump equals the same frame read in order, and all sound can be read.
// With --code-page-932 (run under a Japanese locale) it opens a recording whose name has
// Japanese characters through the narrow path the editor passes, in the system code page.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "editor_input.h"
#include "qvf_test_writer.h"

namespace {

int failures = 0;

void check(bool ok, const char* what, long long detail = -1) {
  if (!ok) {
    ++failures;
    std::printf("FAIL: %s (%lld)\n", what, detail);
  }
}

std::string besideExe(const char* name) {
  char path[MAX_PATH] = {};
  GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::string s = path;
  return s.substr(0, s.find_last_of("\\/") + 1) + name;
}

void checkKnownRecording(INPUT_PLUGIN_TABLE* t) {
  using namespace qv_test;
  const uint64_t rate = 5, w = 48, h = 20;
  std::vector<Bytes> pictures;
  for (int i = 0; i < 17; ++i) pictures.push_back(syntheticPicture(w, h, i));
  QvfWriter writer(rate, w, h);
  const std::vector<Bytes> chunks = {pcm(0, 700), pcm(700, 300)};
  const std::vector<Bytes> slots =
      writeRecording(writer, rate, pictures, chunks, {0, 0, 1, 0, 0, 0, 2});
  char dir[MAX_PATH] = {};
  GetTempPathA(MAX_PATH, dir);
  const std::string path =
      std::string(dir) + "qv-editor-harness-" + std::to_string(GetCurrentProcessId()) + ".qvf";
  check(writeFile(path, writer.bytes()), "write the recording");

  INPUT_HANDLE ih = t->func_open(const_cast<char*>(path.c_str()));
  check(ih != nullptr, "func_open");
  if (ih) {
    INPUT_INFO info = {};
    check(t->func_info_get(ih, &info), "func_info_get");
    check(info.n == static_cast<int>(slots.size()), "frame count", info.n);
    check(info.rate == 5 && info.scale == 1, "rate", info.rate);
    check(info.audio_n == 1000, "sample count", info.audio_n);
    check(info.format && info.format->biWidth == 48 && info.format->biHeight == 20, "format");
    check(info.audio_format && info.audio_format->nBlockAlign == 4, "audio format");
    check(info.handler == 0x32595559, "handler");

    std::vector<int> order;
    for (size_t f = 0; f < slots.size(); ++f) order.push_back(static_cast<int>(f));
    std::mt19937 rng(3);
    for (int round = 0; round < 3; ++round) {
      for (int f : order) {
        Bytes buf(w * h * 2);
        t->func_read_video(ih, f, buf.data());
        check(buf == slots[f], "picture", f);
      }
      std::shuffle(order.begin(), order.end(), rng);
    }
    for (int start : {0, 650, 699, 990}) {
      Bytes buf(100 * 4);
      const int got = t->func_read_audio(ih, start, 100, buf.data());
      const int expected = start + 100 > 1000 ? 1000 - start : 100;
      check(got == expected, "samples delivered", start);
      check(Bytes(buf.begin(), buf.begin() + got * 4) == pcm(start, got), "samples", start);
    }
    check(t->func_is_keyframe(ih, 0) && !t->func_is_keyframe(ih, 1), "key frames");
    t->func_close(ih);
  }
  DeleteFileA(path.c_str());
}

// The editor passes names in the system code page; on a Japanese system that is CP932, and a
// name with kanji and kana must open.
void checkCodePageName(INPUT_PLUGIN_TABLE* t) {
  check(GetACP() == 932, "system code page 932", GetACP());
  using namespace qv_test;
  const uint64_t w = 32, h = 8;
  std::vector<Bytes> pictures;
  for (int i = 0; i < 4; ++i) pictures.push_back(syntheticPicture(w, h, i));
  QvfWriter writer(2, w, h);
  const std::vector<Bytes> slots = writeRecording(writer, 2, pictures, {pcm(0, 50)});
  wchar_t dir[MAX_PATH] = {};
  GetTempPathW(MAX_PATH, dir);
  const std::wstring wide =
      std::wstring(dir) + L"録画 テスト " + std::to_wstring(GetCurrentProcessId()) + L".qvf";
  HANDLE f = CreateFileW(wide.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  DWORD written = 0;
  check(f != INVALID_HANDLE_VALUE &&
            WriteFile(f, writer.bytes().data(), static_cast<DWORD>(writer.bytes().size()), &written,
                      nullptr) &&
            written == writer.bytes().size(),
        "write the recording under a Japanese name");
  if (f != INVALID_HANDLE_VALUE) CloseHandle(f);

  BOOL lossy = FALSE;
  char narrow[4 * MAX_PATH] = {};
  const int n = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide.c_str(), -1, narrow,
                                    sizeof narrow, nullptr, &lossy);
  check(n > 0 && !lossy, "the name in the system code page");
  check(std::any_of(narrow, narrow + std::strlen(narrow),
                    [](char c) { return static_cast<unsigned char>(c) >= 0x80; }),
        "double-byte characters in the narrow name");
  INPUT_HANDLE ih = t->func_open(narrow);
  check(ih != nullptr, "func_open of a CP932 name");
  if (ih) {
    INPUT_INFO info = {};
    t->func_info_get(ih, &info);
    check(info.n == static_cast<int>(slots.size()), "frame count", info.n);
    for (int fr = 0; fr < info.n; ++fr) {
      Bytes buf(w * h * 2);
      t->func_read_video(ih, fr, buf.data());
      check(buf == slots[fr], "picture", fr);
    }
    t->func_close(ih);
  }
  DeleteFileW(wide.c_str());
}

void checkGivenRecording(INPUT_PLUGIN_TABLE* t, const char* path) {
  INPUT_HANDLE ih = t->func_open(const_cast<char*>(path));
  check(ih != nullptr, "func_open of the given recording");
  if (!ih) return;
  INPUT_INFO info = {};
  t->func_info_get(ih, &info);
  const size_t bytes = static_cast<size_t>(info.format->biWidth) * info.format->biHeight * 2;
  std::vector<qv_test::Bytes> inOrder;
  for (int f = 0; f < info.n; ++f) {
    qv_test::Bytes buf(bytes);
    t->func_read_video(ih, f, buf.data());
    inOrder.push_back(buf);
  }
  std::mt19937 rng(5);
  for (int k = 0; k < info.n; ++k) {
    const int f = static_cast<int>(rng() % info.n);
    qv_test::Bytes buf(bytes);
    t->func_read_video(ih, f, buf.data());
    check(buf == inOrder[f], "jump picture equals in-order picture", f);
  }
  qv_test::Bytes sound(4096 * 4);
  long long samples = 0;
  for (int s = 0; s < info.audio_n; s += 4096)
    samples += t->func_read_audio(ih, s, 4096, sound.data());
  check(samples == info.audio_n, "all samples readable", samples);
  std::printf("%s: %d frames, %d samples\n", path, info.n, info.audio_n);
  t->func_close(ih);
}

}  // namespace

int main(int argc, char** argv) {
  const std::string plugin = argc > 1 ? argv[1] : besideExe("QuorvaneVideoFormat.dll");
  HMODULE dll = LoadLibraryA(plugin.c_str());
  if (!dll) {
    std::printf("FAIL: LoadLibrary %s (%lu)\n", plugin.c_str(), GetLastError());
    return 1;
  }
  using GetTable = INPUT_PLUGIN_TABLE*(__stdcall*)();
  // Through void*: FARPROC's own signature says nothing about the function found.
  auto getTable = reinterpret_cast<GetTable>(
      reinterpret_cast<void*>(GetProcAddress(dll, "GetInputPluginTable")));
  check(getTable != nullptr, "GetProcAddress(GetInputPluginTable)");
  if (getTable) {
    INPUT_PLUGIN_TABLE* t = getTable();
    check(t && t->func_open && t->func_read_video && t->func_read_audio, "table");
    check(t->func_init(), "func_init");
    check(t->func_open(const_cast<char*>("Z:\\no\\such\\file.qvf")) == nullptr, "missing file");
    if (argc > 2 && std::strcmp(argv[2], "--code-page-932") == 0) {
      checkCodePageName(t);
    } else {
      checkKnownRecording(t);
      if (argc > 2) checkGivenRecording(t, argv[2]);
    }
    check(t->func_exit(), "func_exit");
  }
  FreeLibrary(dll);
  std::printf("%s: %d failure(s)\n", failures ? "FAILED" : "PASSED", failures);
  return failures ? 1 : 0;
}
