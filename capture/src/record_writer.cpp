#include "record_writer.h"

#include <cstdlib>
#include <cstring>

#include "capture_state.h"
#include "provenance.h"
#include "qvf.h"

namespace quorvane_capture {

namespace {
constexpr uint64_t kBufferBytes = uint64_t{1} << 20;

void putU32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
}  // namespace

BufferedFile::~BufferedFile() {
  abandon();
  free(buffer_);
}

bool BufferedFile::open(const char* path, bool replacing) {
  abandon();
  good_ = false;
  buffered_ = written_ = 0;
  if (path == nullptr || path[0] == '\0') return false;
  if (buffer_ == nullptr) buffer_ = static_cast<uint8_t*>(malloc(kBufferBytes));
  if (buffer_ == nullptr) return false;
  path_ = path;
  // Devices and pipes (a full-disk stand-in, a pipe to another program) are written in place.
  if (replacing && !platform::replaceableByRename(path)) replacing = false;
  temporary_ = replacing ? path_ + ".part" : std::string();
  good_ = file_.create(replacing ? temporary_.c_str() : path);
  return good_;
}

void BufferedFile::write(const void* data, uint64_t size) {
  if (!good_ || size == 0) return;
  if (buffered_ + size > kBufferBytes && !flush()) return;
  if (size >= kBufferBytes) {
    good_ = file_.write(data, static_cast<size_t>(size));
  } else {
    std::memcpy(buffer_ + buffered_, data, static_cast<size_t>(size));
    buffered_ += size;
  }
  if (good_) written_ += size;
}

bool BufferedFile::patch(uint64_t offset, const void* data, uint64_t size) {
  if (!good_ || offset + size > written_ - buffered_) return false;
  good_ = file_.writeAt(offset, data, static_cast<size_t>(size));
  return good_;
}

bool BufferedFile::flush() {
  if (!good_) return false;
  if (buffered_ != 0) good_ = file_.write(buffer_, static_cast<size_t>(buffered_));
  buffered_ = 0;
  return good_;
}

bool BufferedFile::sync() { return flush() && (good_ = file_.sync()); }

bool BufferedFile::commit() {
  // A full disk often shows only when the last bytes are flushed or the file is closed.
  const bool complete = flush() && (temporary_.empty() || file_.sync()) && file_.close();
  if (complete && !temporary_.empty()) {
    if (platform::renameFile(temporary_.c_str(), path_.c_str())) {
      temporary_.clear();
      return true;
    }
    abandon();
    return false;
  }
  if (!complete) abandon();
  return complete;
}

void BufferedFile::discard() {
  const bool inPlace = good_ && temporary_.empty();
  abandon();
  if (inPlace && platform::replaceableByRename(path_.c_str())) platform::removeFile(path_.c_str());
}

void BufferedFile::abandon() {
  file_.close();
  if (!temporary_.empty()) platform::removeFile(temporary_.c_str());
  temporary_.clear();
  good_ = false;
}

std::vector<uint8_t> RecordWriter::writeFileHeader(const CaptureSetting& s) {
  qvf::FileHeader header{};
  header.headerSize = qvf::kFileHeaderSize;
  header.frameRate = static_cast<uint64_t>(s.frameRate);
  header.width = static_cast<uint64_t>(s.outputWidth);
  header.height = static_cast<uint64_t>(s.outputHeight);
  std::memcpy(header.codecTag, qvf::kCodecTagSnappy, sizeof(header.codecTag));
  header.audioChannels = qvf::kAudioChannels;
  header.audioBitsPerSample = qvf::kAudioBitsPerSample;
  header.audioSampleRate = recordingSoundRate();
  file_.write(&header, sizeof(header));
  std::vector<uint8_t> record = provenanceRecord();
  index_ = qvf::IndexBuilder(file_.size());
  writeWholeRecord(record);
  return record;
}

void RecordWriter::writeRecord(uint64_t type, const void* payload, uint64_t size) {
  const qvf::RecordHeader header{qvf::kRecordHeaderSize, type, size};
  file_.write(&header, sizeof(header));
  file_.write(payload, size);
  index_.add(type, size);
}

void RecordWriter::writeWholeRecord(const std::vector<uint8_t>& record) {
  if (record.size() < qvf::kRecordHeaderSize) return;
  qvf::RecordHeader header;
  std::memcpy(&header, record.data(), sizeof(header));
  file_.write(record.data(), record.size());
  index_.add(header.type, record.size() - qvf::kRecordHeaderSize);
}

void RecordWriter::writeIndex() {
  if (!file_.good() || index_.end() != file_.size()) return;
  const std::vector<uint8_t> record = index_.record();
  if (!record.empty()) file_.write(record.data(), record.size());
}

void RecordWriter::writeRepeat() { writeRecord(qvf::RECORD_REPEAT, nullptr, 0); }

void RecordWriter::writeSound(const void* samples, uint64_t size) {
  writeRecord(qvf::RECORD_AUDIO, samples, size);
}

void RecordWriter::writeTrackSound(uint64_t track, const void* samples, uint64_t size) {
  const uint64_t payload = qvf::kAudioTrackNumberSize + size;
  const uint64_t type = qvf::RECORD_AUDIO_TRACK + track;
  const qvf::RecordHeader header{qvf::kRecordHeaderSize, type, payload};
  file_.write(&header, sizeof(header));
  file_.write(&track, sizeof(track));
  file_.write(samples, size);
  index_.add(type, payload);
}

uint64_t SlotTimeline::writeFrame(RecordWriter& records, int64_t timeStamp, uint64_t type,
                                  const void* payload, uint64_t size) {
  const uint64_t repeats = rule_.place(timeStamp);
  for (uint64_t i = 0; i < repeats; ++i) records.writeRepeat();
  records.writeRecord(type, payload, size);
  return repeats;
}

void WavWriter::writeHeader(uint32_t dataLength) {
  uint8_t header[44];
  std::memcpy(header, header_, sizeof(header));
  putU32(header + 4, dataLength + 36);
  putU32(header + 40, dataLength);
  file_.write(header, sizeof(header));
}

void WavWriter::writeSamples(const void* samples, uint64_t size) {
  // Sound beyond what the header can describe stays out of this file (the container has it).
  if (samples_ + size > kMaxWavData) size = kMaxWavData - samples_;
  file_.write(samples, size);
  samples_ += size;
}

bool WavWriter::updateLengths() {
  if (!file_.flush()) return false;
  uint8_t lengths[4];
  const auto data = static_cast<uint32_t>(file_.size() - 44);
  putU32(lengths, data + 36);
  if (!file_.patch(4, lengths, 4)) return false;
  putU32(lengths, data);
  return file_.patch(40, lengths, 4);
}

}  // namespace quorvane_capture
