// The editor-facing table: one ContainerReader per open file behind each handle.
//
// Nothing thrown may reach the editor's process, so every entry point catches everything and
// answers with the interface's own failure values (null, 0, FALSE).
#include <climits>
#include <memory>
#include <mutex>
#include <new>

#include "container_reader.h"
#include "editor_input.h"

namespace qv_reader {
namespace {

constexpr DWORD kFourccYuy2 = 0x32595559;  // "YUY2"

struct ReaderHandle {
  // The editor calls from more than one thread; calls on one handle share the reader's
  // picture buffers, so they take turns. Different handles share nothing.
  std::mutex lock;
  ContainerReader reader;
  BITMAPINFOHEADER videoFormat = {};
  WAVEFORMATEX audioFormat = {};
};

ReaderHandle* fromHandle(INPUT_HANDLE ih) { return static_cast<ReaderHandle*>(ih); }

int clampToInt(uint64_t v) { return v > uint64_t{INT_MAX} ? INT_MAX : static_cast<int>(v); }

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
    const ContainerReader& r = h->reader;
    const qvf::FileHeader& hd = r.header();

    iip->n = clampToInt(r.frameCount());
    iip->audio_n = clampToInt(r.audioSampleCount());
    iip->flag = 0;
    if (hd.frameRate && hd.width && hd.height) iip->flag |= INPUT_INFO_FLAG_VIDEO;
    if (iip->audio_n > 0) iip->flag |= INPUT_INFO_FLAG_AUDIO;
    iip->rate = clampToInt(hd.frameRate);
    iip->scale = 1;
    iip->handler = kFourccYuy2;

    BITMAPINFOHEADER& v = h->videoFormat;
    v = {};
    v.biSize = sizeof(BITMAPINFOHEADER);
    v.biWidth = static_cast<int32_t>(hd.width);  // open refused sizes beyond an int
    v.biHeight = static_cast<int32_t>(hd.height);
    v.biPlanes = 1;
    v.biBitCount = 16;
    v.biCompression = kFourccYuy2;
    iip->format = &v;
    iip->format_size = sizeof(BITMAPINFOHEADER);

    WAVEFORMATEX& a = h->audioFormat;
    a = {};
    a.wFormatTag = WAVE_FORMAT_PCM;
    if (r.audioBlockBytes()) {
      // Only formats whose values fit these fields have a block size at all.
      a.nChannels = static_cast<uint16_t>(hd.audioChannels);
      a.nSamplesPerSec = static_cast<uint32_t>(hd.audioSampleRate);
      a.wBitsPerSample = static_cast<uint16_t>(hd.audioBitsPerSample);
      a.nBlockAlign = static_cast<uint16_t>(r.audioBlockBytes());
      a.nAvgBytesPerSec = a.nBlockAlign * a.nSamplesPerSec;
    }
    iip->audio_format = &a;
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
    return h->reader.readVideo(frame, buf);
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
// Two strings and the empty string that ends the list.
char kFileFilter[] = "QuorvaneVideoFormat (*.qvf)\0*.qvf\0";

INPUT_PLUGIN_TABLE kTable = {
    INPUT_PLUGIN_FLAG_VIDEO | INPUT_PLUGIN_FLAG_AUDIO,
    kName,
    kFileFilter,
    kName,
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
