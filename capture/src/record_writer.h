// The writing side of the container and WAV files, shared by the in-memory output (written
// after the recording) and the streaming output (written while recording).
#ifndef QUORVANE_RECORD_WRITER_H
#define QUORVANE_RECORD_WRITER_H

#include <cstdint>
#include <string>
#include <vector>

#include "direct_sound_capture.h"
#include "files.h"
#include "quorvane_capture.h"
#include "qvf_index.h"
#include "slot_rule.h"

namespace quorvane_capture {

// A file written through a buffer of its own. Opened `replacing`, it is written under a
// temporary name beside the path and renamed by commit(): the path then holds either the whole
// new file or whatever it held before. Opened in place, every byte flushed is in the file under
// its own name at once, so a file that grows while recording survives an abrupt end.
class BufferedFile {
 public:
  BufferedFile() = default;
  ~BufferedFile();  // an uncommitted temporary file is removed
  BufferedFile(const BufferedFile&) = delete;
  BufferedFile& operator=(const BufferedFile&) = delete;

  bool open(const char* path, bool replacing);
  // False after the first byte that did not reach the file (or its buffer).
  bool good() const { return good_; }
  void write(const void* data, uint64_t size);
  // Bytes already flushed, overwritten in place (the WAV header's lengths).
  bool patch(uint64_t offset, const void* data, uint64_t size);
  // Hands the buffered bytes to the system.
  bool flush();
  // flush, then asks the system to put the file on the disk.
  bool sync();
  // flush, close and, when replacing, give the file its name. False: the file is incomplete
  // (a replacing one is removed, leaving the path as it was).
  bool commit();
  // Closes the file unwritten and takes it off the disk, for a file that will never hold a
  // recording (its partner could not be created). Devices and pipes stay where they are.
  void discard();
  // Bytes written so far, buffered or not.
  uint64_t size() const { return written_; }

 private:
  void abandon();

  platform::OutputFile file_;
  std::string path_;
  std::string temporary_;
  uint8_t* buffer_ = nullptr;
  uint64_t buffered_ = 0;
  uint64_t written_ = 0;
  bool good_ = false;
};

// The container's records, in the layout the reader expects.
class RecordWriter {
 public:
  explicit RecordWriter(BufferedFile& file) : file_(file) {}
  // The file header, and everything that stands right after it before the first record;
  // returns the record of how the file was made as written there (empty when there is none).
  std::vector<uint8_t> writeFileHeader(const CaptureSetting& setting);
  void writeRecord(uint64_t type, const void* payload, uint64_t size);
  // A record already laid out, its header included.
  void writeWholeRecord(const std::vector<uint8_t>& record);
  void writeRepeat();
  void writeSound(const void* samples, uint64_t size);
  // One chunk of a source's own track (RECORD_AUDIO_TRACK): the track number, then the samples.
  void writeTrackSound(uint64_t track, const void* samples, uint64_t size);
  // The index of every record written so far, as the file's last record. Called once, when
  // the recording ends; writes nothing when the file holds bytes this writer did not place
  // (an index must list them all) or has failed.
  void writeIndex();

 private:
  BufferedFile& file_;
  qvf::IndexBuilder index_;
};

// Writes the video records on the constant-rate timeline of SlotRule.
class SlotTimeline {
 public:
  explicit SlotTimeline(int64_t frameRate) : rule_(frameRate) {}
  // Writes the repeat records due before a frame captured at `timeStamp`, then its record;
  // returns the number of repeat records written.
  uint64_t writeFrame(RecordWriter& records, int64_t timeStamp, uint64_t type, const void* payload,
                      uint64_t size);

 private:
  SlotRule rule_;
};

// The WAV file: the 44-byte header, then the samples; lengths filled in from what was written.
class WavWriter {
 public:
  WavWriter(BufferedFile& file, const uint8_t* header) : file_(file), header_(header) {}
  // The header with the lengths of `dataLength` bytes of samples.
  void writeHeader(uint32_t dataLength);
  void writeSamples(const void* samples, uint64_t size);
  // Brings the header's two lengths up to the samples flushed so far. Flushes first.
  bool updateLengths();
  uint64_t samplesWritten() const { return samples_; }

 private:
  BufferedFile& file_;
  const uint8_t* header_;
  uint64_t samples_ = 0;
};

}  // namespace quorvane_capture

#endif
