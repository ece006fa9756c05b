// Every pixel format saved through the I/O component in every writer with
// every save option, with the real codecs, and read back by another
// program's reader (netpbm, libtiff's tools, OpenJPEG's, Ghostscript,
// poppler) and by ours: each must give the source's pixels within the
// format's loss. Writers that do not take a format get a converted copy,
// and the caller's image stays as it was.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/kopxutils_bitmap.h"
#include "core/kopxutils_settings.h"
#include "external_tools.h"
#include "formats_built.h"
#include "io/pixoranio.h"
#include "io/pixoranio_codecs.h"
#include "io/pxformats.h"
#include "platform/streams.h"
#include "testsupport.h"

namespace pixoran {
namespace {

using testing::ReadPnm;
using testing::TPnm;

constexpr int kSize = 16;

// Smooth content in blocks of 8 (four colours), so that a lossy codec stays
// close and a palette of four entries holds it exactly.
void FillFormat(TPXBitmap& b, TPXPixelFormat f) {
  ASSERT_TRUE(b.Allocate(kSize, kSize, f));
  if (f == pxPal8)
    for (int i = 0; i < 256; ++i)
      b.SetPaletteEntry(i, TBGR{static_cast<uint8_t>(i), static_cast<uint8_t>(255 - i), static_cast<uint8_t>(i / 2)});
  for (int y = 0; y < kSize; ++y) {
    uint8_t* row = b.Scanline(y);
    ASSERT_NE(row, nullptr);
    const int by = y / 8;
    for (int x = 0; x < kSize; ++x) {
      const int bx = x / 8;
      const auto v = static_cast<uint8_t>(40 + bx * 90 + by * 60);
      switch (f) {
        case pxBW1:
          if ((bx + by) & 1) row[x / 8] |= static_cast<uint8_t>(0x80 >> (x % 8));
          else row[x / 8] &= static_cast<uint8_t>(~(0x80 >> (x % 8)));
          break;
        case pxPal8:
        case pxGray8: row[x] = v; break;
        case pxGray16: reinterpret_cast<uint16_t*>(row)[x] = static_cast<uint16_t>(v << 8 | 0x80); break;
        case pxBGR24: row[x * 3] = v, row[x * 3 + 1] = static_cast<uint8_t>(255 - v), row[x * 3 + 2] = 100; break;
        case px32f: reinterpret_cast<float*>(row)[x] = static_cast<float>(v) / 255.0f; break;
        case pxCMYK:
          row[x * 4] = v, row[x * 4 + 1] = 30, row[x * 4 + 2] = static_cast<uint8_t>(200 - v / 2), row[x * 4 + 3] = 20;
          break;
        default: break;
      }
    }
  }
}

// Red, green, blue bytes of a bitmap, top row first.
using TRGB = std::vector<uint8_t>;

TRGB RGBOf(TPXBitmap& b) {
  TPXBitmap copy;
  copy.CopyPixelsFrom(b);
  copy.SetPixelFormat(pxBGR24);
  TRGB out;
  for (int y = 0; y < copy.Height(); ++y) {
    const uint8_t* r = copy.Scanline(y);
    for (int x = 0; x < copy.Width(); ++x) out.insert(out.end(), {r[x * 3 + 2], r[x * 3 + 1], r[x * 3]});
  }
  return out;
}

// A decoded PNM sampled at every scale-th pixel's centre, as 8-bit RGB.
TRGB RGBOf(const TPnm& p, int scale) {
  TRGB out;
  for (int y = 0; y < kSize; ++y)
    for (int x = 0; x < kSize; ++x)
      for (int c = 0; c < 3; ++c) {
        const int v = p.At(x * scale + scale / 2, y * scale + scale / 2, p.Channels == 1 ? 0 : c);
        out.push_back(static_cast<uint8_t>((v * 255 + p.MaxVal / 2) / p.MaxVal));
      }
  return out;
}

// What a writer may lose.
enum TLoss : uint8_t {
  lsExact,      // the colours, each channel within the tolerance
  lsGrey,       // the colours' grey levels, within the tolerance
  lsLevels,     // colours exactly; a grey source's levels within the tolerance
  lsBilevel,    // black and white: a bilevel source exactly, others split at the grey of their mean colour
  lsLossy,      // mean difference per channel within the tolerance
  lsLossyGrey,  // mean difference from the grey levels within the tolerance
  lsLossyLuma,  // mean difference from the codec's own luma (JPEG's weights) within the tolerance
};

uint8_t GreyOf(const uint8_t* rgb) {
  return static_cast<uint8_t>(
      (rgb[0] * PXSettings().LumRed + rgb[1] * PXSettings().LumGreen + rgb[2] * PXSettings().LumBlue) / 100);
}

TRGB Greyed(const TRGB& in, bool luma = false) {
  TRGB out(in.size());
  for (size_t i = 0; i < in.size(); i += 3)
    out[i] = out[i + 1] = out[i + 2] =
        luma ? static_cast<uint8_t>(0.299 * in[i] + 0.587 * in[i + 1] + 0.114 * in[i + 2] + 0.5) : GreyOf(&in[i]);
  return out;
}

bool IsGrey(const TRGB& in) {
  for (size_t i = 0; i < in.size(); i += 3)
    if (in[i] != in[i + 1] || in[i] != in[i + 2]) return false;
  return true;
}

::testing::AssertionResult WithinLoss(TLoss loss, double tolerance, bool bilevelSource, const TRGB& source,
                                      const TRGB& got) {
  if (got.size() != source.size()) return ::testing::AssertionFailure() << "size differs";
  const bool greyTarget = loss == lsGrey || loss == lsLossyGrey || (loss == lsLevels && IsGrey(source));
  const TRGB want = loss == lsLossyLuma ? Greyed(source, true) : greyTarget ? Greyed(source) : source;
  if (loss == lsBilevel && !bilevelSource) {
    // Reduced to two colours at the grey of the mean colour (a grey within
    // a level of it may go either way).
    double mean[3] = {};
    for (size_t i = 0; i < source.size(); ++i) mean[i % 3] += source[i];
    const uint8_t m[3] = {static_cast<uint8_t>(mean[0] * 3 / source.size()),
                          static_cast<uint8_t>(mean[1] * 3 / source.size()),
                          static_cast<uint8_t>(mean[2] * 3 / source.size())};
    const int threshold = GreyOf(m);
    for (size_t i = 0; i < source.size(); ++i) {
      const int g = GreyOf(&source[i / 3 * 3]);
      if (got[i] != 0 && got[i] != 255)
        return ::testing::AssertionFailure() << "level " << int(got[i]) << " in black and white";
      if (std::abs(g - threshold) > 1 && (got[i] == 255) != (g > threshold))
        return ::testing::AssertionFailure()
               << "pixel " << i / 3 << " of grey " << g << " is " << int(got[i]) << ", the threshold " << threshold;
    }
    return ::testing::AssertionSuccess();
  }
  double sum = 0;
  int worst = 0;
  size_t at = 0;
  for (size_t i = 0; i < want.size(); ++i) {
    const int d = std::abs(want[i] - got[i]);
    sum += d;
    if (d > worst) worst = d, at = i;
  }
  const bool lossy = loss == lsLossy || loss == lsLossyGrey || loss == lsLossyLuma;
  const double limit = loss == lsBilevel ? 0 : tolerance;
  if ((lossy ? sum / static_cast<double>(want.size()) : worst) <= limit) return ::testing::AssertionSuccess();
  const size_t p = at / 3 * 3;
  return ::testing::AssertionFailure() << "mean difference " << sum / static_cast<double>(want.size()) << ", worst "
                                       << worst << " at pixel " << at / 3 << ": " << int(got[p]) << ","
                                       << int(got[p + 1]) << "," << int(got[p + 2]) << ", want " << int(want[p]) << ","
                                       << int(want[p + 1]) << "," << int(want[p + 2]);
}

// One writer with one set of save options. decode turns the file {} into a
// PNM on stdout with another program (nullptr: no other program reads the
// variant); scale: the PNM's pixels per image pixel; skip: a pixel format
// left out for a fault of the writer, named where the row is.
struct TWriterRow {
  const char* name;
  int32_t type;
  std::function<void(TIOParamsVals&)> options;
  TLoss loss;
  double tolerance;
  const char* decode;
  int scale = 1;
  TPXPixelFormat skip = pxNone;
};

std::string Expand(const std::string& command, const std::string& file) {
  std::string out = command;
  for (size_t at; (at = out.find("{}")) != std::string::npos;) out.replace(at, 2, file);
  return out;
}

auto Bits(int bits, int samples, std::function<void(TIOParamsVals&)> more = {}) {
  return [=](TIOParamsVals& p) {
    p.BitsPerSample = bits;
    p.SamplesPerPixel = samples;
    if (more) more(p);
  };
}

// Icon entries of the given bit counts, the first at the picture's size,
// each next one half as large.
auto Icons(std::vector<int> bitCounts) {
  return [=](TIOParamsVals& p) {
    for (size_t i = 0; i < 16; ++i) {
      const int side = i < bitCounts.size() ? kSize >> i : 0;
      p.ICOSizes[i] = {side, side};
      p.ICOBitCounts[i] = i < bitCounts.size() ? bitCounts[i] : 0;
    }
  };
}

const char* const kTiffDecode = "tifftopnm -quiet {}";
// tifftopnm takes no YCbCr JPEG page: libtiff's own RGBA interface does.
const char* const kTiffRGBADecode = "tiff2rgba {} {}.rgba.tif && tifftopnm -quiet {}.rgba.tif";
// Ghostscript and poppler draw the page at one device pixel per image
// pixel; poppler widens images by a pixel, so it draws four and is sampled
// at their centres.
const char* const kPSDecode = "gs -q -dSAFER -dBATCH -dNOPAUSE -sDEVICE=ppmraw -r72 -g16x16 -sOutputFile=- {}";
const char* const kPDFDecode = "pdftoppm -r 288 {}";
// netpbm has no DCX reader: its first page goes to pcxtoppm.
const char* const kDCXDecode = "tail -c +$(( $(od -An -tu4 -j4 -N4 {}) + 1 )) {} | pcxtoppm";

std::vector<TWriterRow> WriterRows() {
  auto jpeg = [](std::function<void(TIOParamsVals&)> more) {
    return [=](TIOParamsVals& p) {
      p.JPEGQuality = 100;
      more(p);
    };
  };
  auto tiff = [](int bits, int samples, int compression, int photometric = 2, int jpegSpace = 2) {
    return [=](TIOParamsVals& p) {
      p.BitsPerSample = bits, p.SamplesPerPixel = samples;
      p.TIFFCompression = static_cast<uint8_t>(compression);
      p.TIFFPhotometric = static_cast<uint8_t>(photometric);
      p.TIFFJPEGColorSpace = static_cast<uint8_t>(jpegSpace);
      p.TIFFJPEGQuality = 100;
    };
  };
  auto png = [](int bits, int samples, int filter, int level, bool interlaced = false) {
    return [=](TIOParamsVals& p) {
      p.BitsPerSample = bits, p.SamplesPerPixel = samples;
      p.PNGFilter = static_cast<uint8_t>(filter), p.PNGCompression = level;
      p.PNGInterlaced = interlaced ? 1 : 0;
    };
  };
  auto bmp = [](int bits, int samples, int kind, int compression) {
    return Bits(bits, samples, [=](TIOParamsVals& p) {
      p.BMPHeaderKind = static_cast<uint8_t>(kind), p.BMPCompression = static_cast<uint8_t>(compression);
    });
  };
  auto j2k = [](int space, double rate, int order) {
    return [=](TIOParamsVals& p) {
      p.J2000ColorSpace = static_cast<uint8_t>(space), p.J2000Rate = rate;
      p.J2000ProgressionOrder = static_cast<uint8_t>(order);
    };
  };
  auto page = [](int ps, int pdf, int jpegSpace = 2) {
    return [=](TIOParamsVals& p) {
      p.PSPaperWidth = p.PSPaperHeight = p.PDFPaperWidth = p.PDFPaperHeight = kSize;
      p.PSCompression = static_cast<uint8_t>(ps), p.PDFCompression = static_cast<uint8_t>(pdf);
      p.JPEGQuality = 100, p.JPEGColorSpace = static_cast<uint8_t>(jpegSpace);
    };
  };
  auto gif = [](int bits, bool interlaced, const char* version = "GIF89a") {
    return Bits(bits, 1, [=](TIOParamsVals& p) {
      p.GIFInterlaced = interlaced ? 1 : 0;
      p.GIFVersion = version;
    });
  };
  auto pcx = [](int bits, int samples, int compression, int version = 5) {
    return Bits(bits, samples, [=](TIOParamsVals& p) {
      p.PCXCompression = static_cast<uint8_t>(compression), p.PCXVersion = version;
    });
  };
  auto tga = [](int bits, int samples, bool compressed, bool grey = false) {
    return Bits(bits, samples,
                [=](TIOParamsVals& p) { p.TGACompressed = compressed ? 1 : 0, p.TGAGrayLevel = grey ? 1 : 0; });
  };
  const char* const jpegDecode = "jpegtopnm -quiet {}";
  const char* const pngDecode = "pngtopnm {}";
  const char* const bmpDecode = "bmptopnm -quiet {}";
  const char* const j2kDecode = "opj_decompress -quiet -i {} -o {}.pnm >/dev/null && cat {}.pnm";
  const char* const icoDecode = "winicontopam {} | pamtopnm";
  const char* const pcxDecode = "pcxtoppm -quiet {}";
  const char* const tgaDecode = "tgatoppm -quiet {}";
  const char* const gifDecode = "giftopnm -quiet {}";
  return {
      {"BMP 24-bit", ioBMP, bmp(8, 3, 1, 0), lsExact, 0, bmpDecode},
      {"BMP 24-bit other header", ioBMP, bmp(8, 3, 0, 0), lsExact, 0, bmpDecode},
      {"BMP 24-bit OS/2 1.x", ioBMP, bmp(8, 3, 2, 0), lsExact, 0, bmpDecode},
      // bmptopnm takes no 64-byte OS/2 2.x header ("height is zero", also for one built by hand).
      {"BMP 24-bit OS/2 2.x", ioBMP, bmp(8, 3, 3, 0), lsExact, 0, nullptr},
      {"BMP 8-bit", ioBMP, bmp(8, 1, 1, 0), lsExact, 0, bmpDecode},
      {"BMP 8-bit RLE8", ioBMP, bmp(8, 1, 1, 1), lsExact, 0, bmpDecode},
      {"BMP 8-bit OS/2 1.x", ioBMP, bmp(8, 1, 2, 0), lsExact, 0, bmpDecode},
      {"BMP 8-bit OS/2 2.x RLE8", ioBMP, bmp(8, 1, 3, 1), lsExact, 0, nullptr},
      // 16 colours: the quantizer's grid moves grey levels by up to a step.
      {"BMP 4-bit", ioBMP, bmp(4, 1, 1, 0), lsLevels, 17, bmpDecode},
      {"BMP 4-bit RLE4", ioBMP, bmp(4, 1, 1, 1), lsLevels, 17, bmpDecode},
      {"BMP 1-bit", ioBMP, bmp(1, 1, 1, 0), lsBilevel, 0, bmpDecode},
      {"BMP 1-bit OS/2 1.x", ioBMP, bmp(1, 1, 2, 0), lsBilevel, 0, bmpDecode},

      // Blocks of one colour: only the halved chroma at the block edges moves.
      {"JPEG YCbCr", ioJPEG, jpeg([](TIOParamsVals&) {}), lsLossy, 6, jpegDecode},
      {"JPEG RGB", ioJPEG, jpeg([](TIOParamsVals& p) { p.JPEGColorSpace = 0; }), lsLossy, 2, jpegDecode},
      {"JPEG grey", ioJPEG, jpeg([](TIOParamsVals& p) { p.JPEGColorSpace = 1; }), lsLossyLuma, 2, jpegDecode},
      {"JPEG CMYK", ioJPEG, jpeg([](TIOParamsVals& p) { p.JPEGColorSpace = 3; }), lsLossy, 3, jpegDecode},
      {"JPEG YCCK", ioJPEG, jpeg([](TIOParamsVals& p) { p.JPEGColorSpace = 4; }), lsLossy, 6, jpegDecode},
      {"JPEG fast DCT", ioJPEG, jpeg([](TIOParamsVals& p) { p.JPEGDCTMethod = 1; }), lsLossy, 6, jpegDecode},
      {"JPEG float DCT", ioJPEG, jpeg([](TIOParamsVals& p) { p.JPEGDCTMethod = 2; }), lsLossy, 6, jpegDecode},
      {"JPEG optimal Huffman", ioJPEG, jpeg([](TIOParamsVals& p) { p.JPEGOptimalHuffman = 1; }), lsLossy, 6,
       jpegDecode},
      {"JPEG smoothed", ioJPEG, jpeg([](TIOParamsVals& p) { p.JPEGSmooth = 50; }), lsLossy, 12, jpegDecode},
      {"JPEG progressive", ioJPEG, jpeg([](TIOParamsVals& p) { p.JPEGProgressive = 1; }), lsLossy, 6, jpegDecode},
      {"JPEG quality 50", ioJPEG, [](TIOParamsVals& p) { p.JPEGQuality = 50; }, lsLossy, 14, jpegDecode},

      {"TIFF RGB", ioTIFF, tiff(8, 3, 0), lsExact, 0, kTiffDecode},
      {"TIFF RGB LZW", ioTIFF, tiff(8, 3, 5), lsExact, 0, kTiffDecode},
      {"TIFF RGB PackBits", ioTIFF, tiff(8, 3, 8), lsExact, 0, kTiffDecode},
      {"TIFF RGB old JPEG asked", ioTIFF, tiff(8, 3, 6), lsExact, 0, kTiffDecode},
      {"TIFF YCbCr without JPEG", ioTIFF, tiff(8, 3, 0, 6), lsExact, 0, kTiffDecode},
      {"TIFF JPEG YCbCr", ioTIFF, tiff(8, 3, 7), lsLossy, 6, kTiffRGBADecode},
      {"TIFF JPEG RGB", ioTIFF, tiff(8, 3, 7, 2, 0), lsLossy, 2, kTiffRGBADecode},
      {"TIFF JPEG grey", ioTIFF, tiff(8, 3, 7, 2, 1), lsLossyLuma, 2, kTiffRGBADecode},
      {"TIFF JPEG CMYK", ioTIFF, tiff(8, 3, 7, 2, 3), lsLossy, 6, kTiffRGBADecode},
      // libtiff's L*a*b* display table shows no level between 0 and 12, where the CMYK source's dark levels lie.
      {"TIFF CIE L*a*b*", ioTIFF, tiff(8, 3, 0, 7), lsExact, 6, kTiffRGBADecode},
      {"TIFF JPEG RGB as space 0", ioTIFF, tiff(8, 3, 7, 2, 4), lsLossy, 2, kTiffRGBADecode},
      {"TIFF CMYK", ioTIFF, tiff(8, 4, 0, 5), lsExact, 2, kTiffRGBADecode},
      {"TIFF CMYK PackBits", ioTIFF, tiff(8, 4, 8, 5), lsExact, 2, kTiffRGBADecode},
      {"TIFF 8-bit", ioTIFF, tiff(8, 1, 0, 1), lsLevels, 0, kTiffDecode},
      {"TIFF 8-bit LZW", ioTIFF, tiff(8, 1, 5, 1), lsLevels, 0, kTiffDecode},
      {"TIFF 8-bit PackBits", ioTIFF, tiff(8, 1, 8, 3), lsLevels, 0, kTiffDecode},
      {"TIFF 16-bit", ioTIFF, tiff(16, 1, 0, 1), lsLevels, 1, kTiffDecode},
      {"TIFF 4-bit", ioTIFF, tiff(4, 1, 5, 3), lsLevels, 9, kTiffDecode},
      {"TIFF 2-bit", ioTIFF, tiff(2, 1, 0, 1), lsLevels, 43, kTiffDecode},
      {"TIFF 1-bit", ioTIFF, tiff(1, 1, 0, 1), lsBilevel, 0, kTiffDecode},
      {"TIFF 1-bit CCITT MH", ioTIFF, tiff(1, 1, 1, 0), lsBilevel, 0, kTiffDecode},
      {"TIFF 1-bit Group 3 1-D", ioTIFF, tiff(1, 1, 2, 0), lsBilevel, 0, kTiffDecode},
      {"TIFF 1-bit Group 3 2-D", ioTIFF, tiff(1, 1, 3, 0), lsBilevel, 0, kTiffDecode},
      {"TIFF 1-bit Group 4", ioTIFF, tiff(1, 1, 4, 0), lsBilevel, 0, kTiffDecode},
      {"TIFF 1-bit LZW", ioTIFF, tiff(1, 1, 5, 1), lsBilevel, 0, kTiffDecode},
      {"TIFF 1-bit PackBits", ioTIFF, tiff(1, 1, 8, 1), lsBilevel, 0, kTiffDecode},

      {"PNG RGB", ioPNG, png(8, 3, 0, 5), lsExact, 0, pngDecode},
      {"PNG RGB sub stored", ioPNG, png(8, 3, 1, 0), lsExact, 0, pngDecode},
      {"PNG RGB Paeth 9 interlaced", ioPNG, png(8, 3, 2, 9, true), lsExact, 0, pngDecode},
      {"PNG 8-bit", ioPNG, png(8, 1, 0, 5), lsExact, 0, pngDecode},
      {"PNG 8-bit interlaced", ioPNG, png(8, 1, 1, 9, true), lsExact, 0, pngDecode},
      {"PNG 4-bit", ioPNG, png(4, 1, 0, 5), lsLevels, 9, pngDecode},
      {"PNG 2-bit", ioPNG, png(2, 1, 2, 5), lsLevels, 43, pngDecode},
      {"PNG 1-bit", ioPNG, png(1, 1, 0, 5), lsBilevel, 0, pngDecode},
      {"PNG 1-bit interlaced", ioPNG, png(1, 1, 0, 5, true), lsBilevel, 0, pngDecode},

      {"JPEG 2000 RGB", ioJP2, j2k(1, 1.0, 0), lsLossy, 1, j2kDecode},
      {"JPEG 2000 YCbCr", ioJP2, j2k(2, 1.0, 1), lsLossy, 1, j2kDecode},
      {"JPEG 2000 grey", ioJP2, j2k(0, 1.0, 0), lsLossyGrey, 1, j2kDecode},
      {"JPEG 2000 rate 0.5", ioJP2, j2k(1, 0.5, 0), lsLossy, 16, j2kDecode},
      {"JPEG 2000 4-bit samples", ioJP2, Bits(4, 3, j2k(1, 1.0, 0)), lsExact, 17, j2kDecode},  // levels truncated
      {"JPEG 2000 12-bit samples", ioJP2, Bits(12, 3, j2k(1, 1.0, 0)), lsLossy, 1, j2kDecode},
      {"JPEG 2000 code stream", ioJ2K, j2k(1, 1.0, 0), lsLossy, 1, j2kDecode},
      {"JPEG 2000 code stream grey RLCP", ioJ2K, j2k(0, 1.0, 1), lsLossyGrey, 1, j2kDecode},

      {"PostScript run-length", ioPS, page(0, 0), lsExact, 0, kPSDecode},
      {"PostScript Group 4", ioPS, page(1, 0), lsExact, 0, kPSDecode},
      {"PostScript Group 3 2-D", ioPS, page(2, 0), lsExact, 0, kPSDecode},
      {"PostScript JPEG", ioPS, page(3, 0), lsLossy, 6, kPSDecode},
      {"PostScript JPEG RGB", ioPS, page(3, 0, 0), lsLossy, 2, kPSDecode},
      {"PDF uncompressed", ioPDF, page(0, 0), lsExact, 0, kPDFDecode, 4},
      {"PDF run-length", ioPDF, page(0, 1), lsExact, 0, kPDFDecode, 4},
      {"PDF Group 4", ioPDF, page(0, 2), lsExact, 0, kPDFDecode, 4},
      {"PDF Group 3 2-D", ioPDF, page(0, 3), lsExact, 0, kPDFDecode, 4},
      {"PDF JPEG", ioPDF, page(0, 4), lsLossy, 6, kPDFDecode, 4},

      {"ICO 24-bit", ioICO, Icons({24}), lsExact, 0, icoDecode},
      {"ICO 32-bit", ioICO, Icons({32}), lsExact, 0, icoDecode},
      // 255 and 15 colours: the quantizer's grid.
      {"ICO 8-bit", ioICO, Icons({8}), lsExact, 1, icoDecode},
      {"ICO 4-bit", ioICO, Icons({4}), lsExact, 17, icoDecode},
      {"ICO 1-bit", ioICO, Icons({1}), lsBilevel, 0, icoDecode},
      {"ICO two sizes", ioICO, Icons({24, 8}), lsExact, 0, icoDecode},

      {"PBM", ioPXM, Bits(1, 1), lsBilevel, 0, "pamtopnm {}"},
      {"PGM", ioPXM, Bits(8, 1), lsGrey, 0, "pamtopnm {}"},
      {"PPM with a comment", ioPXM, Bits(8, 3, [](TIOParamsVals& p) { p.PNMComments.push_back("made by the matrix"); }),
       lsExact, 0, "pamtopnm {}"},
      {"WBMP", ioWBMP, {}, lsBilevel, 0, "wbmptopbm {}"},

      {"GIF 8-bit", ioGIF, gif(8, false), lsExact, 0, gifDecode},
      {"GIF 8-bit interlaced", ioGIF, gif(8, true), lsExact, 0, gifDecode},
      {"GIF 87a", ioGIF, gif(8, false, "GIF87a"), lsExact, 0, gifDecode},
      // 16 and 4 colours: the quantizer's grid.
      {"GIF 4-bit", ioGIF, gif(4, false), lsExact, 17, gifDecode},
      {"GIF 2-bit", ioGIF, gif(2, true), lsExact, 64, gifDecode},
      {"GIF 1-bit", ioGIF, gif(1, false), lsBilevel, 0, gifDecode},

      {"PCX 24-bit", ioPCX, pcx(8, 3, 1), lsExact, 0, pcxDecode},
      // pcxtoppm reads only run-length coded files ("unknown encoding scheme: 0").
      {"PCX 24-bit raw", ioPCX, pcx(8, 3, 0), lsExact, 0, nullptr},
      {"PCX 24-bit version 3", ioPCX, pcx(8, 3, 1, 3), lsExact, 0, pcxDecode},
      {"PCX 8-bit", ioPCX, pcx(8, 1, 1), lsExact, 0, pcxDecode},
      {"PCX 8-bit raw", ioPCX, pcx(8, 1, 0), lsExact, 0, nullptr},
      {"PCX 4-bit", ioPCX, pcx(4, 1, 1), lsLevels, 17, pcxDecode},
      {"PCX 1-bit", ioPCX, pcx(1, 1, 1), lsBilevel, 0, pcxDecode},
      {"PCX 1-bit raw", ioPCX, pcx(1, 1, 0), lsBilevel, 0, nullptr},
      {"DCX 24-bit", ioDCX, pcx(8, 3, 1), lsExact, 0, kDCXDecode},
      {"DCX 8-bit raw", ioDCX, pcx(8, 1, 0), lsExact, 0, nullptr},

      {"TGA 24-bit", ioTGA, tga(8, 3, false), lsExact, 0, tgaDecode},
      {"TGA 24-bit RLE", ioTGA, tga(8, 3, true), lsExact, 0, tgaDecode},
      {"TGA 8-bit", ioTGA, tga(8, 1, false), lsExact, 0, tgaDecode},
      {"TGA 8-bit RLE", ioTGA, tga(8, 1, true), lsExact, 0, tgaDecode},
      {"TGA 8-bit grey RLE", ioTGA, tga(8, 1, true, true), lsGrey, 0, tgaDecode},
      // tgatoppm reads no 4-bit or 1-bit image ("unknown pixel size").
      {"TGA 4-bit", ioTGA, tga(4, 1, false), lsLevels, 17, nullptr},
      {"TGA 1-bit", ioTGA, tga(1, 1, false), lsBilevel, 0, nullptr},
  };
}

// A file saved for one row from one pixel format, and what it must show.
struct TSaved {
  const TWriterRow* row;
  TPXPixelFormat format;
  std::string file;  // shared by the rows and formats that wrote the same bytes
  TRGB source;
};

TEST(SaveMatrix, EveryPixelFormatInEveryWriter) {
  for (const char* tool : {"bmptopnm", "tifftopnm", "opj_decompress", "gs", "pdftoppm", "giftopnm"})
    if (!testing::HaveTool(tool)) GTEST_SKIP() << tool << " missing";
  const std::string dir = testing::MakeTempDir("savematrix");
  const std::vector<TWriterRow> rows = WriterRows();
  std::map<std::vector<uint8_t>, std::string> files;  // bytes -> file, decoded once
  std::map<std::string, const TWriterRow*> fileRows;
  std::vector<TSaved> saved;
  for (const TWriterRow& row : rows) {
    if (!testing::FormatBuilt(row.type)) continue;
    const TPXFormatCodec* codec = FindFormatCodec(row.type);
    ASSERT_TRUE(codec && codec->Write) << row.name;
    for (int f = pxBW1; f < kPXPixelFormatCount; ++f) {
      const auto format = static_cast<TPXPixelFormat>(f);
      if (format == row.skip) continue;
      SCOPED_TRACE(std::string(row.name) + " from pixel format " + std::to_string(f));
      TPixoranIO io;
      if (row.options) row.options(io.Params());
      FillFormat(*io.PXBitmap(), format);
      TPXBitmap before;
      before.CopyPixelsFrom(*io.PXBitmap());
      const TRGB source = RGBOf(*io.PXBitmap());

      TMemoryStream ms;
      io.SaveToStream(ms, row.type);
      ASSERT_FALSE(io.Aborting()) << io.LastResultText();
      ASSERT_GT(ms.Size(), 0);
      // The caller's image is unchanged.
      ASSERT_EQ(io.PXBitmap()->PixelFormat(), format);
      for (int y = 0; y < kSize; ++y)
        ASSERT_EQ(std::memcmp(io.PXBitmap()->Scanline(y), before.Scanline(y), io.PXBitmap()->RowLen()), 0);

      // Our reader, by content where the format is detected.
      if (codec->Read) {
        TPixoranIO reader;
        ms.SetPosition(0);
        if (codec->Flags & cfLoadDetected) reader.LoadFromStream(ms);
        else reader.LoadFromStreamFormat(ms, row.type);
        ASSERT_FALSE(reader.Aborting()) << reader.LastResultText();
        EXPECT_EQ(reader.Params().FileType, row.type);
        ASSERT_EQ(reader.PXBitmap()->Width(), kSize);
        ASSERT_EQ(reader.PXBitmap()->Height(), kSize);
        EXPECT_TRUE(WithinLoss(row.loss, row.tolerance, format == pxBW1, source, RGBOf(*reader.PXBitmap())))
            << "our reader";
      }
      if (!row.decode) continue;
      const std::vector<uint8_t> bytes = ms.Bytes();
      auto [it, added] = files.emplace(bytes, dir + "/f" + std::to_string(files.size()));
      if (added) {
        ASSERT_TRUE(testing::WriteFileBytes(it->second, bytes.data(), bytes.size()));
        fileRows[it->second] = &row;
      }
      saved.push_back({&row, format, it->second, source});
    }
  }

  // The other programs, one shell for every distinct file: each decodes
  // to <file>.out.pnm, or its name is reported.
  std::string script;
  for (const auto& [file, row] : fileRows)
    script += "( " + Expand(row->decode, file) + " ) > " + file + ".out.pnm 2>" + file + ".err || echo " + file + "\n";
  std::ofstream(dir + "/decode.sh") << script;
  std::stringstream failed;
  {
    ASSERT_EQ(std::system(("sh " + dir + "/decode.sh > " + dir + "/failed.txt 2>&1").c_str()), 0);
    std::ifstream in(dir + "/failed.txt");
    failed << in.rdbuf();
  }
  for (std::string file; std::getline(failed, file);) {
    const std::vector<uint8_t> err = testing::ReadFileBytes(file + ".err");
    ADD_FAILURE() << fileRows[file]->name << ": " << std::string(err.begin(), err.end());
  }
  for (const TSaved& s : saved) {
    SCOPED_TRACE(std::string(s.row->name) + " from pixel format " + std::to_string(s.format));
    TPnm pnm;
    if (!ReadPnm(s.file + ".out.pnm", pnm)) {
      ADD_FAILURE() << "no image from " << s.row->decode;
      continue;
    }
    ASSERT_EQ(pnm.Width, kSize * s.row->scale);
    ASSERT_EQ(pnm.Height, kSize * s.row->scale);
    EXPECT_TRUE(WithinLoss(s.row->loss, s.row->tolerance, s.format == pxBW1, s.source, RGBOf(pnm, s.row->scale)))
        << s.row->decode;
  }
}

// Transparency: a 24-bit image whose alpha channel holds a transparent, a
// half-transparent and two opaque blocks, saved by every writer that keeps
// it, and read by another program: the alpha comes back (as transparent and
// opaque only where the format has no levels), and the opaque pixels keep
// their colours.
TEST(SaveMatrix, TransparencyReadByOtherPrograms) {
  for (const char* tool : {"pngtopnm", "tgatoppm", "winicontopam", "pamchannel", "giftopnm"})
    if (!testing::HaveTool(tool)) GTEST_SKIP() << tool << " missing";
  const std::string dir = testing::MakeTempDir("savematrix-alpha");
  struct Case {
    const char* name;
    int32_t type;
    std::function<void(TIOParamsVals&)> options;
    bool twoLevels;  // transparent or opaque only
    const char* colour;
    const char* alpha;  // the alpha as a PNM on stdout
  } cases[] = {
      {"PNG RGBA", ioPNG, Bits(8, 3), false, "pngtopnm {}", "pngtopnm -alpha {}"},
      {"PNG palette with tRNS", ioPNG, Bits(8, 1), true, "pngtopnm {}", "pngtopnm -alpha {}"},
      {"TGA 32-bit", ioTGA, Bits(8, 3, [](TIOParamsVals& p) { p.TGACompressed = 0; }), false, "tgatoppm {}",
       "tgatoppm -alphaout={}.alpha {} >/dev/null && cat {}.alpha"},
      {"TGA 32-bit RLE", ioTGA, Bits(8, 3), false, "tgatoppm {}",
       "tgatoppm -alphaout={}.alpha {} >/dev/null && cat {}.alpha"},
      {"ICO 32-bit", ioICO, Icons({32}), false, "winicontopam {} | pamtopnm",
       "winicontopam {} | pamchannel -tupletype=GRAYSCALE 3 | pamtopnm"},
      {"ICO 8-bit", ioICO, Icons({8}), true, "winicontopam {} | pamtopnm",
       "winicontopam {} | pamchannel -tupletype=GRAYSCALE 3 | pamtopnm"},
      {"ICO 4-bit", ioICO, Icons({4}), true, "winicontopam {} | pamtopnm",
       "winicontopam {} | pamchannel -tupletype=GRAYSCALE 3 | pamtopnm"},
      {"GIF 8-bit", ioGIF, Bits(8, 1), true, "giftopnm {}",
       "giftopnm -alphaout={}.alpha {} >/dev/null && cat {}.alpha"},
  };
  auto alphaAt = [](int x, int y) { return static_cast<uint8_t>(y < 8 ? (x < 8 ? 0 : 128) : 255); };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TPixoranIO io;
    c.options(io.Params());
    FillFormat(*io.PXBitmap(), pxBGR24);
    for (int y = 0; y < kSize; ++y)
      for (int x = 0; x < kSize; ++x) io.PXBitmap()->SetAlpha(x, y, alphaAt(x, y));
    const TRGB source = RGBOf(*io.PXBitmap());
    // Saved by its extension, as a user saves it.
    const char* ext = c.type == ioPNG ? ".png" : c.type == ioTGA ? ".tga" : c.type == ioICO ? ".ico" : ".gif";
    const std::string file = dir + "/" + std::to_string(&c - cases) + ext;
    io.SaveToFile(file);
    ASSERT_FALSE(io.Aborting()) << io.LastResultText();
    // Not through RunTool: dash drops a subshell's redirection inside a
    // redirected group.
    std::ofstream(file + ".sh") << "( " << Expand(c.colour, file) << " ) > " << file << ".rgb.pnm && ( "
                                << Expand(c.alpha, file) << " ) > " << file << ".a.pnm\n";
    ASSERT_EQ(std::system(("sh " + file + ".sh 2>/dev/null").c_str()), 0);
    TPnm colour, alpha;
    ASSERT_TRUE(ReadPnm(file + ".rgb.pnm", colour));
    ASSERT_TRUE(ReadPnm(file + ".a.pnm", alpha));
    ASSERT_EQ(colour.Width, kSize);
    ASSERT_EQ(alpha.Width, kSize);
    const TRGB got = RGBOf(colour, 1);
    const TRGB gotAlpha = RGBOf(alpha, 1);
    for (int y = 0; y < kSize; ++y)
      for (int x = 0; x < kSize; ++x) {
        const int a = alphaAt(x, y);
        const int want = c.twoLevels ? (a == 255 ? 255 : 0) : a;
        const size_t i = (static_cast<size_t>(y) * kSize + x) * 3;
        ASSERT_EQ(gotAlpha[i], want) << "alpha at " << x << "," << y;
        if (a != 255) continue;
        for (int ch = 0; ch < 3; ++ch) ASSERT_EQ(got[i + ch], source[i + ch]) << "colour at " << x << "," << y;
      }
  }
}

}  // namespace
}  // namespace pixoran
