// The 64-bit editor's table: UTF-16 names, the same facts and pictures as the 32-bit editor's
// table, and concurrent calls that give what serial calls give.
#include <cstring>
#include <filesystem>
#include <random>
#include <thread>

#include "container_reader.h"
#include "editor2_plugin.h"
#include "qv_version.h"
#include "qvf_index.h"
#include "reader_test_support.h"

namespace qv_test {
namespace {

editor2::INPUT_PLUGIN_TABLE& table2() { return *qv_reader::editor2Table(); }

struct Handle2Closer {
  void operator()(void* h) const { table2().func_close(h); }
};
using Handle2 = std::unique_ptr<void, Handle2Closer>;

using WideString = std::basic_string<qv_reader::WideChar>;

WideString widen(const std::string& ascii) { return WideString(ascii.begin(), ascii.end()); }

// The recording, and a copy of it under a name with Japanese characters, spaces and an emoji.
struct WideNamedRecording {
  Recording rec;
  WideString widePath;
};

WideNamedRecording makeWideNamed(const ScratchDir& dir) {
  WideNamedRecording r;
  r.rec = makeRecording(dir);
  r.widePath = widen(dir.file("")) + QV_WIDE("画面 録画 \U0001F3AC.qvf");
  std::filesystem::copy_file(r.rec.path, std::filesystem::path(r.widePath));
  return r;
}

TEST(ReaderEditor2, OpensUtf16NamesAndReportsWhatTheOldTableReports) {
  editor2::INPUT_PLUGIN_TABLE& t = table2();
  EXPECT_EQ(t.flag, editor2::kPluginVideo | editor2::kPluginAudio | editor2::kPluginConcurrent |
                        editor2::kPluginMultiTrack);
  EXPECT_TRUE(WideString(t.name) == QV_WIDE("QuorvaneVideoFormat Reader"));
  EXPECT_TRUE(WideString(t.information) == QV_WIDE("QuorvaneVideoFormat Reader " QV_VERSION));
  LPCWSTR filter = t.filefilter;
  EXPECT_TRUE(WideString(filter) == QV_WIDE("QuorvaneVideoFormat (*.qvf)"));
  filter += WideString(filter).size() + 1;
  EXPECT_TRUE(WideString(filter) == QV_WIDE("*.qvf"));
  EXPECT_EQ(filter[WideString(filter).size() + 1], 0);
  ASSERT_NE(t.func_set_track, nullptr);
  EXPECT_EQ(t.func_time_to_frame, nullptr);

  ScratchDir dir;
  WideNamedRecording r = makeWideNamed(dir);
  const WideString unpaired = widen(dir.file("")) + QV_WIDE("\xD83C.qvf");
  EXPECT_EQ(t.func_open(unpaired.c_str()), nullptr);
  EXPECT_EQ(t.func_open(nullptr), nullptr);
  Handle2 h(t.func_open(r.widePath.c_str()));
  ASSERT_TRUE(h);
  Handle old = openQvf(r.rec.path);
  ASSERT_TRUE(old);

  // A recording of one source: one video track, one sound track (its sound), nothing beyond.
  EXPECT_EQ(t.func_set_track(h.get(), editor2::kTrackVideo, -1), 1);
  EXPECT_EQ(t.func_set_track(h.get(), editor2::kTrackAudio, -1), 1);
  EXPECT_EQ(t.func_set_track(h.get(), editor2::kTrackAudio, 1), -1);
  EXPECT_EQ(t.func_set_track(h.get(), 2, -1), -1);
  EXPECT_EQ(t.func_set_track(h.get(), editor2::kTrackVideo, 0), 0);
  EXPECT_EQ(t.func_set_track(h.get(), editor2::kTrackAudio, 0), 0);

  editor2::INPUT_INFO info = {};
  ASSERT_TRUE(t.func_info_get(h.get(), &info));
  const INPUT_INFO oldInfo = infoOf(old.get());
  EXPECT_EQ(info.flag, oldInfo.flag);
  EXPECT_EQ(info.rate, oldInfo.rate);
  EXPECT_EQ(info.scale, oldInfo.scale);
  EXPECT_EQ(info.n, oldInfo.n);
  EXPECT_EQ(info.audio_n, oldInfo.audio_n);
  ASSERT_TRUE(info.format && info.audio_format);
  EXPECT_EQ(info.format_size, 40);
  BITMAPINFOHEADER expected = *oldInfo.format;
  expected.biSizeImage = Recording::kFrameBytes;  // stated for this FOURCC format
  EXPECT_EQ(std::memcmp(info.format, &expected, 40), 0);
  EXPECT_EQ(info.audio_format_size, 18);
  EXPECT_EQ(std::memcmp(info.audio_format, oldInfo.audio_format, 18), 0);

  // Every picture, repeats with their size; all the sound in one call.
  Bytes buf(Recording::kFrameBytes);
  for (size_t f = 0; f < r.rec.slots.size(); ++f) {
    EXPECT_EQ(t.func_read_video(h.get(), static_cast<int>(f), buf.data()),
              static_cast<int>(Recording::kFrameBytes));
    EXPECT_EQ(buf, r.rec.slots[f]) << "frame " << f;
  }
  Bytes sound(r.rec.audio.size() + 4, 0xEE);
  EXPECT_EQ(t.func_read_audio(h.get(), 0, info.audio_n + 1, sound.data()), info.audio_n);
  EXPECT_EQ(Bytes(sound.begin(), sound.end() - 4), r.rec.audio);
}

// Pictures by jumps on one thread, sound on another, on one handle, and a second handle read in
// order at the same time: each gets exactly what serial calls give.
TEST(ReaderEditor2, ConcurrentCallsGiveWhatSerialCallsGive) {
  ScratchDir dir;
  const Recording rec = makeRecording(dir);
  editor2::INPUT_PLUGIN_TABLE& t = table2();
  const WideString path = widen(rec.path);
  Handle2 a(t.func_open(path.c_str())), b(t.func_open(path.c_str()));
  ASSERT_TRUE(a && b);
  const int frames = static_cast<int>(rec.slots.size());
  const int samples = static_cast<int>(rec.audio.size() / 4);
  std::atomic<int> wrong{0};

  std::thread pictures([&] {
    std::mt19937 rng(9);
    Bytes buf(Recording::kFrameBytes);
    for (int i = 0; i < 300; ++i) {
      const int f = static_cast<int>(rng() % frames);
      if (t.func_read_video(a.get(), f, buf.data()) != static_cast<int>(buf.size()) ||
          buf != rec.slots[f]) {
        ++wrong;
      }
    }
  });
  std::thread sound([&] {
    Bytes buf(441 * 4);
    for (int i = 0; i < 300; ++i) {
      const int start = (i * 441) % samples;
      const int got = t.func_read_audio(a.get(), start, 441, buf.data());
      if (got != std::min(441, samples - start) ||
          std::memcmp(buf.data(), rec.audio.data() + start * 4, got * 4) != 0) {
        ++wrong;
      }
      editor2::INPUT_INFO info = {};
      if (!t.func_info_get(a.get(), &info) || info.n != frames) ++wrong;
    }
  });
  std::thread other([&] {
    Bytes buf(Recording::kFrameBytes), snd(100 * 4);
    for (int round = 0; round < 4; ++round) {
      for (int f = 0; f < frames; ++f) {
        t.func_read_video(b.get(), f, buf.data());
        if (buf != rec.slots[f]) ++wrong;
        if (t.func_read_audio(b.get(), (f * 100) % (samples - 100), 100, snd.data()) != 100)
          ++wrong;
      }
    }
  });
  pictures.join();
  sound.join();
  other.join();
  EXPECT_EQ(wrong.load(), 0);
}

}  // namespace
// A recording of two sources: sound track 0 is the mix the old table reads too, tracks 1 and 2
// each source's own, whether the file is opened through its index or by a walk; a track the
// file does not have is refused and leaves the choice as it was.
TEST(ReaderEditor2, SoundTracksAreChosenWithSetTrack) {
  editor2::INPUT_PLUGIN_TABLE& t = table2();
  ScratchDir dir;
  std::vector<Bytes> pictures;
  for (int i = 0; i < 6; ++i) pictures.push_back(syntheticPicture(16, 8, i));
  QvfWriter w(5, 16, 8);
  const TrackRecording tracks = writeTrackRecording(w, pictures);
  Bytes walked = w.bytes();
  walked.resize(walked.size() - 1);  // a damaged index: the file is walked
  for (const Bytes& bytes : {w.bytes(), walked}) {
    const std::string path = dir.file(bytes.size() == w.bytes().size() ? "i.qvf" : "w.qvf");
    ASSERT_TRUE(writeFile(path, bytes));
    if (bytes.size() == w.bytes().size()) {
      // Through the index every track record is known without a read of its own.
      qv_reader::ContainerReader r;
      ASSERT_TRUE(r.open(path.c_str()));
      EXPECT_TRUE(r.recordIndex()->fromIndexRecord);
      const uint64_t indexStart = qvf::index_detail::getU64(bytes.data() + bytes.size() - 24);
      EXPECT_EQ(r.recordIndex()->bytesRead,
                qvf::kFileHeaderSize + qvf::kIndexTrailerSize + (bytes.size() - indexStart));
    }
    Handle old = openQvf(path);
    ASSERT_TRUE(old);
    EXPECT_EQ(infoOf(old.get()).audio_n, 1000) << "the 32-bit table reads the mix";
    Handle2 h(t.func_open(widen(path).c_str()));
    ASSERT_TRUE(h);
    EXPECT_EQ(t.func_set_track(h.get(), editor2::kTrackVideo, -1), 1);
    ASSERT_EQ(t.func_set_track(h.get(), editor2::kTrackAudio, -1), 3);
    EXPECT_EQ(t.func_set_track(h.get(), editor2::kTrackAudio, 3), -1);
    for (int track : {1, 0, 2}) {
      SCOPED_TRACE(track);
      ASSERT_EQ(t.func_set_track(h.get(), editor2::kTrackAudio, track), track);
      const Bytes& expected = track == 0 ? tracks.mix : track == 1 ? tracks.track1 : tracks.track2;
      editor2::INPUT_INFO info = {};
      ASSERT_TRUE(t.func_info_get(h.get(), &info));
      ASSERT_EQ(info.audio_n, static_cast<int>(expected.size() / 4));
      Bytes sound(expected.size());
      EXPECT_EQ(t.func_read_audio(h.get(), 0, info.audio_n, sound.data()), info.audio_n);
      EXPECT_EQ(sound, expected);
    }
    EXPECT_EQ(t.func_set_track(h.get(), editor2::kTrackAudio, 5), -1);
    editor2::INPUT_INFO info = {};
    ASSERT_TRUE(t.func_info_get(h.get(), &info));
    EXPECT_EQ(info.audio_n, 800) << "a refused choice keeps track 2";
  }
}

}  // namespace qv_test
