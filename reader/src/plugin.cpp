// The editor-facing table: one ContainerReader per open file behind each handle.
//
// Nothing thrown may reach the editor's process, so every entry point catches everything and
// answers with the interface's own failure values (null, 0, FALSE).
#include <memory>
#include <mutex>
#include <new>

#include "container_reader.h"
#include "editor_input.h"
#include "qv_version.h"
#include "stream_description.h"

namespace qv_reader {
namespace {

struct ReaderHandle {
  // The editor calls from more than one thread; calls on one handle share the reader's
  // picture buffers, so they take turns. Different handles share nothing.
  std::mutex lock;
  ContainerReader reader;
  BITMAPINFOHEADER videoFormat = {};
  WAVEFORMATEX audioFormat = {};
};

ReaderHandle* fromHandle(INPUT_HANDLE ih) { return static_cast<ReaderHandle*>(ih); }

BOOL funcInit() { return TRUE; }

INPUT_HANDLE funcOpen(char* file) {
  try {
    if (!file) return nullptr;
    std::unique_ptr<ReaderHandle> h(new (std::nothrow) ReaderHandle);
    if (!h || !h->reader.open(file)) return nullptr;
    return h.release();
  } catch (...) {
    return nullptr;
  }
}

BOOL funcClose(INPUT_HANDLE ih) {
  delete fromHandle(ih);
  return TRUE;
}

BOOL funcInfoGet(INPUT_HANDLE ih, INPUT_INFO* iip) {
  ReaderHandle* h = fromHandle(ih);
  if (!h || !iip) return FALSE;
  try {
    std::lock_guard<std::mutex> guard(h->lock);
    const StreamDescription d = describe(h->reader);
    iip->n = d.frames;
    iip->audio_n = d.samples;
    iip->flag = (d.hasVideo ? INPUT_INFO_FLAG_VIDEO : 0) | (d.hasAudio ? INPUT_INFO_FLAG_AUDIO : 0);
    iip->rate = d.rate;
    iip->scale = d.scale;
    iip->handler = kFourccYuy2;
    h->videoFormat = d.video;
    iip->format = &h->videoFormat;
    iip->format_size = sizeof(BITMAPINFOHEADER);
    h->audioFormat = d.audio;
    iip->audio_format = &h->audioFormat;
    iip->audio_format_size = sizeof(WAVEFORMATEX);
    return TRUE;
  } catch (...) {
    return FALSE;
  }
}

int funcReadVideo(INPUT_HANDLE ih, int frame, void* buf) {
  ReaderHandle* h = fromHandle(ih);
  if (!h) return 0;
  try {
    std::lock_guard<std::mutex> guard(h->lock);
    const int result = h->reader.readVideo(frame, buf);
    // A repeat record fills the buffer with the picture it repeats and returns 0, as this
    // editor has always been given it: files it has long worked with behave so.
    return h->reader.isRepeat(frame) ? 0 : result;
  } catch (...) {
    return 0;
  }
}

int funcReadAudio(INPUT_HANDLE ih, int start, int length, void* buf) {
  ReaderHandle* h = fromHandle(ih);
  if (!h || length <= 0) return 0;
  try {
    std::lock_guard<std::mutex> guard(h->lock);
    const int64_t first = start;
    return clampToInt(h->reader.readAudio(first, first + length, buf));
  } catch (...) {
    return 0;
  }
}

BOOL funcIsKeyframe(INPUT_HANDLE ih, int frame) {
  ReaderHandle* h = fromHandle(ih);
  if (!h) return FALSE;
  try {
    std::lock_guard<std::mutex> guard(h->lock);
    return h->reader.isKeyFrame(frame) ? TRUE : FALSE;
  } catch (...) {
    return FALSE;
  }
}

char kName[] = "QuorvaneVideoFormat Reader";
// What the editor shows about the plug-in: the name and the version of the whole package.
char kInformation[] = "QuorvaneVideoFormat Reader " QV_VERSION;
// Two strings and the empty string that ends the list.
char kFileFilter[] = "QuorvaneVideoFormat (*.qvf)\0*.qvf\0";

INPUT_PLUGIN_TABLE kTable = {
    INPUT_PLUGIN_FLAG_VIDEO | INPUT_PLUGIN_FLAG_AUDIO,
    kName,
    kFileFilter,
    kInformation,
    funcInit,
    funcInit,
    funcOpen,
    funcClose,
    funcInfoGet,
    funcReadVideo,
    funcReadAudio,
    funcIsKeyframe,
    nullptr,
    {},
};

}  // namespace
}  // namespace qv_reader

extern "C" QV_EDITOR_EXPORT INPUT_PLUGIN_TABLE* QV_EDITOR_API GetInputPluginTable(void) {
  return &qv_reader::kTable;
}
