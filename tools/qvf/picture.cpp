#include "picture.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstring>

#ifdef QV_HAVE_PNG
#include <png.h>
#endif

namespace qvf_tool {

namespace {

// The recorder's coefficients (single precision, as it stores them), rows Y, U, V and columns
// B, G, R.
constexpr float kBT601[3][3] = {
    {0.11448f, 0.58661f, 0.29891f}, {0.5f, -0.33126f, -0.16874f}, {-0.08131f, -0.41869f, 0.5f}};
constexpr float kBT709[3][3] = {
    {0.0722f, 0.7152f, 0.2126f}, {0.5f, -0.3854f, -0.1146f}, {-0.0458f, -0.4542f, 0.5f}};
constexpr float kLumaFactor = 219.0f / 255.0f;
constexpr float kChromaFactor = 224.0f / 255.0f;

inline uint8_t toByte(float v) {
  if (!(v > 0.0f)) return 0;
  if (v >= 255.0f) return 255;
  return static_cast<uint8_t>(v + 0.5f);
}

// 5 x 7 glyphs, one byte per row, bit 4 the leftmost dot.
struct Glyph {
  char c;
  uint8_t rows[7];
};
constexpr Glyph kFont[] = {
    {'0', {0x0E, 0x11, 0x13, 0x15, 0x19, 0x11, 0x0E}},
    {'1', {0x04, 0x0C, 0x04, 0x04, 0x04, 0x04, 0x0E}},
    {'2', {0x0E, 0x11, 0x01, 0x02, 0x04, 0x08, 0x1F}},
    {'3', {0x1F, 0x02, 0x04, 0x02, 0x01, 0x11, 0x0E}},
    {'4', {0x02, 0x06, 0x0A, 0x12, 0x1F, 0x02, 0x02}},
    {'5', {0x1F, 0x10, 0x1E, 0x01, 0x01, 0x11, 0x0E}},
    {'6', {0x06, 0x08, 0x10, 0x1E, 0x11, 0x11, 0x0E}},
    {'7', {0x1F, 0x01, 0x02, 0x04, 0x08, 0x08, 0x08}},
    {'8', {0x0E, 0x11, 0x11, 0x0E, 0x11, 0x11, 0x0E}},
    {'9', {0x0E, 0x11, 0x11, 0x0F, 0x01, 0x02, 0x0C}},
    {'A', {0x0E, 0x11, 0x11, 0x1F, 0x11, 0x11, 0x11}},
    {'B', {0x1E, 0x11, 0x11, 0x1E, 0x11, 0x11, 0x1E}},
    {'C', {0x0E, 0x11, 0x10, 0x10, 0x10, 0x11, 0x0E}},
    {'D', {0x1C, 0x12, 0x11, 0x11, 0x11, 0x12, 0x1C}},
    {'E', {0x1F, 0x10, 0x10, 0x1E, 0x10, 0x10, 0x1F}},
    {'F', {0x1F, 0x10, 0x10, 0x1E, 0x10, 0x10, 0x10}},
    {'G', {0x0E, 0x11, 0x10, 0x17, 0x11, 0x11, 0x0F}},
    {'H', {0x11, 0x11, 0x11, 0x1F, 0x11, 0x11, 0x11}},
    {'I', {0x0E, 0x04, 0x04, 0x04, 0x04, 0x04, 0x0E}},
    {'J', {0x07, 0x02, 0x02, 0x02, 0x02, 0x12, 0x0C}},
    {'K', {0x11, 0x12, 0x14, 0x18, 0x14, 0x12, 0x11}},
    {'L', {0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x1F}},
    {'M', {0x11, 0x1B, 0x15, 0x15, 0x11, 0x11, 0x11}},
    {'N', {0x11, 0x11, 0x19, 0x15, 0x13, 0x11, 0x11}},
    {'O', {0x0E, 0x11, 0x11, 0x11, 0x11, 0x11, 0x0E}},
    {'P', {0x1E, 0x11, 0x11, 0x1E, 0x10, 0x10, 0x10}},
    {'Q', {0x0E, 0x11, 0x11, 0x11, 0x15, 0x12, 0x0D}},
    {'R', {0x1E, 0x11, 0x11, 0x1E, 0x14, 0x12, 0x11}},
    {'S', {0x0F, 0x10, 0x10, 0x0E, 0x01, 0x01, 0x1E}},
    {'T', {0x1F, 0x04, 0x04, 0x04, 0x04, 0x04, 0x04}},
    {'U', {0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x0E}},
    {'V', {0x11, 0x11, 0x11, 0x11, 0x11, 0x0A, 0x04}},
    {'W', {0x11, 0x11, 0x11, 0x15, 0x15, 0x15, 0x0A}},
    {'X', {0x11, 0x11, 0x0A, 0x04, 0x0A, 0x11, 0x11}},
    {'Y', {0x11, 0x11, 0x11, 0x0A, 0x04, 0x04, 0x04}},
    {'Z', {0x1F, 0x01, 0x02, 0x04, 0x08, 0x10, 0x1F}},
    {'#', {0x0A, 0x0A, 0x1F, 0x0A, 0x1F, 0x0A, 0x0A}},
    {'.', {0x00, 0x00, 0x00, 0x00, 0x00, 0x0C, 0x0C}},
    {',', {0x00, 0x00, 0x00, 0x00, 0x0C, 0x04, 0x08}},
    {':', {0x00, 0x0C, 0x0C, 0x00, 0x0C, 0x0C, 0x00}},
    {'/', {0x00, 0x01, 0x02, 0x04, 0x08, 0x10, 0x00}},
    {'-', {0x00, 0x00, 0x00, 0x1F, 0x00, 0x00, 0x00}},
    {'(', {0x02, 0x04, 0x08, 0x08, 0x08, 0x04, 0x02}},
    {')', {0x08, 0x04, 0x02, 0x02, 0x02, 0x04, 0x08}},
    {'x', {0x00, 0x00, 0x11, 0x0A, 0x04, 0x0A, 0x11}},
    {' ', {0, 0, 0, 0, 0, 0, 0}},
};

const Glyph* findGlyph(char c) {
  if (c != 'x') c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  for (const Glyph& g : kFont) {
    if (g.c == c) return &g;
  }
  return nullptr;
}

}  // namespace

YuvToRgb::YuvToRgb(Matrix matrix, Range range, int height) {
  bt709_ = matrix == Matrix::kBT709 || (matrix == Matrix::kAuto && height >= 720);
  const float(&src)[3][3] = bt709_ ? kBT709 : kBT601;
  // Forward matrix with columns R, G, B, scaled as the recorder scales it for TV range.
  double f[3][3];
  for (int row = 0; row < 3; ++row) {
    const float factor = range == Range::kFull ? 1.0f : (row == 0 ? kLumaFactor : kChromaFactor);
    for (int col = 0; col < 3; ++col) f[row][col] = static_cast<double>(src[row][2 - col] * factor);
  }
  yOffset_ = range == Range::kFull ? 0.0f : 16.0f;
  const double det = f[0][0] * (f[1][1] * f[2][2] - f[1][2] * f[2][1]) -
                     f[0][1] * (f[1][0] * f[2][2] - f[1][2] * f[2][0]) +
                     f[0][2] * (f[1][0] * f[2][1] - f[1][1] * f[2][0]);
  const double inv[3][3] = {
      {(f[1][1] * f[2][2] - f[1][2] * f[2][1]) / det, (f[0][2] * f[2][1] - f[0][1] * f[2][2]) / det,
       (f[0][1] * f[1][2] - f[0][2] * f[1][1]) / det},
      {(f[1][2] * f[2][0] - f[1][0] * f[2][2]) / det, (f[0][0] * f[2][2] - f[0][2] * f[2][0]) / det,
       (f[0][2] * f[1][0] - f[0][0] * f[1][2]) / det},
      {(f[1][0] * f[2][1] - f[1][1] * f[2][0]) / det, (f[0][1] * f[2][0] - f[0][0] * f[2][1]) / det,
       (f[0][0] * f[1][1] - f[0][1] * f[1][0]) / det}};
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 3; ++c) m_[r][c] = static_cast<float>(inv[r][c]);
  }
}

void YuvToRgb::convert(const uint8_t* yuy2, int width, int height, uint8_t* rgb) const {
  const int pairs = width / 2;
  for (int y = 0; y < height; ++y) {
    const uint8_t* row = yuy2 + static_cast<size_t>(y) * width * 2;
    uint8_t* out = rgb + static_cast<size_t>(y) * width * 3;
    for (int k = 0; k < pairs; ++k) {
      // A pair's chroma is the mean of its two pixels, so it sits between them: each pixel
      // takes three quarters of its own pair and one quarter of the neighbour on its side.
      const uint8_t* here = row + 4 * k;
      const uint8_t* left = row + 4 * (k > 0 ? k - 1 : k);
      const uint8_t* right = row + 4 * (k + 1 < pairs ? k + 1 : k);
      const float u0 = 0.75f * here[1] + 0.25f * left[1] - 128.0f;
      const float v0 = 0.75f * here[3] + 0.25f * left[3] - 128.0f;
      const float u1 = 0.75f * here[1] + 0.25f * right[1] - 128.0f;
      const float v1 = 0.75f * here[3] + 0.25f * right[3] - 128.0f;
      const float y0 = here[0] - yOffset_;
      const float y1 = here[2] - yOffset_;
      for (int c = 0; c < 3; ++c) {
        out[6 * k + c] = toByte(m_[c][0] * y0 + m_[c][1] * u0 + m_[c][2] * v0);
        out[6 * k + 3 + c] = toByte(m_[c][0] * y1 + m_[c][1] * u1 + m_[c][2] * v1);
      }
    }
  }
}

void yuy2ToPlanar422(const uint8_t* yuy2, int width, int height, uint8_t* planes) {
  const size_t pixels = static_cast<size_t>(width) * height;
  uint8_t* yPlane = planes;
  uint8_t* uPlane = planes + pixels;
  uint8_t* vPlane = uPlane + pixels / 2;
  for (size_t k = 0; k < pixels / 2; ++k) {
    yPlane[2 * k] = yuy2[4 * k];
    uPlane[k] = yuy2[4 * k + 1];
    yPlane[2 * k + 1] = yuy2[4 * k + 2];
    vPlane[k] = yuy2[4 * k + 3];
  }
}

RgbImage shrink(const RgbImage& source, int dstWidth, int dstHeight) {
  RgbImage out(dstWidth, dstHeight);
  for (int y = 0; y < dstHeight; ++y) {
    const int y0 = static_cast<int>(static_cast<int64_t>(y) * source.height / dstHeight);
    int y1 = static_cast<int>(static_cast<int64_t>(y + 1) * source.height / dstHeight);
    if (y1 <= y0) y1 = y0 + 1;
    for (int x = 0; x < dstWidth; ++x) {
      const int x0 = static_cast<int>(static_cast<int64_t>(x) * source.width / dstWidth);
      int x1 = static_cast<int>(static_cast<int64_t>(x + 1) * source.width / dstWidth);
      if (x1 <= x0) x1 = x0 + 1;
      uint32_t sum[3] = {0, 0, 0};
      for (int sy = y0; sy < y1; ++sy) {
        const uint8_t* p = &source.pixels[(static_cast<size_t>(sy) * source.width + x0) * 3];
        for (int sx = x0; sx < x1; ++sx, p += 3) {
          sum[0] += p[0];
          sum[1] += p[1];
          sum[2] += p[2];
        }
      }
      const uint32_t count = static_cast<uint32_t>((y1 - y0) * (x1 - x0));
      uint8_t* o = &out.pixels[(static_cast<size_t>(y) * dstWidth + x) * 3];
      for (int c = 0; c < 3; ++c) o[c] = static_cast<uint8_t>((sum[c] + count / 2) / count);
    }
  }
  return out;
}

void blit(const RgbImage& source, RgbImage* target, int x, int y) {
  for (int row = 0; row < source.height; ++row) {
    const int ty = y + row;
    if (ty < 0 || ty >= target->height) continue;
    for (int col = 0; col < source.width; ++col) {
      const int tx = x + col;
      if (tx < 0 || tx >= target->width) continue;
      std::memcpy(&target->pixels[(static_cast<size_t>(ty) * target->width + tx) * 3],
                  &source.pixels[(static_cast<size_t>(row) * source.width + col) * 3], 3);
    }
  }
}

int textWidth(const std::string& text, int scale) {
  return text.empty() ? 0 : static_cast<int>(text.size()) * 6 * scale - scale;
}

int textHeight(int scale) { return 7 * scale; }

void drawText(RgbImage* target, int x, int y, const std::string& text, int scale,
              const uint8_t colour[3]) {
  for (size_t i = 0; i < text.size(); ++i) {
    const Glyph* g = findGlyph(text[i]);
    if (g == nullptr) g = findGlyph('-');
    const int gx = x + static_cast<int>(i) * 6 * scale;
    for (int row = 0; row < 7; ++row) {
      for (int col = 0; col < 5; ++col) {
        if ((g->rows[row] & (0x10 >> col)) == 0) continue;
        for (int dy = 0; dy < scale; ++dy) {
          for (int dx = 0; dx < scale; ++dx) {
            const int px = gx + col * scale + dx;
            const int py = y + row * scale + dy;
            if (px < 0 || py < 0 || px >= target->width || py >= target->height) continue;
            std::memcpy(&target->pixels[(static_cast<size_t>(py) * target->width + px) * 3], colour,
                        3);
          }
        }
      }
    }
  }
}

#ifdef QV_HAVE_PNG

bool pngSupported() { return true; }

bool writePng(const std::string& path, const RgbImage& image, std::string* error) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) {
    *error = std::strerror(errno);
    return false;
  }
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png != nullptr ? png_create_info_struct(png) : nullptr;
  if (png == nullptr || info == nullptr) {
    png_destroy_write_struct(&png, &info);
    std::fclose(f);
    *error = "out of memory";
    return false;
  }
  // libpng reports errors by longjmp; nothing with a destructor lives in this frame.
  if (setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    std::fclose(f);
    std::remove(path.c_str());
    *error = "libpng could not write it (disk full?)";
    return false;
  }
  png_init_io(png, f);
  png_set_IHDR(png, info, static_cast<png_uint_32>(image.width),
               static_cast<png_uint_32>(image.height), 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_set_compression_level(png, 6);
  png_write_info(png, info);
  for (int y = 0; y < image.height; ++y) {
    png_write_row(png, &image.pixels[static_cast<size_t>(y) * image.width * 3]);
  }
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  const bool flushed = std::fflush(f) == 0;
  const bool closed = std::fclose(f) == 0;
  if (!flushed || !closed) {
    *error = std::strerror(errno);
    std::remove(path.c_str());
    return false;
  }
  return true;
}

#else

bool pngSupported() { return false; }

bool writePng(const std::string&, const RgbImage&, std::string* error) {
  *error = "PNG export is not built into this binary";
  return false;
}

#endif

}  // namespace qvf_tool
