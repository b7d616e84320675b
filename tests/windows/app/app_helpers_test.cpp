// The host helpers behind Quorvane.exe that its end-to-end runs do not reach in every case:
// file names from patterns, output sizes, the settings file, hot keys, text for the library.
#include <gtest/gtest.h>

#include "hotkeys.h"
#include "recording_names.h"
#include "settings_file.h"
#include "win_text.h"

namespace {

qvtools::NameFields fieldsAt(int hour, const std::string& title, const std::string& process) {
  qvtools::NameFields f;
  f.time.tm_year = 2026 - 1900;
  f.time.tm_mon = 0;
  f.time.tm_mday = 31;
  f.time.tm_hour = hour;
  f.time.tm_min = 5;
  f.time.tm_sec = 9;
  f.windowTitle = title;
  f.processName = process;
  return f;
}

TEST(FileNamePattern, FillsFieldsAndKeepsUnknownOnes) {
  const auto f = fieldsAt(14, "Notes", "notepad.exe");
  EXPECT_EQ(qvtools::expandFileNamePattern("{date} {time} {window} {process} {other}", f),
            "2026-01-31 14-05-09 Notes notepad.exe {other}");
  EXPECT_EQ(qvtools::expandFileNamePattern("{window}", fieldsAt(1, "", "")), "Screen");
}

TEST(FileNamePattern, MakesNamesEverySystemAccepts) {
  const auto f = fieldsAt(9, "a<b>c:d\"e/f\\g|h?i*j\tk", "");
  EXPECT_EQ(qvtools::expandFileNamePattern("{window}", f), "a_b_c_d_e_f_g_h_i_j_k");
  EXPECT_EQ(qvtools::expandFileNamePattern(" name. . ", f), "name");
  EXPECT_EQ(qvtools::expandFileNamePattern("...", f), "Quorvane");
  // Device names, with any extension, case or spaces before the extension: the host appends
  // its own extension, so the name itself must stop being the device's.
  for (const char* device :
       {"con", "COM3", "nul.txt", "Aux .log", "lpt9. .", "CONIN$", "conout$.qvf", "COM\xC2\xB9"}) {
    const std::string name = qvtools::expandFileNamePattern(device, f);
    EXPECT_EQ(name[0], '_') << device;
  }
  EXPECT_EQ(qvtools::expandFileNamePattern("{window}", fieldsAt(1, "NUL.tar.gz", "")),
            "_NUL.tar.gz");
  for (const char* ordinary : {"COM0", "COM10", "console", "conin", "nul_", "a.con"}) {
    EXPECT_EQ(qvtools::expandFileNamePattern(ordinary, f), ordinary);
  }
  // Long names are cut between characters: 119 ASCII bytes, then a two-byte character.
  const std::string longName = std::string(119, 'x') + "\xC3\xA9" + std::string(50, 'y');
  EXPECT_EQ(qvtools::expandFileNamePattern(longName, f), std::string(119, 'x'));
}

TEST(FileNamePattern, UnclosedFieldIsReported) {
  std::string reason;
  EXPECT_TRUE(qvtools::checkFileNamePattern("{date} x", &reason));
  EXPECT_FALSE(qvtools::checkFileNamePattern("{date} {time", &reason));
  EXPECT_FALSE(reason.empty());
}

TEST(OutputSize, KeepsTheAspectWithAnEvenWidth) {
  using qvtools::PictureSize;
  const PictureSize hd{1920, 1080};
  const PictureSize s720 = qvtools::scaledSize(hd, 720);
  EXPECT_EQ(s720.width, 1280);
  EXPECT_EQ(s720.height, 720);
  // 4:3 at 120 lines is 160 wide; 1366x768 at 480 lines is 853.3, nearest even 854.
  EXPECT_EQ(qvtools::scaledSize({320, 240}, 120).width, 160);
  EXPECT_EQ(qvtools::scaledSize({1366, 768}, 480).width, 854);
  // A very tall, narrow capture still gets at least two columns.
  EXPECT_EQ(qvtools::scaledSize({3, 1000}, 10).width, 2);
  // Not larger than the capture.
  EXPECT_EQ(qvtools::scaledSize(hd, 1080).width, 1920);
  EXPECT_EQ(qvtools::scaledSize(hd, 4000).height, 1080);
}

TEST(OutputSize, OffersSmallerHeightsLargestFirst) {
  EXPECT_EQ(qvtools::smallerHeights({1280, 720}), (std::vector<int64_t>{540, 480, 360, 240, 180}));
  EXPECT_EQ(qvtools::smallerHeights({320, 240}), (std::vector<int64_t>{120, 60}));
  EXPECT_TRUE(qvtools::smallerHeights({4, 3}).empty());
}

TEST(SettingsFile, RoundTripsEveryField) {
  qvtools::HostSettings s;
  s.windowTitle = "Notes\n\xC3\xA9t\xC3\xA9";  // UTF-8 stays as it is, a line break does not
  s.windowProcess = "notepad.exe";
  s.frameRate = 24;
  s.outputHeight = 480;
  s.colorMatrix = "709";
  s.range = "full";
  s.area = "window";
  s.memory = "2G";
  s.sound = "none";
  s.soundRate = 48000;
  s.clicks = true;
  s.events = true;
  s.countdown = 10;
  s.minFree = "0";  // no floor
  s.pointer = true;
  s.startWithF12 = true;
  s.folder = "D:\\Clips";
  s.writeWhileRecording = false;
  s.pattern = "clip = {date}";  // an = in a value
  s.recordKey = "Alt+F8";
  s.pauseKey = "";
  s.stopKey = "Win+Shift+S";
  s.language = "ja";
  std::vector<std::string> problems;
  const qvtools::HostSettings r = qvtools::settingsFromIni(qvtools::settingsToIni(s), &problems);
  EXPECT_TRUE(problems.empty());
  EXPECT_EQ(r.windowTitle, "Notes \xC3\xA9t\xC3\xA9");
  EXPECT_EQ(r.windowProcess, s.windowProcess);
  EXPECT_EQ(r.frameRate, 24);
  EXPECT_EQ(r.outputHeight, 480);
  EXPECT_EQ(r.colorMatrix, "709");
  EXPECT_EQ(r.range, "full");
  EXPECT_EQ(r.area, "window");
  EXPECT_EQ(r.memory, "2G");
  EXPECT_EQ(r.sound, "none");
  EXPECT_EQ(r.soundRate, 48000);
  EXPECT_TRUE(r.clicks);
  EXPECT_TRUE(r.events);
  EXPECT_EQ(r.countdown, 10);
  EXPECT_EQ(r.minFree, "0");
  EXPECT_EQ(r.language, "ja");
  EXPECT_TRUE(r.pointer);
  EXPECT_TRUE(r.startWithF12);
  EXPECT_EQ(r.folder, s.folder);
  EXPECT_FALSE(r.writeWhileRecording);
  EXPECT_EQ(r.pattern, s.pattern);
  EXPECT_EQ(r.recordKey, "Alt+F8");
  EXPECT_EQ(r.pauseKey, "");
  EXPECT_EQ(r.stopKey, "Win+Shift+S");
}

TEST(SettingsFile, BadValuesKeepTheDefaultsAndAreListed) {
  const std::string text =
      "\xEF\xBB\xBF; a hand-edited file\r\n"
      "[RECORDING]\r\n"
      "FrameRate = 0\r\n"
      "outputHeight=-5\r\n"
      "colorMatrix=2020\r\n"
      "RANGE = Full\r\n"
      "memory=lots\r\n"
      "pointer=maybe\r\n"
      "startWithF12 = yes\r\n"
      "soundRate=22050\r\n"
      "not a pair\r\n"
      "[Output]\r\n"
      "minFree=-1G\r\n";
  std::vector<std::string> problems;
  const qvtools::HostSettings r = qvtools::settingsFromIni(text, &problems);
  const qvtools::HostSettings defaults;
  EXPECT_EQ(r.frameRate, defaults.frameRate);
  EXPECT_EQ(r.outputHeight, defaults.outputHeight);
  EXPECT_EQ(r.colorMatrix, defaults.colorMatrix);
  EXPECT_EQ(r.memory, defaults.memory);
  EXPECT_EQ(r.pointer, defaults.pointer);
  EXPECT_EQ(r.range, "full");
  EXPECT_TRUE(r.startWithF12);
  EXPECT_EQ(r.soundRate, 44100);
  EXPECT_EQ(r.minFree, "1G");
  EXPECT_EQ(problems,
            (std::vector<std::string>{"recording.framerate=0", "recording.outputheight=-5",
                                      "recording.colormatrix=2020", "recording.memory=lots",
                                      "recording.soundrate=22050", "recording.pointer=maybe",
                                      "output.minfree=-1G"}));
}

TEST(HotKeys, ParsesModifiersAndKeys) {
  qvapp::HotKey k;
  ASSERT_TRUE(qvapp::parseHotKey("Ctrl+Shift+F9", &k));
  EXPECT_EQ(k.modifiers, static_cast<UINT>(MOD_CONTROL | MOD_SHIFT));
  EXPECT_EQ(k.key, static_cast<UINT>(VK_F9));
  ASSERT_TRUE(qvapp::parseHotKey(" win + alt + r ", &k));
  EXPECT_EQ(k.modifiers, static_cast<UINT>(MOD_WIN | MOD_ALT));
  EXPECT_EQ(k.key, static_cast<UINT>('R'));
  ASSERT_TRUE(qvapp::parseHotKey("F24", &k));
  EXPECT_EQ(k.key, static_cast<UINT>(VK_F24));
  ASSERT_TRUE(qvapp::parseHotKey("Pause", &k));
  EXPECT_EQ(k.key, static_cast<UINT>(VK_PAUSE));
  ASSERT_TRUE(qvapp::parseHotKey("", &k));
  EXPECT_EQ(k.key, 0u);
  for (const char* bad : {"Ctrl+Alt", "F25", "F0", "Ctrl+Nothing", "F9+Ctrl", "A+B", "Ctrl++"}) {
    EXPECT_FALSE(qvapp::parseHotKey(bad, &k)) << bad;
  }
}

TEST(LibraryText, FileNamesKeepOnlyWhatTheCodePageHas) {
  // Plain ASCII always survives; a character no single-byte code page has becomes '_'.
  EXPECT_EQ(qvapp::ansiSafeFileName(L"clip 01"), L"clip 01");
  if (GetACP() != 932 && GetACP() != 936 && GetACP() != 949 && GetACP() != 950) {
    EXPECT_EQ(qvapp::ansiSafeFileName(L"a\u4E2Db"), L"a_b");
  }
  std::string path;
  ASSERT_TRUE(qvapp::ansiPath(L"C:\\videos", L"clip.qvf", &path));
  EXPECT_EQ(path, "C:\\videos\\clip.qvf");
  ASSERT_TRUE(qvapp::ansiPath(L"C:\\videos\\", L"clip.qvf", &path));
  EXPECT_EQ(path, "C:\\videos\\clip.qvf");
  EXPECT_EQ(qvapp::fromAnsi("Notes"), L"Notes");
  EXPECT_EQ(qvapp::toUtf8(qvapp::fromUtf8("\xC3\xA9t\xC3\xA9")), "\xC3\xA9t\xC3\xA9");
}

// Paths for the library at the ANSI code pages Windows may use: UTF-8 (the "use Unicode UTF-8
// for worldwide language support" choice) holds every name; Japanese holds its own characters
// and refuses what it would only approximate.
TEST(LibraryText, CodePageConversionIsExactOrRefused) {
  const std::wstring japanese = L"C:\\\u9332\u753B\\clip \u00E9 \U0001F3A5.qvf";
  std::string out;
  ASSERT_TRUE(qvapp::toCodePageExactly(65001, japanese, &out));
  EXPECT_EQ(out, "C:\\\xE9\x8C\xB2\xE7\x94\xBB\\clip \xC3\xA9 \xF0\x9F\x8E\xA5.qvf");
  EXPECT_FALSE(qvapp::toCodePageExactly(65001, std::wstring(L"a") + L'\xD800' + L"b", &out))
      << "a broken surrogate would name another file";

  ASSERT_TRUE(qvapp::toCodePageExactly(932, L"C:\\\u9332\u753B\\clip.qvf", &out));
  EXPECT_EQ(out, "C:\\\x98\x5E\x89\xE6\\clip.qvf");
  EXPECT_FALSE(qvapp::toCodePageExactly(932, L"clip \u00E9.qvf", &out)) << "best fit would be e";
  EXPECT_FALSE(qvapp::toCodePageExactly(932, L"\U0001F3A5.qvf", &out));
}

}  // namespace
