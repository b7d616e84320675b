// The 64-bit editor's input plug-in interface, declared from its published facts.
//
// Its records share their names with the 32-bit editor's but not their layout, so they live in
// namespace editor2. The plug-in file for this editor (a 64-bit DLL named *.aui2) exports
// GetInputPluginTable returning an editor2::INPUT_PLUGIN_TABLE*; x64 has one calling
// convention, so the export needs no decoration.
#pragma once

#include <cstddef>

#include "editor_media.h"

namespace editor2 {

// Flags under names of their own: the 32-bit declarations use the plain names as macros.
constexpr int kInfoVideo = 1;
constexpr int kInfoAudio = 2;
// The editor turns times into frame numbers through func_time_to_frame; we do not set it.
constexpr int kInfoTimeToFrame = 16;

constexpr int kPluginVideo = 1;
constexpr int kPluginAudio = 2;
// The editor may call the video and audio functions of one handle at the same time, and any
// functions of different handles at the same time.
constexpr int kPluginConcurrent = 16;
constexpr int kPluginMultiTrack = 32;
// The track types of func_set_track.
constexpr int kTrackVideo = 0;
constexpr int kTrackAudio = 1;

struct INPUT_INFO {
  int flag;
  int rate;
  int scale;
  int n;
  BITMAPINFOHEADER* format;  // valid until the next call on this handle
  int format_size;
  int audio_n;
  WAVEFORMATEX* audio_format;  // valid until the next call on this handle
  int audio_format_size;
};

typedef void* INPUT_HANDLE;

struct INPUT_PLUGIN_TABLE {
  int flag;
  LPCWSTR name;
  LPCWSTR filefilter;  // pairs of strings, the list ended by an empty one
  LPCWSTR information;
  INPUT_HANDLE (*func_open)(LPCWSTR file);
  bool (*func_close)(INPUT_HANDLE ih);
  bool (*func_info_get)(INPUT_HANDLE ih, INPUT_INFO* iip);
  int (*func_read_video)(INPUT_HANDLE ih, int frame, void* buf);              // bytes written
  int (*func_read_audio)(INPUT_HANDLE ih, int start, int length, void* buf);  // samples
  bool (*func_config)(HWND hwnd, HINSTANCE dll_hinst);
  int (*func_set_track)(INPUT_HANDLE ih, int type, int index);
  int (*func_time_to_frame)(INPUT_HANDLE ih, double time);
};

static_assert(sizeof(bool) == 1, "the editor's bool is one byte");
// The editor is a 64-bit program; these are the sizes it was compiled with.
static_assert(sizeof(void*) != 8 || sizeof(INPUT_INFO) == 48, "INPUT_INFO must be 48 bytes");
static_assert(sizeof(void*) != 8 || sizeof(INPUT_PLUGIN_TABLE) == 96,
              "INPUT_PLUGIN_TABLE must be 96 bytes");
static_assert(sizeof(void*) != 8 ||
                  (offsetof(INPUT_INFO, format) == 16 && offsetof(INPUT_INFO, audio_format) == 32),
              "INPUT_INFO's pointers sit at multiples of 8");
static_assert(sizeof(void*) != 8 || offsetof(INPUT_PLUGIN_TABLE, func_open) == 32,
              "the functions follow the three strings");

}  // namespace editor2
