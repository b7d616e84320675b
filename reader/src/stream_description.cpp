#include "stream_description.h"

namespace qv_reader {
StreamDescription describe(const ContainerReader& r) {
  const qvf::FileHeader& hd = r.header();
  StreamDescription d;
  d.frames = clampToInt(r.frameCount());
  d.samples = clampToInt(r.audioSampleCount());
  d.hasVideo = hd.frameRate && hd.width && hd.height;
  d.hasAudio = d.samples > 0;
  d.rate = clampToInt(hd.frameRate);
  d.scale = 1;

  BITMAPINFOHEADER& v = d.video;
  v.biSize = sizeof(BITMAPINFOHEADER);
  v.biWidth = static_cast<int32_t>(hd.width);  // open refused sizes beyond an int
  v.biHeight = static_cast<int32_t>(hd.height);
  v.biPlanes = 1;
  v.biBitCount = 16;
  v.biCompression = kFourccYuy2;

  WAVEFORMATEX& a = d.audio;
  a.wFormatTag = WAVE_FORMAT_PCM;
  if (r.audioBlockBytes()) {
    // Only formats whose values fit these fields have a block size at all.
    a.nChannels = static_cast<uint16_t>(hd.audioChannels);
    a.nSamplesPerSec = static_cast<uint32_t>(hd.audioSampleRate);
    a.wBitsPerSample = static_cast<uint16_t>(hd.audioBitsPerSample);
    a.nBlockAlign = static_cast<uint16_t>(r.audioBlockBytes());
    a.nAvgBytesPerSec = a.nBlockAlign * a.nSamplesPerSec;
  }
  return d;
}

}  // namespace qv_reader
