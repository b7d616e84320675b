// Picture work for export: YUY2 to planar 4:2:2 and to RGB, scaling, labels, PNG files.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qvf_tool {

// The colour set a recording was converted with. The file does not record it, so the user
// names it; the recorder's rule for "automatic" is BT.709 from 720 lines up.
enum class Matrix { kAuto, kBT601, kBT709 };
enum class Range { kTV, kFull };

// Inverse of the recorder's RGB to YUY2 conversion, built from the same coefficients.
class YuvToRgb {
 public:
  YuvToRgb(Matrix matrix, Range range, int height);
  bool isBT709() const { return bt709_; }
  // width x height YUY2 (width even) to packed R, G, B bytes, rows top to bottom.
  void convert(const uint8_t* yuy2, int width, int height, uint8_t* rgb) const;

 private:
  bool bt709_;
  float yOffset_;
  float m_[3][3];  // (Y - yOffset, U - 128, V - 128) -> (R, G, B)
};

// Packed YUY2 to the Y, U and V planes of 4:2:2 (U and V are width / 2 x height each).
void yuy2ToPlanar422(const uint8_t* yuy2, int width, int height, uint8_t* planes);

// An RGB picture.
struct RgbImage {
  int width = 0;
  int height = 0;
  std::vector<uint8_t> pixels;  // R, G, B
  RgbImage() = default;
  RgbImage(int w, int h, uint8_t fill = 0)
      : width(w), height(h), pixels(static_cast<size_t>(w) * h * 3, fill) {}
};

// Area-average reduction to dstWidth x dstHeight (each no larger than the source).
RgbImage shrink(const RgbImage& source, int dstWidth, int dstHeight);
void blit(const RgbImage& source, RgbImage* target, int x, int y);
// Text in a small built-in font (digits, letters, a few signs), each dot scale x scale pixels.
void drawText(RgbImage* target, int x, int y, const std::string& text, int scale,
              const uint8_t colour[3]);
int textWidth(const std::string& text, int scale);
int textHeight(int scale);

// Whether this build can write PNG files.
bool pngSupported();
// False with *error set when the file cannot be written.
bool writePng(const std::string& path, const RgbImage& image, std::string* error);

}  // namespace qvf_tool
