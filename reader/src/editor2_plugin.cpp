// The 64-bit editor's table. It promises concurrent calls: the video and the audio function of
// one handle at the same time, and anything on different handles. Picture reads change the
// reader's picture, so they take turns under the handle's picture lock; sound reads and the
// info only read what open built (the index, the header, the format records made at open) and
// take no lock, so a sound read never waits for a picture being rebuilt. Sound reads also have
// a file handle of their own.
//
// Nothing thrown may reach the editor's process: every entry point catches everything and
// answers with the interface's failure values (null, 0, false).
#include "editor2_plugin.h"

#include <memory>
#include <mutex>
#include <new>

#include "container_reader.h"
#include "qv_version.h"
#include "stream_description.h"

namespace qv_reader {
namespace {

struct Editor2Handle {
  std::mutex pictureLock;
  ContainerReader reader;
  StreamDescription description;  // fixed at open and at the choice of a sound track
  int audioTracks = 0;            // 0 for a file without sound
};

Editor2Handle* fromHandle(editor2::INPUT_HANDLE ih) { return static_cast<Editor2Handle*>(ih); }

editor2::INPUT_HANDLE funcOpen(LPCWSTR file) {
  try {
    if (!file) return nullptr;
    std::unique_ptr<Editor2Handle> h(new (std::nothrow) Editor2Handle);
    if (!h || !h->reader.open(file)) return nullptr;
    h->reader.separateSoundReads();
    h->description = describe(h->reader);
    // YUY2 is a FOURCC format, for which the record states the picture's size; the 32-bit
    // editor's table keeps the 0 that editor has always been given.
    h->description.video.biSizeImage = h->reader.frameBytes();
    h->audioTracks = h->description.hasAudio ? clampToInt(h->reader.audioTrackCount()) : 0;
    return h.release();
  } catch (...) {
    return nullptr;
  }
}

bool funcClose(editor2::INPUT_HANDLE ih) {
  delete fromHandle(ih);
  return true;
}

bool funcInfoGet(editor2::INPUT_HANDLE ih, editor2::INPUT_INFO* iip) {
  Editor2Handle* h = fromHandle(ih);
  if (!h || !iip) return false;
  StreamDescription& d = h->description;
  iip->flag = (d.hasVideo ? editor2::kInfoVideo : 0) | (d.hasAudio ? editor2::kInfoAudio : 0);
  iip->rate = d.rate;
  iip->scale = d.scale;
  iip->n = d.frames;
  iip->format = &d.video;
  iip->format_size = sizeof(BITMAPINFOHEADER);
  iip->audio_n = d.samples;
  iip->audio_format = &d.audio;
  iip->audio_format_size = sizeof(WAVEFORMATEX);
  return true;
}

// Bytes written: the picture's size, or 0 for a frame that cannot be shown exactly (the
// buffer then holds the last exact picture before it). A repeat counts as the frame it
// repeats.
int funcReadVideo(editor2::INPUT_HANDLE ih, int frame, void* buf) {
  Editor2Handle* h = fromHandle(ih);
  if (!h) return 0;
  try {
    std::lock_guard<std::mutex> guard(h->pictureLock);
    return h->reader.readVideo(frame, buf);
  } catch (...) {
    return 0;
  }
}

int funcReadAudio(editor2::INPUT_HANDLE ih, int start, int length, void* buf) {
  Editor2Handle* h = fromHandle(ih);
  if (!h || length <= 0) return 0;
  try {
    const int64_t first = start;
    return clampToInt(h->reader.readAudio(first, first + length, buf));
  } catch (...) {
    return 0;
  }
}

// Multi-track: one video track; sound track 0 is what every reader hears (the mix of a
// recording with several sources), then one per source. Asked right after open, before any
// read.
int funcSetTrack(editor2::INPUT_HANDLE ih, int type, int index) {
  Editor2Handle* h = fromHandle(ih);
  if (!h) return -1;
  try {
    if (type == editor2::kTrackVideo) {
      const int count = h->description.hasVideo ? 1 : 0;
      if (index < 0) return count;
      return index < count ? index : -1;
    }
    if (type != editor2::kTrackAudio) return -1;
    const int count = h->audioTracks;
    if (index < 0) return count;
    if (index >= count || !h->reader.selectAudioTrack(static_cast<size_t>(index))) return -1;
    // The sample count is the chosen track's.
    h->description.samples = describe(h->reader).samples;
    return index;
  } catch (...) {
    return -1;
  }
}

const auto kName = QV_WIDE("QuorvaneVideoFormat Reader");
// What the editor shows about the plug-in: the name and the version of the whole package.
const auto kInformation = QV_WIDE("QuorvaneVideoFormat Reader " QV_VERSION);
// Two strings and the empty string that ends the list.
const auto kFileFilter = QV_WIDE("QuorvaneVideoFormat (*.qvf)\0*.qvf\0");

editor2::INPUT_PLUGIN_TABLE kTable = {
    editor2::kPluginVideo | editor2::kPluginAudio | editor2::kPluginConcurrent |
        editor2::kPluginMultiTrack,
    kName,
    kFileFilter,
    kInformation,
    funcOpen,
    funcClose,
    funcInfoGet,
    funcReadVideo,
    funcReadAudio,
    nullptr,  // no configuration dialog
    funcSetTrack,
    nullptr,  // frame numbers follow from rate / scale
};

}  // namespace

editor2::INPUT_PLUGIN_TABLE* editor2Table() { return &kTable; }

}  // namespace qv_reader
