// What both editors' plug-in interfaces share: the Windows media records BITMAPINFOHEADER and
// WAVEFORMATEX and a few Windows types, from the system headers on Windows and declared with
// the same layout elsewhere.
#pragma once

#include <cstdint>

#ifdef _WIN32
#include <windows.h>
// WAVEFORMATEX; needs the types from windows.h first.
#include <mmsystem.h>
#define QV_EDITOR_API __stdcall
#else
typedef int BOOL;
typedef uint32_t DWORD;
typedef void* HWND;
typedef void* HINSTANCE;
// UTF-16 text, as on Windows (where wchar_t is 16 bits wide).
typedef const char16_t* LPCWSTR;

struct BITMAPINFOHEADER {
  uint32_t biSize;
  int32_t biWidth;
  int32_t biHeight;
  uint16_t biPlanes;
  uint16_t biBitCount;
  uint32_t biCompression;
  uint32_t biSizeImage;
  int32_t biXPelsPerMeter;
  int32_t biYPelsPerMeter;
  uint32_t biClrUsed;
  uint32_t biClrImportant;
};

#pragma pack(push, 1)
struct WAVEFORMATEX {
  uint16_t wFormatTag;
  uint16_t nChannels;
  uint32_t nSamplesPerSec;
  uint32_t nAvgBytesPerSec;
  uint16_t nBlockAlign;
  uint16_t wBitsPerSample;
  uint16_t cbSize;
};
#pragma pack(pop)

#ifndef TRUE
#define TRUE 1
#define FALSE 0
#endif
#define WAVE_FORMAT_PCM 1
#define QV_EDITOR_API
#endif

#ifdef _WIN32
#define QV_EDITOR_EXPORT
#else
#define QV_EDITOR_EXPORT __attribute__((visibility("default")))
#endif

static_assert(sizeof(BITMAPINFOHEADER) == 40, "BITMAPINFOHEADER must be 40 bytes");
static_assert(sizeof(WAVEFORMATEX) == 18, "WAVEFORMATEX must be 18 bytes, byte-packed");
