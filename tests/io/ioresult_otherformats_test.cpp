// Why a load or save of BMP, icons, cursors, PCX, DCX, TGA, AVI, metafiles,
// PostScript and PDF failed: the result kind, and a text naming the format,
// for damaged files, impossible fields, huge claims, missing files and a
// full disk. A refused load leaves the bitmap as it was.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <algorithm>
#include <cctype>
#include <csignal>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "avi_builder.h"
#include "core/kopxutils_settings.h"
#include "core/pxview.h"
#include "filtertools.h"
#include "sizes_mioview.h"
#include "io/pixoranio.h"
#include "io/pxfiltutil.h"
#include "io/pxmio.h"
#include "platform/classes.h"
#include "tests/sanitized.h"

namespace pixoran {
namespace {

using namespace pixoran::testing;

bool Names(const std::string& text, const std::string& format) {
  auto lower = [](std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
  };
  return lower(text).find(lower(format)) != std::string::npos;
}

// A noisy picture of w x h in the component's bitmap.
void Noise(TPixoranIO& io, int32_t w, int32_t h, uint32_t seed = 7) {
  TPXBitmap& b = *io.PXBitmap();
  ASSERT_TRUE(b.Allocate(w, h, pxBGR24));
  for (int32_t y = 0; y < h; ++y) {
    uint8_t* row = b.Scanline(y);
    for (int32_t x = 0; x < 3 * w; ++x) row[x] = static_cast<uint8_t>((seed = seed * 1103515245u + 12345u) >> 16);
  }
}

Bytes Saved(const std::string& dir, const char* ext) {
  TPixoranIO io;
  Noise(io, 24, 16);
  const std::string path = dir + "/valid." + ext;
  io.SaveToFile(path);
  EXPECT_FALSE(io.Aborting()) << ext;
  return ReadFileBytes(path);
}

Bytes Cut(Bytes b, size_t size) {
  b.resize(std::min(size, b.size()));
  return b;
}

Bytes With(Bytes b, size_t at, std::initializer_list<uint8_t> bytes) {
  std::copy(bytes.begin(), bytes.end(), b.begin() + static_cast<std::ptrdiff_t>(at));
  return b;
}

// A BMP with a 40-byte header (height negative: top-down) and its pixel data.
Bytes HandBmp(int32_t w, int32_t h, uint16_t bits, uint32_t compression, const Bytes& data) {
  const uint32_t colours = bits <= 8 ? (1u << bits) : 0;
  TLEBytes b;
  b.Str("BM"), b.U32(0), b.U32(0), b.U32(14 + 40 + 4 * colours);
  b.U32(40), b.U32(static_cast<uint32_t>(w)), b.U32(static_cast<uint32_t>(h)), b.U16(1), b.U16(bits);
  b.U32(compression), b.U32(static_cast<uint32_t>(data.size())), b.U32(2835), b.U32(2835), b.U32(colours), b.U32(0);
  for (uint32_t i = 0; i < colours; ++i) b.U32(i * 0x010101u);
  b.Raw(data);
  return b.b;
}

// A 4 x 4 1-bit cursor (its hot spot 1, 2).
Bytes HandCursor() {
  TLEBytes b;
  b.U16(0), b.U16(2), b.U16(1);
  b.U8(4), b.U8(4), b.U8(2), b.U8(0), b.U16(1), b.U16(2), b.U32(80), b.U32(22);
  b.U32(40), b.U32(4), b.U32(8), b.U16(1), b.U16(1), b.U32(0), b.U32(0), b.U32(0), b.U32(0), b.U32(0), b.U32(0);
  b.U32(0x000000), b.U32(0xFFFFFF);
  for (int i = 0; i < 4; ++i) b.U32(i % 2 ? 0x50u : 0xA0u);
  for (int i = 0; i < 4; ++i) b.U32(0);
  return b.b;
}

Bytes ToBytes(const std::string& s) { return Bytes(s.begin(), s.end()); }

Bytes Avi(int32_t w, int32_t h, const std::string& frame, const char* type = "vids") {
  std::string avi = MakeAVI(w, h, 24, 0, "", {{frame, true}, {frame, true}});
  const size_t at = avi.find("vids");
  avi.replace(at, 4, type);
  return ToBytes(avi);
}

// An EMF header alone: its frame in 0.01 mm, no reference device (96 dpi).
Bytes Emf(int32_t right, int32_t bottom) {
  TLEBytes b;
  b.U32(1), b.U32(88), b.U32(0), b.U32(0), b.U32(0), b.U32(0);
  b.U32(0), b.U32(0), b.U32(static_cast<uint32_t>(right)), b.U32(static_cast<uint32_t>(bottom));
  b.U32(0x464D4520), b.U32(0x10000), b.U32(88), b.U32(1);
  while (b.b.size() < 88) b.U8(0);
  return b.b;
}

// A placeable WMF header over an empty metafile header.
Bytes Wmf(int16_t right, int16_t bottom, uint16_t inch) {
  TLEBytes b;
  b.U32(0x9AC6CDD7), b.U16(0), b.U16(0), b.U16(0), b.U16(static_cast<uint16_t>(right)),
      b.U16(static_cast<uint16_t>(bottom)), b.U16(inch), b.U32(0), b.U16(0);
  b.U16(1), b.U16(9), b.U16(0x300), b.U32(9), b.U16(0), b.U32(0), b.U16(0);
  b.U32(3), b.U16(0);  // the end record
  return b.b;
}

struct TFailure {
  std::function<Bytes()> make;  // empty: no such file of the format
  TPXIOResult kind = iorCorrupt;
  bool untouched = true;  // refused before the bitmap was allocated
};

struct TFormatRow {
  const char* name;  // the format the text names
  const char* ext;
  TFailure truncated, badData, impossible, huge;
  bool reads = true, writes = true;
};

struct TOutcome {
  TPXIOResult kind = iorOk;
  std::string text;
  bool aborting = false, threw = false, untouched = false;
};

TOutcome Load(const std::string& path) {
  TPixoranIO io;
  Noise(io, 7, 5, 99);
  const TRGBImage before = FromBitmap(*io.PXBitmap());
  TOutcome o;
  try {
    io.LoadFromFile(path);
  } catch (const EFOpenError&) {
    o.threw = true;
  }
  o.kind = io.LastResult();
  o.text = io.LastResultText();
  o.aborting = io.Aborting();
  o.untouched = io.PXBitmap()->PixelFormat() == pxBGR24 && SameImage(before, FromBitmap(*io.PXBitmap()));
  return o;
}

// Files of this process may not grow past a few bytes for a scope: writes
// past it fail as on a full disk (the signal that would end the process is
// ignored meanwhile).
class TFileLimitScope {
 public:
  explicit TFileLimitScope(rlim_t bytes) {
    getrlimit(RLIMIT_FSIZE, &saved_);
    old_ = std::signal(SIGXFSZ, SIG_IGN);
    rlimit r = saved_;
    r.rlim_cur = bytes;
    setrlimit(RLIMIT_FSIZE, &r);
  }
  ~TFileLimitScope() {
    setrlimit(RLIMIT_FSIZE, &saved_);
    std::signal(SIGXFSZ, old_);
  }

 private:
  rlimit saved_{};
  void (*old_)(int) = nullptr;
};

TEST(IOResultOtherFormats, EveryFailureNamesItsKindAndFormat) {
  const std::string dir = MakeTempDir("ioresult-other");
  const Bytes bmp = Saved(dir, "bmp"), ico = Saved(dir, "ico"), pcx = Saved(dir, "pcx"), dcx = Saved(dir, "dcx"),
              tga = Saved(dir, "tga"), cur = HandCursor();
  ASSERT_FALSE(bmp.empty() || ico.empty() || pcx.empty() || dcx.empty() || tga.empty());
  const size_t page = GetLE32(dcx.data() + 4);
  const std::string avi = MakeAVI(2, 2, 24, 0, "", {{std::string(16, 'a'), true}, {std::string(16, 'b'), true}});
  const Bytes none;

  const std::vector<TFormatRow> rows = {
      {"BMP",
       "bmp",
       {[&] { return Cut(bmp, bmp.size() - 100); }},
       {[&] {
          return HandBmp(4, 4, 8, 1, {5, 1});
        },
        iorCorrupt, false},  // run lengths that stop short
       {[&] { return HandBmp(-5, 4, 24, 0, Bytes(64, 1)); }},
       {[&] { return HandBmp(65535, 65535, 24, 0, Bytes(200, 1)); }, iorTooLarge}},
      {"ICO",
       "ico",
       {[&] { return Cut(ico, 22 + 40 + 1024 + 100); }},
       {[&] {
         return With(ico, 18, {0xF0, 0xFF, 0xFF, 0});
       }},  // the image past the end
       {[&] {
         return With(With(ico, 8, {0}), 22 + 14, {0, 0});
       }},  // no bit count anywhere
       {[&] {
          return With(ico, 22 + 4, {0xE8, 0x03, 0, 0, 0xD0, 0x07, 0, 0});
        },
        iorTooLarge}},
      {"CUR",
       "cur",
       {[&] { return Cut(cur, 22 + 40 + 8 + 4); }},
       {[&] {
         return With(cur, 18, {0xF0, 0xFF, 0xFF, 0});
       }},
       {[&] {
         return With(With(cur, 8, {0}), 22 + 14, {0, 0});
       }},
       {[&] {
          return With(cur, 22 + 4, {0xE8, 0x03, 0, 0, 0xD0, 0x07, 0, 0});
        },
        iorTooLarge},
       true,
       false},
      {"PCX",
       "pcx",
       {[&] { return Cut(pcx, pcx.size() - 30); }, iorCorrupt, false},
       {[&] { return Cut(With(pcx, 65, {1}), 128 + 100); }},  // 8 bits with no room for the palette
       {[&] {
         return With(pcx, 4, {9, 0, 0, 0, 2, 0});
       }},  // xmax below xmin
       {[&] {
          return With(With(pcx, 8, {0xFE, 0xFF, 0xFE, 0xFF}), 66, {0xFF, 0xFF});
        },
        iorTooLarge}},
      {"DCX",
       "dcx",
       {[&] { return Cut(dcx, dcx.size() - 30); }, iorCorrupt, false},
       {[&] {
         return With(dcx, 4, {0xFF, 0xFF, 0xFF, 0x7F});
       }},  // a page past the end
       {[&] {
         return With(dcx, page + 4, {9, 0, 0, 0, 2, 0});
       }},
       {[&] {
          return With(With(dcx, page + 8, {0xFE, 0xFF, 0xFE, 0xFF}), page + 66, {0xFF, 0xFF});
        },
        iorTooLarge}},
      {"TGA",
       "tga",
       {[&] { return Cut(tga, 18 + 1 + 100); }, iorCorrupt, false},
       {[&] { return With(tga, 1, {7}); }},  // colour map type 7
       {[&] {
         return With(tga, 12, {0, 0});
       }},
       {[&] {
          return With(tga, 12, {0xFF, 0xFF, 0xFF, 0xFF});
        },
        iorTooLarge}},
      {"AVI",
       "avi",
       {[&] { return ToBytes(avi.substr(0, 200)); }},
       {[&] { return Avi(2, 2, std::string(16, 'a'), "auds"); }, iorUnsupported},
       {[&] { return Avi(0, 2, std::string(16, 'a')); }},
       {[&] { return Avi(65535, 65535, std::string(200, 'a')); }, iorTooLarge},
       true,
       false},
      {"EMF",
       "emf",
       {[&] { return Cut(Emf(2540, 2540), 40); }},
       {[&] { return With(Emf(2540, 2540), 40, {0}); }},  // no " EMF" signature
       {[&] { return Emf(-2540, 2540); }},                // a frame without size
       {},
       true,
       false},
      {"WMF",
       "wmf",
       {[&] { return Cut(Wmf(1440, 720, 1440), 12); }},
       {[&] { return Wmf(1440, 720, 0); }},  // no units per inch
       {[&] { return Wmf(-1440, 720, 1440); }},
       {},
       true,
       false},
      {"PostScript", "ps", {}, {}, {}, {}, false, true},
      {"PDF", "pdf", {}, {}, {}, {}, false, true},
  };

  for (const TFormatRow& row : rows) {
    SCOPED_TRACE(row.name);
    const struct {
      const char* what;
      const TFailure* failure;
    } cases[] = {{"truncated", &row.truncated},
                 {"bad data", &row.badData},
                 {"impossible field", &row.impossible},
                 {"huge claim", &row.huge}};
    for (const auto& c : cases) {
      if (!c.failure->make) continue;
      SCOPED_TRACE(c.what);
      const std::string path = dir + "/case." + row.ext;
      WriteFileBytes(path, c.failure->make());
      const TOutcome o = Load(path);
      EXPECT_TRUE(o.aborting);
      EXPECT_FALSE(o.threw);
      EXPECT_EQ(IOResultName(o.kind), std::string(IOResultName(c.failure->kind))) << o.text;
      EXPECT_TRUE(Names(o.text, row.name)) << o.text;
      if (c.failure->untouched) {
        EXPECT_TRUE(o.untouched);
      }
    }
    if (row.reads) {
      // A missing file: the built-in loads pass the open error on; AVI and
      // metafile loads report it.
      const TOutcome o = Load(dir + "/missing." + row.ext);
      EXPECT_TRUE(o.aborting);
      EXPECT_EQ(o.kind, iorNotFound) << o.text;
      EXPECT_TRUE(Names(o.text, row.name) || Names(o.text, row.ext)) << o.text;
      EXPECT_TRUE(o.untouched);
    }
    if (row.writes) {
      const std::string target = dir + "/full/picture." + row.ext;
      std::filesystem::create_directories(dir + "/full");
      TPixoranIO io;
      Noise(io, 64, 48);
      bool threw = false;
      {
        TFileLimitScope full(512);
        try {
          io.SaveToFile(target);
        } catch (...) {
          threw = true;
        }
      }
      EXPECT_TRUE(io.Aborting() || threw);
      EXPECT_EQ(io.LastResult(), iorWriteFailed) << io.LastResultText();
      EXPECT_TRUE(Names(io.LastResultText(), "cannot write") && Names(io.LastResultText(), row.ext))
          << io.LastResultText();
      EXPECT_TRUE(std::filesystem::is_empty(dir + "/full")) << "a file was left behind";
    }
  }
}

// The AVI and metafile loads of the component say why, also when called
// directly.
TEST(IOResultOtherFormats, AVIAndMetafileLoadsCalledDirectly) {
  const std::string dir = MakeTempDir("ioresult-avi");
  TPixoranIO io;
  Noise(io, 7, 5, 99);
  const TRGBImage before = FromBitmap(*io.PXBitmap());

  EXPECT_EQ(io.OpenAVIFile(dir + "/none.avi"), 0);
  EXPECT_TRUE(io.Aborting());
  EXPECT_EQ(io.LastResult(), iorNotFound);
  EXPECT_TRUE(Names(io.LastResultText(), "AVI")) << io.LastResultText();

  WriteFileBytes(dir + "/huge.avi", Avi(65535, 65535, std::string(200, 'a')));
  ASSERT_EQ(io.OpenAVIFile(dir + "/huge.avi"), 2);
  EXPECT_EQ(io.LastResult(), iorOk);
  io.LoadFromAVI(1);
  EXPECT_TRUE(io.Aborting());
  EXPECT_EQ(io.LastResult(), iorTooLarge);
  EXPECT_TRUE(Names(io.LastResultText(), "AVI")) << io.LastResultText();
  io.LoadFromAVI(5);
  EXPECT_EQ(io.LastResult(), iorFailed);
  EXPECT_TRUE(Names(io.LastResultText(), "frame 5")) << io.LastResultText();
  io.CloseAVIFile();
  EXPECT_TRUE(SameImage(before, FromBitmap(*io.PXBitmap())));

  WriteFileBytes(dir + "/ok.avi", ToBytes(MakeAVI(2, 2, 24, 0, "", {{std::string(16, 'a'), true}})));
  ASSERT_EQ(io.OpenAVIFile(dir + "/ok.avi"), 1);
  io.LoadFromAVI(0);
  EXPECT_FALSE(io.Aborting());
  EXPECT_EQ(io.LastResult(), iorOk);
  io.CloseAVIFile();

  Noise(io, 7, 5, 99);
  WriteFileBytes(dir + "/flat.emf", Emf(-2540, 2540));
  io.ImportMetafile(dir + "/flat.emf", -1, -1, false);
  EXPECT_TRUE(io.Aborting());
  EXPECT_EQ(io.LastResult(), iorCorrupt);
  EXPECT_TRUE(Names(io.LastResultText(), "EMF")) << io.LastResultText();
  io.ImportMetafile(dir + "/none.wmf", 10, 10, false);
  EXPECT_EQ(io.LastResult(), iorNotFound);
  EXPECT_TRUE(Names(io.LastResultText(), "WMF")) << io.LastResultText();
  EXPECT_TRUE(SameImage(before, FromBitmap(*io.PXBitmap())));
  WriteFileBytes(dir + "/ok.wmf", Wmf(96, 48, 96));
  io.ImportMetafile(dir + "/ok.wmf", -1, -1, false);
  EXPECT_FALSE(io.Aborting());
  EXPECT_EQ(io.LastResult(), iorOk) << io.LastResultText();
  EXPECT_EQ(io.PXBitmap()->Width(), 96);
}

// Loads every frame of the AVI at path through the multi-image component,
// its temporary files in temp, under the processor-time limit and within
// the peak of the small-file table (no data-size limit: a claim held only
// by the memory budget would simply fail to allocate under one), and ends
// the process: 0 when it loaded (side 4) or refused the frames quickly
// and left no temporary file.
[[noreturn]] void LoadFramesAndExit(const std::string& path, const std::string& temp, int32_t side) {
  const rlim_t cpu = kSanitized ? 30 : 3;
  rlimit r{cpu, cpu};
  setrlimit(RLIMIT_CPU, &r);
  PXSettings().TempFolder = temp;
  TPixoranMIO mio;
  auto view = std::make_unique<TSizesView>();
  TSizesView* v = view.get();
  mio.SetAttachedMView(std::move(view));
  mio.LoadFromFile(path);
  rusage use{};
  getrusage(RUSAGE_SELF, &use);
  const long cpuMs =
      (use.ru_utime.tv_sec + use.ru_stime.tv_sec) * 1000L + (use.ru_utime.tv_usec + use.ru_stime.tv_usec) / 1000L;
  const bool loaded = !mio.Aborting() && v->ImageCount() == 40 && v->Sizes[0].first == side;
  const bool refused = mio.Aborting() && v->ImageCount() == 0;
  const bool quick = cpuMs < (kSanitized ? 10000 : 1000) && (kSanitized || use.ru_maxrss < 192 * 1024);
  std::fprintf(stderr, "aborting=%d images=%d cpu_ms=%ld peak_kb=%ld\n", mio.Aborting() ? 1 : 0, v->ImageCount(), cpuMs,
               use.ru_maxrss);
  std::_Exit((side == 4 ? loaded : refused) && quick && std::filesystem::is_empty(temp) ? 0 : 1);
}

// The multi-image component loads every frame of an AVI whose run-length
// frames (each an end-of-bitmap code) all claim a huge frame: in a child
// process under a data-size and a processor-time limit, at the default
// memory budget, it ends quickly, loads nothing and leaves no temporary file.
TEST(SmallFileClaimsMIO, AVIFramesEachClaimingAHugeFrame) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const std::string dir = MakeTempDir("mio-claims");
  std::string palette;
  for (int i = 0; i < 16; ++i) palette += std::string{char(i * 17), char(i * 17), char(i * 17), 0};
  for (int32_t side : {65535, 30000, 4}) {
    SCOPED_TRACE(side);
    const std::string path = dir + "/frames" + std::to_string(side) + ".avi";
    WriteFileBytes(path, ToBytes(MakeAVI(side, side, 8, 1, palette,
                                         std::vector<TAviFrame>(40, {std::string("\x00\x01", 2), true}))));
    const std::string temp = dir + "/temp" + std::to_string(side);
    std::filesystem::create_directories(temp);
    EXPECT_EXIT(LoadFramesAndExit(path, temp, side), ::testing::ExitedWithCode(0), "");
  }
}

}  // namespace
}  // namespace pixoran
