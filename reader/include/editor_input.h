// The editor's input plug-in interface, declared from its published facts.
//
// The editor is a 32-bit Windows program: the records must have exactly its 32-bit layout
// there. The 64-bit and Linux builds of the plug-in use the same declarations with their own
// pointer width; they serve our tests and tools, never the editor.
#pragma once

#include "editor_media.h"

#define INPUT_INFO_FLAG_VIDEO 1
#define INPUT_INFO_FLAG_AUDIO 2
#define INPUT_INFO_FLAG_VIDEO_RANDOM_ACCESS 8

#define INPUT_PLUGIN_FLAG_VIDEO 1
#define INPUT_PLUGIN_FLAG_AUDIO 2

struct INPUT_INFO {
  int flag;
  int rate;
  int scale;
  int n;
  BITMAPINFOHEADER* format;
  int format_size;
  int audio_n;
  WAVEFORMATEX* audio_format;
  int audio_format_size;
  DWORD handler;
  int reserve[7];
};

typedef void* INPUT_HANDLE;

struct INPUT_PLUGIN_TABLE {
  int flag;
  char* name;
  char* filefilter;
  char* information;
  BOOL (*func_init)(void);
  BOOL (*func_exit)(void);
  INPUT_HANDLE (*func_open)(char* file);
  BOOL (*func_close)(INPUT_HANDLE ih);
  BOOL (*func_info_get)(INPUT_HANDLE ih, INPUT_INFO* iip);
  int (*func_read_video)(INPUT_HANDLE ih, int frame, void* buf);
  int (*func_read_audio)(INPUT_HANDLE ih, int start, int length, void* buf);
  BOOL (*func_is_keyframe)(INPUT_HANDLE ih, int frame);
  BOOL (*func_config)(HWND hwnd, HINSTANCE dll_hinst);
  int reserve[16];
};

// The editor's own build has 4-byte pointers; these are the sizes it was compiled with.
static_assert(sizeof(void*) != 4 || sizeof(INPUT_INFO) == 68, "INPUT_INFO must be 68 bytes");
static_assert(sizeof(void*) != 4 || sizeof(INPUT_PLUGIN_TABLE) == 116,
              "INPUT_PLUGIN_TABLE must be 116 bytes");

// The plug-in's single export. No arguments, so __stdcall adds no stack clean-up; the
// module definition file keeps the exported name free of decoration.
extern "C" QV_EDITOR_EXPORT INPUT_PLUGIN_TABLE* QV_EDITOR_API GetInputPluginTable(void);
