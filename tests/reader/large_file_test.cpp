// Files past 4 GiB: every offset stays 64 bits wide in the 32-bit editor's build too.
#include <gtest/gtest.h>

#include <filesystem>

#include "container_reader.h"
#include "reader_test_support.h"

namespace qv_test {
namespace {

// A record type no reader knows: skipped, as a newer writer's record would be.
constexpr uint64_t kUnknownRecord = 0x7F0000;

// Pictures and sound on both sides of a 4.5 GiB hole, read back exactly through the editor's
// table, from the index record and by walking.
TEST(ReaderLargeFile, PicturesAndSoundPast4GiBReadExactly) {
  constexpr uint64_t kRate = 10, kWidth = 64, kHeight = 36;
  constexpr uint64_t kGap = (uint64_t{9} << 29) + 12345;  // 4.5 GiB and an odd remainder
  std::vector<Bytes> pictures;
  for (int i = 0; i < 5; ++i) pictures.push_back(syntheticPicture(kWidth, kHeight, i));
  const Bytes before = pcm(0, 700), after = pcm(700, 900);

  QvfWriter w(kRate, kWidth, kHeight);
  w.audio(before);
  w.key(pictures[0]);
  w.delta(pictures[1], pictures[0]);
  w.hole(kUnknownRecord, kGap);
  w.audio(after);
  w.delta(pictures[2], pictures[1]);
  w.key(pictures[3]);
  w.repeat();
  w.delta(pictures[4], pictures[3]);
  const std::vector<Bytes> slots = {pictures[0], pictures[1], pictures[2],
                                    pictures[3], pictures[3], pictures[4]};
  Bytes sound = before;
  sound.insert(sound.end(), after.begin(), after.end());

  ScratchDir dir;
  const std::string walked = dir.file("walked.qvf");
  ASSERT_TRUE(writeSparseFile(walked, w));
  w.index();
  const std::string indexed = dir.file("indexed.qvf");
  ASSERT_TRUE(writeSparseFile(indexed, w));

  for (const std::string& path : {walked, indexed}) {
    SCOPED_TRACE(path);
    ASSERT_GT(std::filesystem::file_size(path), kGap);
    {
      qv_reader::ContainerReader r;
      ASSERT_TRUE(r.open(path.c_str()));
      EXPECT_EQ(r.recordIndex()->fromIndexRecord, path == indexed);
      EXPECT_GT(r.videoIndex()[2].payloadPosition, uint64_t{1} << 32);
      EXPECT_GT(r.audioIndex()[1].payloadPosition, uint64_t{1} << 32);
    }
    Handle h = openQvf(path);
    ASSERT_TRUE(h);
    const INPUT_INFO info = infoOf(h.get());
    ASSERT_EQ(static_cast<size_t>(info.n), slots.size());
    ASSERT_EQ(static_cast<size_t>(info.audio_n), sound.size() / 4);
    Bytes picture(kWidth * kHeight * 2);
    // Backwards first, so each picture past the hole is rebuilt from a key, not carried over.
    for (size_t i = slots.size(); i-- > 0;) {
      const int got = table().func_read_video(h.get(), static_cast<int>(i), picture.data());
      EXPECT_EQ(got, i == 4 ? 0 : static_cast<int>(picture.size())) << "frame " << i;
      EXPECT_EQ(picture, slots[i]) << "frame " << i;
    }
    // The sound that straddles the hole, from a sample just before it to the end.
    Bytes got(sound.size() - 600 * 4);
    EXPECT_EQ(table().func_read_audio(h.get(), 600, info.audio_n - 600, got.data()),
              info.audio_n - 600);
    EXPECT_TRUE(std::equal(got.begin(), got.end(), sound.begin() + 600 * 4));
  }
}

}  // namespace
}  // namespace qv_test
