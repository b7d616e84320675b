// The .qvf container layout, shared by the writer in the capture library and the reader plug-in.
//
// A file is a 64-byte header followed by records up to the end of the file. A finished file
// may end in an index record (RECORD_INDEX, below) that lists where the others start; readers
// that do not know it skip it, and every file can still be read by walking its records. Every
// integer is an unsigned 64-bit little-endian value and nothing is padded. The records below mirror
// the bytes on disk exactly: on the little-endian x86 targets we build for they can be copied to
// and from the file as they are.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qvf {

// Record types, compared as whole 64-bit values.
// Key and difference payloads are raw Snappy blocks, written as format/qvf_blocks.h says (any
// valid block reads; that form also reads fast).
constexpr uint64_t RECORD_DELTA = 1;   // Snappy block: this picture minus the previous, mod 256
constexpr uint64_t RECORD_KEY = 2;     // Snappy block: the whole YUY2 picture
constexpr uint64_t RECORD_REPEAT = 4;  // no payload: the previous picture again for this slot
constexpr uint64_t RECORD_AUDIO = 0x10000;  // raw PCM, one captured chunk
// The sound of one source of a recording that has several (RECORD_AUDIO then holds their
// mix), see below.
// The record's type is RECORD_AUDIO_TRACK plus the track number (1 for the first source, 2 for
// the second, as PROVENANCE_SOUND_TRACKS lists them; 0 is never used: it stands for the mix),
// so that the index, which lists records by type, tells a reader each record's track without
// a read of its own.
constexpr uint64_t RECORD_AUDIO_TRACK = 0x20000;
constexpr uint64_t kMaxAudioTracks = 0xFF;
constexpr bool isAudioTrackRecord(uint64_t type) {
  return type > RECORD_AUDIO_TRACK && type <= RECORD_AUDIO_TRACK + kMaxAudioTracks;
}
//
// A track record's payload: u64 track number (the same as in its type), then raw PCM in the
// file header's format, like RECORD_AUDIO. A track's sound is the payloads of its records
// in file order. A recording with one source has no such records: its sound is the RECORD_AUDIO
// records alone. Older readers skip them as unknown records.
constexpr uint64_t kAudioTrackNumberSize = 8;
// How the file was made, see below.
constexpr uint64_t RECORD_PROVENANCE = 0x30000;
// Where the records of a finished file start, written after its last record, see below.
constexpr uint64_t RECORD_INDEX = 0x40000;

// The only sizes ever written; readers support no other value.
constexpr uint64_t kFileHeaderSize = 64;
constexpr uint64_t kRecordHeaderSize = 24;

// "Snappy  ": the word and two spaces, read as two little-endian 32-bit words.
constexpr char kCodecTagSnappy[8] = {'S', 'n', 'a', 'p', 'p', 'y', ' ', ' '};
constexpr uint32_t kCodecTagSnappyLow = 0x70616E53;
constexpr uint32_t kCodecTagSnappyHigh = 0x20207970;
constexpr uint64_t kCodecTagSnappyValue =
    (uint64_t{kCodecTagSnappyHigh} << 32) | uint64_t{kCodecTagSnappyLow};

// Sound is stored as 16-bit signed stereo PCM at the header's audioSampleRate: 44100 Hz (the
// default, and every file before the rate could be chosen) or 48000 Hz.
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

// RECORD_PROVENANCE: how the file was made. Written only when the host asked for it or paused
// the recording, as the first record after the file header; a writer that streams the file
// (and so does not know the pause points yet) may repeat it at the end, and the last one
// holds. Readers that only want pictures and sound skip it like any unknown record.
//
// Payload, little-endian, no padding:
//   u32 version (kProvenanceVersion)   u32 number of fields
//   then each field: u32 tag   u32 length in bytes   the bytes
// A reader skips fields whose tag it does not know, ignores a known field shorter than its
// layout below (and any bytes beyond it), and ignores the whole record when the version is not
// one it knows. New fields get new tags; the version changes only if a field changes meaning.
// Text is stored as the system gave it (UTF-8 on Linux, the ANSI code page on Windows),
// without a terminating NUL.
constexpr uint32_t kProvenanceVersion = 1;
enum ProvenanceTag : uint32_t {
  PROVENANCE_COLOR_MATRIX = 1,     // u32: 601 or 709, the coefficients the pictures were made with
  PROVENANCE_COLOR_RANGE = 2,      // u32: 0 TV (limited) range, 1 full range
  PROVENANCE_CAPTURE_SIZE = 3,     // u32 width, u32 height of the recorded rectangle
  PROVENANCE_OUTPUT_SIZE = 4,      // u32 width, u32 height of the stored pictures
  PROVENANCE_WINDOW_TITLE = 5,     // text
  PROVENANCE_PROCESS_NAME = 6,     // text: the recorded window's program
  PROVENANCE_START_TIME = 7,       // i64: start of the recording, ms since 1970-01-01 UTC
  PROVENANCE_SOUND_SOURCE = 8,     // text: where the sound came from
  PROVENANCE_LIBRARY_VERSION = 9,  // text: the capture library that wrote the file
  // u32 count, then count pauses of u64 position, u64 length: where the pause falls on the
  // file's timeline (ms after the first picture; sound and pictures alike) and how long the
  // recording stood still (ms). A recording that ended paused has a last pause of
  // length 0.
  PROVENANCE_PAUSES = 10,
  // u32: 1 when a captured picture equal to the one before was stored as a repeat record (a
  // repeat then stands for a captured frame or for a slot the capture missed), 0 when every
  // captured picture was stored.
  PROVENANCE_UNCHANGED_AS_REPEATS = 11,
  // text: how the screen was read: "x11", "portal" (a Wayland screen cast), "gdi" or "duplication"
  // (Windows: the pictures came through Desktop Duplication to the end; PROVENANCE_CAPTURE_METHOD
  // says more).
  PROVENANCE_SCREEN_PATH = 12,
  // The sound tracks of a recording with several sources: u32 count, then for each track
  // u32 track number (as in RECORD_AUDIO_TRACK), u32 source (0 the capture device, 1 what the
  // computer played), u32 length of the device's name, the name as text.
  PROVENANCE_SOUND_TRACKS = 13,
  // text: how the pictures were copied from the screen (the window's own picture, the system's
  // ordinary screen copy, Desktop Duplication), and when and why Desktop Duplication gave way
  // to the ordinary copy if it did.
  PROVENANCE_CAPTURE_METHOD = 14,
};
// Sources of PROVENANCE_SOUND_TRACKS.
constexpr uint32_t kTrackSourceCaptureDevice = 0;
constexpr uint32_t kTrackSourceDesktop = 1;
constexpr uint64_t kProvenancePreambleSize = 8;
constexpr uint64_t kProvenanceFieldHeaderSize = 8;
constexpr uint64_t kProvenancePauseSize = 16;

// RECORD_INDEX: where every record of a finished file starts, so that a reader finds them
// with a read at the end of the file instead of one read per record. Written last, when the
// recording ends (or by `qvf repair`); a file that grew after its index, was cut, or whose
// index does not hold together is walked as if there were none. Encoder and decoder:
// qvf_index.h.
//
// Payload, little-endian, no padding:
//   u32 version (kIndexVersion)   u32 number of kinds K (at most kIndexMaxKinds)
//   u64 where the first listed record starts (the file header's size)
//   u64 number of listed records N
//   K x u64: the record type of each kind
//   N entries, one per record in file order from the first: an unsigned LEB128 number (seven
//     bits a byte, low bits first, the top bit set on every byte but the last) holding
//     payloadSize << kIndexKindBits | kind. Record i + 1 starts kRecordHeaderSize +
//     payloadSize after record i; the last listed record ends where the index record starts.
//     Every record before the index is listed, whatever its type (pictures, repeats, sound,
//     sound tracks, the record of how the file was made), so readers that know a type find
//     all of its records.
//   the trailer, kIndexTrailerSize bytes, which are also the last bytes of the file:
//     u64 kIndexMagic   u64 where the index record starts   u64 the file's size
//     u32 CRC-32 (the zlib polynomial) of every payload byte before this field   u32 zero
// A reader reads the trailer at the end of the file, then the record it points to, and uses it
// only when the magic, the size, the record header, the checksum and the sum of the listed
// records all agree.
constexpr uint32_t kIndexVersion = 1;
constexpr uint64_t kIndexMagic = 0x5845444E49465651ull;  // "QVFINDEX"
constexpr uint64_t kIndexPreambleSize = 24;
constexpr uint64_t kIndexTrailerSize = 32;
constexpr uint32_t kIndexKindBits = 4;
constexpr uint32_t kIndexMaxKinds = 1u << kIndexKindBits;
constexpr uint64_t kIndexMaxPayload = (uint64_t{1} << (64 - kIndexKindBits)) - 1;

}  // namespace qvf
