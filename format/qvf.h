// The .qvf container layout, shared by the writer in the capture library and the reader plug-in.
//
// A file is a 64-byte header followed by records up to the end of the file; there is no index,
// trailer or record count. Every integer is an unsigned 64-bit little-endian value and nothing
// is padded. The records below mirror the bytes on disk exactly: on the little-endian x86
// targets we build for they can be copied to and from the file as they are.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qvf {

// Record types, compared as whole 64-bit values.
constexpr uint64_t RECORD_DELTA = 1;   // Snappy block: this picture minus the previous, mod 256
constexpr uint64_t RECORD_KEY = 2;     // Snappy block: the whole YUY2 picture
constexpr uint64_t RECORD_REPEAT = 4;  // no payload: the previous picture again for this slot
constexpr uint64_t RECORD_AUDIO = 0x10000;  // raw PCM, one captured chunk

// The only sizes ever written; readers support no other value.
constexpr uint64_t kFileHeaderSize = 64;
constexpr uint64_t kRecordHeaderSize = 24;

// "Snappy  ": the word and two spaces, read as two little-endian 32-bit words.
constexpr char kCodecTagSnappy[8] = {'S', 'n', 'a', 'p', 'p', 'y', ' ', ' '};
constexpr uint32_t kCodecTagSnappyLow = 0x70616E53;
constexpr uint32_t kCodecTagSnappyHigh = 0x20207970;
constexpr uint64_t kCodecTagSnappyValue =
    (uint64_t{kCodecTagSnappyHigh} << 32) | uint64_t{kCodecTagSnappyLow};

// Sound is always stored as captured: 16-bit signed stereo PCM at 44100 Hz.
constexpr uint64_t kAudioChannels = 2;
constexpr uint64_t kAudioBitsPerSample = 16;
constexpr uint64_t kAudioSampleRate = 44100;
constexpr uint64_t kAudioBlockBytes = kAudioChannels * kAudioBitsPerSample / 8;

// A picture is packed YUY2 (Y0 U Y1 V per pixel pair), rows top to bottom, no row padding.
constexpr uint64_t kBytesPerPixel = 2;

struct FileHeader {
  uint64_t headerSize;  // kFileHeaderSize; the first record starts here
  uint64_t frameRate;   // whole frames per second
  uint64_t width;       // output picture size in pixels
  uint64_t height;
  char codecTag[8];  // kCodecTagSnappy
  uint64_t audioChannels;
  uint64_t audioBitsPerSample;
  uint64_t audioSampleRate;
};

struct RecordHeader {
  uint64_t headerSize;  // kRecordHeaderSize; the payload starts this far into the record
  uint64_t type;        // RECORD_*
  uint64_t payloadSize;
};

static_assert(sizeof(FileHeader) == kFileHeaderSize, "file header must be 64 bytes");
static_assert(offsetof(FileHeader, frameRate) == 8);
static_assert(offsetof(FileHeader, width) == 16);
static_assert(offsetof(FileHeader, height) == 24);
static_assert(offsetof(FileHeader, codecTag) == 32);
static_assert(offsetof(FileHeader, audioChannels) == 40);
static_assert(offsetof(FileHeader, audioBitsPerSample) == 48);
static_assert(offsetof(FileHeader, audioSampleRate) == 56);
static_assert(sizeof(RecordHeader) == kRecordHeaderSize, "record header must be 24 bytes");
static_assert(offsetof(RecordHeader, type) == 8);
static_assert(offsetof(RecordHeader, payloadSize) == 16);

// Bytes of one picture, and the largest Snappy block a picture of n bytes can become
// (what snappy::MaxCompressedLength gives): readers size their input buffer for it.
constexpr uint64_t pictureBytes(uint64_t width, uint64_t height) {
  return width * height * kBytesPerPixel;
}
constexpr uint64_t maxCompressedBytes(uint64_t n) { return 32 + n + n / 6; }

}  // namespace qvf
