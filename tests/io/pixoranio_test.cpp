// The I/O component: dispatch, finishing events, stream headers, safe saves,
// attachment lifetimes, row colour conversion, source text and BMP end to end.
#include <QColor>
#include <QImage>
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "core/kopxutils_bitmap.h"
#include "core/kopxutils_settings.h"
#include "core/pxview.h"
#include "io/pixoranio.h"
#include "io/pixoranio_codecs.h"
#include "io/pxformats.h"
#include "platform/graphics.h"
#include "platform/imagectl.h"
#include "platform/streams.h"
#include "testsupport.h"

namespace pixoran {
namespace {

// ---------------------------------------------------------------- helpers

std::vector<uint8_t> ReadAll(const std::string& name) {
  std::ifstream f(name, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

void WriteAll(const std::string& name, const std::vector<uint8_t>& data) {
  std::ofstream f(name, std::ios::binary | std::ios::trunc);
  f.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
}

std::vector<std::string> DirEntries(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(dir)) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

TBGR PatternPixel(int x, int y) {
  return TBGR{static_cast<uint8_t>(x * 30 + 7), static_cast<uint8_t>(y * 40 + 3),
              static_cast<uint8_t>(x * 11 + y * 17)};
}

// Fills a bitmap with the pattern; row 0 is the top row.
void FillPattern(TPXBitmap& b, int w, int h) {
  ASSERT_TRUE(b.Allocate(w, h, pxBGR24));
  for (int y = 0; y < h; ++y) {
    uint8_t* row = b.Scanline(y);
    ASSERT_NE(row, nullptr);
    for (int x = 0; x < w; ++x) {
      const TBGR p = PatternPixel(x, y);
      row[x * 3] = p.b, row[x * 3 + 1] = p.g, row[x * 3 + 2] = p.r;
    }
  }
}

void ExpectPattern(TPXBitmap& b, int w, int h) {
  ASSERT_EQ(b.Width(), w);
  ASSERT_EQ(b.Height(), h);
  ASSERT_EQ(b.PixelFormat(), pxBGR24);
  for (int y = 0; y < h; ++y) {
    const uint8_t* row = b.Scanline(y);
    ASSERT_NE(row, nullptr);
    for (int x = 0; x < w; ++x) {
      const TBGR p = PatternPixel(x, y);
      ASSERT_EQ(row[x * 3], p.b) << x << "," << y;
      ASSERT_EQ(row[x * 3 + 1], p.g) << x << "," << y;
      ASSERT_EQ(row[x * 3 + 2], p.r) << x << "," << y;
    }
  }
}

QImage PatternQImage(int w, int h) {
  QImage img(w, h, QImage::Format_RGB888);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      const TBGR p = PatternPixel(x, y);
      img.setPixelColor(x, y, QColor(p.r, p.g, p.b));
    }
  return img;
}

// Records the component's events, and whether it reported failure when it finished.
struct EventLog {
  std::vector<std::string> items;
  std::vector<bool> abortingAtFinish;

  void Attach(TPixoranIO& io) {
    TPixoranIO* self = &io;
    io.OnProgress = [this, self](TObject* sender, int percent) {
      EXPECT_EQ(sender, self);
      items.push_back("p" + std::to_string(percent));
    };
    io.OnFinishWork = [this, self](TObject* sender) {
      EXPECT_EQ(sender, self);
      items.push_back("finish");
      abortingAtFinish.push_back(self->Aborting());
    };
  }
  void Clear() {
    items.clear();
    abortingAtFinish.clear();
  }
  // The operation ended once: progress 100, then the finish, nothing after.
  void ExpectFinishedOnce(bool failed) {
    ASSERT_GE(items.size(), 2u);
    EXPECT_EQ(items.back(), "finish");
    EXPECT_EQ(items[items.size() - 2], "p100");
    EXPECT_EQ(std::count(items.begin(), items.end(), "finish"), 1);
    ASSERT_EQ(abortingAtFinish.size(), 1u);
    EXPECT_EQ(abortingAtFinish[0], failed);
    Clear();
  }
};

// ---------------------------------------------------------------- a stand-in filter
//
// "FAKE", width, height (little-endian int32), then rows of B,G,R top-down.
// Its reader reads 4 bytes beyond its data, as a buffering decoder does.

struct FakeState {
  bool failWrite = false;
  bool throwOnRead = false;
  bool giveAlpha = false;
  int64_t lastDataLength = -1;
  int readCalls = 0;
  int writeCalls = 0;
  TPXPixelFormat writtenFormat = pxNone;
  bool writerGotAlpha = false;
};
FakeState g_fake;

void PutLE32(std::vector<uint8_t>& v, uint32_t x) {
  for (int i = 0; i < 4; ++i) v.push_back(static_cast<uint8_t>(x >> (8 * i)));
}

void FakeRead(TStream& s, TPXBitmap& b, TIOParamsVals& p, TPXProgressRec& pr, bool paramsOnly, int64_t dataLength,
              TPXBitmap& alpha) {
  ++g_fake.readCalls;
  g_fake.lastDataLength = dataLength;
  if (g_fake.throwOnRead) throw std::runtime_error("decoder exploded");
  uint8_t h[12];
  if (!s.ReadExact(h, 12) || std::memcmp(h, "FAKE", 4) != 0) return pr.Abort();
  int32_t w, hh;
  std::memcpy(&w, h + 4, 4);
  std::memcpy(&hh, h + 8, 4);
  if (w <= 0 || hh <= 0 || w > 1000 || hh > 1000) return pr.Abort();
  p.Width = w, p.Height = hh;
  if (paramsOnly) return;
  if (!b.Allocate(w, hh, pxBGR24)) return pr.Abort();
  for (int32_t y = 0; y < hh; ++y)
    if (!s.ReadExact(b.Scanline(y), w * 3)) return pr.Abort();
  uint8_t ahead[4];
  s.Read(ahead, 4);
  if (g_fake.giveAlpha && alpha.Allocate(w, hh, pxGray8))
    for (int32_t y = 0; y < hh; ++y) std::memset(alpha.Scanline(y), 10 * y + 1, static_cast<size_t>(w));
}

void FakeWrite(TStream& s, TPXBitmap& b, TIOParamsVals&, TPXProgressRec& pr, TPXBitmap* alpha) {
  ++g_fake.writeCalls;
  g_fake.writtenFormat = b.PixelFormat();
  g_fake.writerGotAlpha = alpha != nullptr;
  std::vector<uint8_t> out = {'F', 'A', 'K', 'E'};
  PutLE32(out, static_cast<uint32_t>(b.Width()));
  PutLE32(out, static_cast<uint32_t>(b.Height()));
  s.Write(out.data(), static_cast<int64_t>(out.size()));
  if (b.PixelFormat() == pxBGR24)
    for (int32_t y = 0; y < b.Height(); ++y) s.Write(b.Scanline(y), b.Width() * 3);
  if (g_fake.failWrite) pr.Abort();
}

void RegisterTestFormats();

// Puts the stand-in filter in the place of a built-in format for one test.
class FakeCodecScope {
 public:
  FakeCodecScope(int32_t type, uint16_t extraFlags = 0) {
    TPXFormatCodec c = *FindFormatCodec(type);
    c.Read = FakeRead;
    c.Write = FakeWrite;
    c.Flags |= extraFlags;
    old_ = SetFormatCodec(c);
    RegisterBuiltinFileFormats();  // the registry's marks follow the filters
    RegisterTestFormats();
  }
  ~FakeCodecScope() {
    SetFormatCodec(old_);
    RegisterBuiltinFileFormats();
    RegisterTestFormats();
  }
  FakeCodecScope(const FakeCodecScope&) = delete;
  FakeCodecScope& operator=(const FakeCodecScope&) = delete;

 private:
  TPXFormatCodec old_{};
};

// ---------------------------------------------------------------- formats only the registry knows

constexpr int32_t kTypeFailing = 1001;   // ".pxt": writes, then reports failure
constexpr int32_t kTypeThrowing = 1002;  // ".pxq": its reader and writer throw
constexpr int32_t kTypeThree = 1003;     // ".px3": writes 01 AB FF; reads "P3" files
constexpr int32_t kTypeForty = 1004;     // ".px4": writes 40 bytes 0..39

int g_registryReads = 0;
bool g_registryParamsOnly = false;

void WriteFailing(TStream& s, TPXBitmap&, TIOParamsVals&, TPXProgressRec& pr) {
  s.Write("partial garbage", 15);
  pr.Abort();
}
void WriteThrowing(TStream& s, TPXBitmap&, TIOParamsVals&, TPXProgressRec&) {
  s.Write("partial", 7);
  throw std::runtime_error("writer exploded");
}
void ReadThrowing(TStream&, TPXBitmap&, TIOParamsVals&, TPXProgressRec&, bool) {
  throw std::runtime_error("reader exploded");
}
void WriteThree(TStream& s, TPXBitmap& b, TIOParamsVals&, TPXProgressRec&) {
  g_fake.writtenFormat = b.PixelFormat();
  const uint8_t bytes[3] = {0x01, 0xAB, 0xFF};
  s.Write(bytes, 3);
}
void ReadThree(TStream& s, TPXBitmap& b, TIOParamsVals& p, TPXProgressRec& pr, bool paramsOnly) {
  ++g_registryReads;
  g_registryParamsOnly = paramsOnly;
  char h[2] = {};
  if (!s.ReadExact(h, 2) || h[0] != 'P' || h[1] != '3') return pr.Abort();
  p.Width = 3, p.Height = 1;
  if (!paramsOnly && !b.Allocate(3, 1, pxBGR24)) pr.Abort();
}
bool ProbeThree(TStream& s) {
  char h[2] = {};
  const bool yes = s.Read(h, 2) == 2 && h[0] == 'P' && h[1] == '3';
  s.Seek(-2, TSeekOrigin::soCurrent);
  return yes;
}
void WriteForty(TStream& s, TPXBitmap&, TIOParamsVals&, TPXProgressRec&) {
  uint8_t bytes[40];
  for (int i = 0; i < 40; ++i) bytes[i] = static_cast<uint8_t>(i);
  s.Write(bytes, 40);
}

void RegisterTestFormats() {
  TPXFileFormatInfo info;
  info.FileType = kTypeFailing;
  info.Extensions = "PXT";
  info.WriteFunction = WriteFailing;
  RegisterFileFormat(info);
  info = TPXFileFormatInfo{};
  info.FileType = kTypeThrowing;
  info.Extensions = "PXQ";
  info.ReadFunction = ReadThrowing;
  info.WriteFunction = WriteThrowing;
  RegisterFileFormat(info);
  info = TPXFileFormatInfo{};
  info.FileType = kTypeThree;
  info.Extensions = "PX3";
  info.ReadFunction = ReadThree;
  info.WriteFunction = WriteThree;
  info.TryFunction = ProbeThree;
  RegisterFileFormat(info);
  info = TPXFileFormatInfo{};
  info.FileType = kTypeForty;
  info.Extensions = "PX4";
  info.WriteFunction = WriteForty;
  RegisterFileFormat(info);
}

class PixoranIOTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_fake = FakeState{};
    g_registryReads = 0;
    RegisterBuiltinFileFormats();
    RegisterTestFormats();
    dir = testing::MakeTempDir("pixoranio");
    log.Attach(io);
  }
  void TearDown() override { RegisterBuiltinFileFormats(); }

  std::string Path(const std::string& name) const { return dir + "/" + name; }

  std::string dir;
  TPixoranIO io;
  EventLog log;
};

// ---------------------------------------------------------------- one record per format

bool ProbeFake(TStream& s) {
  uint8_t h[4] = {};
  return s.ReadExact(h, 4) && std::memcmp(h, "FAKE", 4) == 0;
}

using PixoranIORecord = PixoranIOTest;

TEST_F(PixoranIORecord, ANewFormatIsOneRecord) {
  constexpr int32_t kType = 1100;
  SetFormatCodec(TPXFormatCodec{
      .FileType = kType,
      .FullName = "Stand-in",
      .Extensions = "FKE;FAKE",
      .LoadRoutes = "fke",
      .SaveRoutes = "fke",
      .Read = FakeRead,
      .Write = FakeWrite,
      .Probe = ProbeFake,
      .Flags = cfLoadAll | cfSave,
  });
  RegisterBuiltinFileFormats();
  const TPXFileFormatInfo* info = FindFileFormatInfo(kType);
  ASSERT_NE(info, nullptr);
  EXPECT_EQ(FileFormatAt(FileFormatCount() - 1), info);  // after the built-in formats
  EXPECT_TRUE(IsReadableFileName("a.fake"));

  FillPattern(*io.PXBitmap(), 4, 3);
  io.SaveToFile(Path("x.fke"));  // by name
  ASSERT_FALSE(io.Aborting());
  EXPECT_EQ(g_fake.writtenFormat, pxBGR24);
  io.PXBitmap()->FreeImage(true);
  io.LoadFromFile(Path("x.fke"));
  ASSERT_FALSE(io.Aborting());
  ExpectPattern(*io.PXBitmap(), 4, 3);
  EXPECT_EQ(io.Params().FileType, kType);

  const std::vector<uint8_t> bytes = ReadAll(Path("x.fke"));
  TReadOnlyMemoryStream detected(bytes.data(), static_cast<int64_t>(bytes.size()));
  EXPECT_EQ(FindStreamFormat(detected), kType);  // by content
  io.PXBitmap()->FreeImage(true);
  io.LoadFromStream(detected);
  ASSERT_FALSE(io.Aborting());
  ExpectPattern(*io.PXBitmap(), 4, 3);

  TReadOnlyMemoryStream typed(bytes.data(), static_cast<int64_t>(bytes.size()));
  io.PXBitmap()->FreeImage(true);
  io.LoadFromStreamFormat(typed, kType);  // through a stream, by type
  ASSERT_FALSE(io.Aborting());
  ExpectPattern(*io.PXBitmap(), 4, 3);
  EXPECT_EQ(FileFormatDescription(io.Params()), "Stand-in (FKE)");

  SetFormatCodec(TPXFormatCodec{.FileType = kType});  // gone again
  RegisterBuiltinFileFormats();
  EXPECT_EQ(FindFileFormatInfo(kType), nullptr);
  EXPECT_EQ(FindExtensionRoute(".fke"), nullptr);
  TReadOnlyMemoryStream again(bytes.data(), static_cast<int64_t>(bytes.size()));
  EXPECT_EQ(FindStreamFormat(again), ioUnknown);
  log.Clear();
}

// ---------------------------------------------------------------- BMP end to end

using PixoranIOBMP = PixoranIOTest;

TEST_F(PixoranIOBMP, SavedFileReadsBackInQt) {
  FillPattern(*io.PXBitmap(), 7, 5);
  io.SaveToFile(Path("out.bmp"));
  EXPECT_FALSE(io.Aborting());
  log.ExpectFinishedOnce(false);
  EXPECT_EQ(DirEntries(dir), std::vector<std::string>{"out.bmp"});  // no temporary left behind

  QImage q(QString::fromStdString(Path("out.bmp")));
  ASSERT_FALSE(q.isNull());
  ASSERT_EQ(q.width(), 7);
  ASSERT_EQ(q.height(), 5);
  for (int y = 0; y < 5; ++y)
    for (int x = 0; x < 7; ++x) {
      const TBGR p = PatternPixel(x, y);
      EXPECT_EQ(q.pixelColor(x, y), QColor(p.r, p.g, p.b)) << x << "," << y;
    }
}

TEST_F(PixoranIOBMP, LoadsQtFilesByAnyOfItsExtensions) {
  const QImage img = PatternQImage(6, 4);
  for (const char* name : {"q.bmp", "q.DIB", "q.Rle"}) {
    ASSERT_TRUE(img.save(QString::fromStdString(Path(name)), "BMP"));
    io.LoadFromFile(Path(name));
    EXPECT_FALSE(io.Aborting()) << name;
    log.ExpectFinishedOnce(false);
    ExpectPattern(*io.PXBitmap(), 6, 4);
    EXPECT_EQ(io.Params().FileType, ioBMP);
    EXPECT_EQ(io.Params().FileName, Path(name));
    EXPECT_EQ(io.Params().Width, 6);
    EXPECT_EQ(io.Params().Height, 4);
  }
  // By type and by content, whatever the name says.
  ASSERT_TRUE(img.save(QString::fromStdString(Path("q.data")), "BMP"));
  io.LoadFromFileFormat(Path("q.data"), ioBMP);
  EXPECT_FALSE(io.Aborting());
  log.ExpectFinishedOnce(false);
  ExpectPattern(*io.PXBitmap(), 6, 4);
}

TEST_F(PixoranIOBMP, StreamsAndBuffers) {
  FillPattern(*io.PXBitmap(), 5, 3);
  TMemoryStream ms;
  const std::vector<uint8_t> junk(37, 0xEE);
  ms.Write(junk.data(), 37);
  io.SaveToStream(ms, ioBMP);
  EXPECT_FALSE(io.Aborting());
  log.ExpectFinishedOnce(false);
  EXPECT_EQ(ms.Position(), ms.Size());

  TPixoranIO other;
  ms.SetPosition(37);  // content detection starts at the position
  other.LoadFromStream(ms);
  EXPECT_FALSE(other.Aborting());
  ExpectPattern(*other.PXBitmap(), 5, 3);
  EXPECT_EQ(other.Params().FileType, ioBMP);
  EXPECT_EQ(other.Params().FileName, "");

  TPixoranIO third;
  third.LoadFromBuffer(ms.Memory() + 37, ms.Size() - 37, 0);
  EXPECT_FALSE(third.Aborting());
  ExpectPattern(*third.PXBitmap(), 5, 3);
  TPixoranIO fourth;
  fourth.LoadFromBuffer(ms.Memory() + 37, ms.Size() - 37, ioBMP);
  EXPECT_FALSE(fourth.Aborting());
  ExpectPattern(*fourth.PXBitmap(), 5, 3);
  fourth.LoadFromBuffer(nullptr, 100, 0);
  EXPECT_TRUE(fourth.Aborting());
}

TEST_F(PixoranIOBMP, ResolutionFromFileOrDefault) {
  QImage img = PatternQImage(4, 4);
  ASSERT_TRUE(img.save(QString::fromStdString(Path("nodpi.bmp")), "BMP"));
  // Qt always writes a resolution: zero the info header's pixels-per-metre fields.
  auto bytes = ReadAll(Path("nodpi.bmp"));
  ASSERT_GT(bytes.size(), 46u);
  std::fill(bytes.begin() + 38, bytes.begin() + 46, 0);
  WriteAll(Path("nodpi.bmp"), bytes);
  io.LoadFromFile(Path("nodpi.bmp"));
  ASSERT_FALSE(io.Aborting());
  EXPECT_EQ(io.Params().DpiX, PXSettings().DefaultDpiX);
  EXPECT_EQ(io.Params().DpiY, PXSettings().DefaultDpiY);

  img.setDotsPerMeterX(3937);  // 100 dpi
  img.setDotsPerMeterY(7874);  // 200 dpi
  ASSERT_TRUE(img.save(QString::fromStdString(Path("dpi.bmp")), "BMP"));
  io.LoadFromFile(Path("dpi.bmp"));
  ASSERT_FALSE(io.Aborting());
  EXPECT_EQ(io.Params().DpiX, 100);
  EXPECT_EQ(io.Params().DpiY, 200);
}

TEST_F(PixoranIOBMP, AutoAdjustDPIMakesBothResolutionsAgree) {
  // A 100 x 100 image at 100 x 200 dpi becomes 200 x 100 at 200 x 200 dpi.
  QImage img(100, 100, QImage::Format_RGB888);
  for (int y = 0; y < 100; ++y)
    for (int x = 0; x < 100; ++x) img.setPixel(x, y, qRgb(x < 50 ? 255 : 0, 0, y < 50 ? 255 : 0));
  img.setDotsPerMeterX(3937);
  img.setDotsPerMeterY(7874);
  ASSERT_TRUE(img.save(QString::fromStdString(Path("aniso.bmp")), "BMP"));
  for (bool filtered : {false, true}) {
    io.SetAutoAdjustDPI(true);
    io.SetFilteredAdjustDPI(filtered);
    io.LoadFromFile(Path("aniso.bmp"));
    ASSERT_FALSE(io.Aborting());
    TPXBitmap& b = *io.PXBitmap();
    EXPECT_EQ(b.Width(), 200);
    EXPECT_EQ(b.Height(), 100);
    EXPECT_EQ(io.Params().DpiX, 200);
    EXPECT_EQ(io.Params().DpiY, 200);
    EXPECT_EQ(io.Params().Width, 200);
    // The left half stays red, the right half stays black, away from the seam.
    EXPECT_EQ(b.GetPixelAsRGB(10, 80).r, 255);
    EXPECT_EQ(b.GetPixelAsRGB(190, 80).r, 0);
    EXPECT_EQ(b.GetPixelAsRGB(190, 10).b, 255);
  }
  io.SetAutoAdjustDPI(false);
  io.LoadFromFile(Path("aniso.bmp"));
  EXPECT_EQ(io.PXBitmap()->Width(), 100);
}

TEST_F(PixoranIOBMP, ParameterReadsLeaveTheImageAlone) {
  FillPattern(*io.PXBitmap(), 2, 2);
  ASSERT_TRUE(PatternQImage(9, 7).save(QString::fromStdString(Path("p.bmp")), "BMP"));
  io.ParamsFromFile(Path("p.bmp"));
  EXPECT_FALSE(io.Aborting());
  log.ExpectFinishedOnce(false);
  EXPECT_EQ(io.Params().FileType, ioBMP);
  EXPECT_EQ(io.Params().FileName, Path("p.bmp"));
  EXPECT_EQ(io.Params().Width, 9);
  EXPECT_EQ(io.Params().Height, 7);
  ExpectPattern(*io.PXBitmap(), 2, 2);

  TMemoryStream ms;
  ms.LoadFromFile(Path("p.bmp"));
  io.Params().FileName = "stale";
  io.ParamsFromStream(ms);
  EXPECT_EQ(io.Params().FileType, ioBMP);
  EXPECT_EQ(io.Params().FileName, "");
  log.ExpectFinishedOnce(false);

  // Content that disagrees with the extension, and a missing file: FileType 0, no exception.
  std::filesystem::copy_file(Path("p.bmp"), Path("p.png"));
  io.ParamsFromFile(Path("p.png"));
  EXPECT_EQ(io.Params().FileType, ioUnknown);
  log.ExpectFinishedOnce(true);
  EXPECT_NO_THROW(io.ParamsFromFileFormat(Path("missing.bmp"), ioBMP));
  EXPECT_EQ(io.Params().FileType, ioUnknown);
  log.ExpectFinishedOnce(true);
  ExpectPattern(*io.PXBitmap(), 2, 2);
}

// ---------------------------------------------------------------- finishing events on failure

using PixoranIOEvents = PixoranIOTest;

TEST_F(PixoranIOEvents, EveryFailureEndsWithOneFinish) {
  ASSERT_TRUE(PatternQImage(3, 3).save(QString::fromStdString(Path("real.bmp")), "BMP"));
  std::filesystem::copy_file(Path("real.bmp"), Path("real.jpg"));

  io.LoadFromFile("");
  EXPECT_TRUE(io.Aborting());
  log.ExpectFinishedOnce(true);

  io.SaveToFile("");
  EXPECT_TRUE(io.Aborting());
  log.ExpectFinishedOnce(true);

  io.LoadFromFile("http://127.0.0.1:1/a.bmp");  // refused on loopback
  log.ExpectFinishedOnce(true);

  io.LoadFromFile(Path("real.unknownext"));  // no record for the extension
  log.ExpectFinishedOnce(true);

  io.LoadFromFile(Path("a.eps"));  // PostScript cannot be read
  log.ExpectFinishedOnce(true);

  io.LoadFromFileFormat(Path("real.bmp"), ioAVI);  // not registered
  log.ExpectFinishedOnce(true);

  // BMP content named .jpg goes to the JPEG load, which cannot read it.
  io.LoadFromFile(Path("real.jpg"));
  EXPECT_TRUE(io.Aborting());
  log.ExpectFinishedOnce(true);

  TMemoryStream garbage;
  garbage.Write("no image at all, really", 23);
  garbage.SetPosition(0);
  io.LoadFromStream(garbage);
  log.ExpectFinishedOnce(true);
  io.LoadFromStreamFormat(garbage, ioWBMP);
  log.ExpectFinishedOnce(true);
  io.LoadFromStreamFormat(garbage, ioBMP);  // a BMP load of non-BMP data
  log.ExpectFinishedOnce(true);

  // Saving an empty image writes nothing.
  TMemoryStream out;
  io.SaveToStream(out, ioBMP);
  EXPECT_EQ(out.Size(), 0);
  log.ExpectFinishedOnce(true);
  io.SaveToStream(out, ioCUR);  // cursors cannot be written
  log.ExpectFinishedOnce(true);
  io.SaveToStream(out, 4711);
  log.ExpectFinishedOnce(true);
  io.SaveToFile(Path("x.unknownext"));
  log.ExpectFinishedOnce(true);
  EXPECT_FALSE(std::filesystem::exists(Path("x.unknownext")));
}

TEST_F(PixoranIOEvents, FilesThatCannotBeOpenedRaiseAfterTheEvents) {
  EXPECT_THROW(io.LoadFromFile(Path("missing.bmp")), EFOpenError);
  EXPECT_TRUE(io.Aborting());
  log.ExpectFinishedOnce(true);
  EXPECT_THROW(io.LoadFromFileBMP(Path("missing.bmp")), EFOpenError);
  log.ExpectFinishedOnce(true);
  EXPECT_THROW(io.LoadFromFile(Path("missing.px3")), EFOpenError);  // through the registry too
  log.ExpectFinishedOnce(true);

  FillPattern(*io.PXBitmap(), 2, 2);
  EXPECT_THROW(io.SaveToFile(Path("no/such/folder/x.bmp")), EFCreateError);
  EXPECT_TRUE(io.Aborting());
  log.ExpectFinishedOnce(true);
}

TEST_F(PixoranIOEvents, FilterExceptionsAreCaughtThenPassed) {
  WriteAll(Path("t.pxq"), {1, 2, 3});
  // By extension through the registry: swallowed, reported as failure.
  EXPECT_NO_THROW(io.LoadFromFile(Path("t.pxq")));
  EXPECT_TRUE(io.Aborting());
  log.ExpectFinishedOnce(true);

  // On a stream: the caller sees it, after Aborting and the events.
  TMemoryStream ms;
  ms.Write("abc", 3);
  ms.SetPosition(0);
  EXPECT_THROW(io.LoadFromStreamFormat(ms, kTypeThrowing), std::runtime_error);
  EXPECT_TRUE(io.Aborting());
  log.ExpectFinishedOnce(true);

  // A built-in filter that throws: the same.
  FakeCodecScope fake(ioJPEG);
  g_fake.throwOnRead = true;
  ms.SetPosition(0);
  EXPECT_THROW(io.LoadFromStreamJPEG(ms), std::runtime_error);
  EXPECT_TRUE(io.Aborting());
  log.ExpectFinishedOnce(true);
  // ...but parameter reads never raise.
  EXPECT_NO_THROW(io.ParamsFromStreamFormat(ms, ioJPEG));
  EXPECT_EQ(io.Params().FileType, ioUnknown);
  log.ExpectFinishedOnce(true);
}

TEST_F(PixoranIOEvents, ProgressComesFromTheFilterThenOneHundred) {
  ASSERT_TRUE(PatternQImage(3, 50).save(QString::fromStdString(Path("tall.bmp")), "BMP"));
  io.LoadFromFile(Path("tall.bmp"));
  ASSERT_FALSE(io.Aborting());
  // Whatever the filter reported lies in 0..100 and never goes back.
  int last = -1;
  for (size_t i = 0; i + 1 < log.items.size(); ++i) {
    ASSERT_EQ(log.items[i][0], 'p');
    const int p = std::stoi(log.items[i].substr(1));
    EXPECT_GE(p, last);
    EXPECT_LE(p, 100);
    last = p;
  }
  log.ExpectFinishedOnce(false);
}

// ---------------------------------------------------------------- saves never damage the target

using PixoranIOSave = PixoranIOTest;

TEST_F(PixoranIOSave, FailingWriterLeavesTheFileUntouched) {
  const std::vector<uint8_t> original = {'o', 'r', 'i', 'g', 'i', 'n', 'a', 'l', 0, 1, 2};
  WriteAll(Path("keep.pxt"), original);
  WriteAll(Path("keep.pxq"), original);
  ASSERT_EQ(::chmod(Path("keep.pxt").c_str(), 0640), 0);
  FillPattern(*io.PXBitmap(), 4, 4);

  io.SaveToFile(Path("keep.pxt"));
  EXPECT_TRUE(io.Aborting());
  log.ExpectFinishedOnce(true);
  EXPECT_EQ(ReadAll(Path("keep.pxt")), original);

  EXPECT_THROW(io.SaveToFile(Path("keep.pxq")), std::runtime_error);
  EXPECT_TRUE(io.Aborting());
  log.ExpectFinishedOnce(true);
  EXPECT_EQ(ReadAll(Path("keep.pxq")), original);
  EXPECT_EQ(DirEntries(dir), (std::vector<std::string>{"keep.pxq", "keep.pxt"}));

  // A built-in writer that fails: the same.
  WriteAll(Path("keep.jpg"), original);
  {
    FakeCodecScope fake(ioJPEG);
    g_fake.failWrite = true;
    io.SaveToFile(Path("keep.jpg"));
    EXPECT_TRUE(io.Aborting());
    EXPECT_EQ(g_fake.writeCalls, 1);
    log.ExpectFinishedOnce(true);
    EXPECT_EQ(ReadAll(Path("keep.jpg")), original);

    // A successful save replaces the file and keeps its permissions.
    g_fake.failWrite = false;
    ASSERT_EQ(::chmod(Path("keep.jpg").c_str(), 0640), 0);
    io.SaveToFile(Path("keep.jpg"));
    EXPECT_FALSE(io.Aborting());
    log.ExpectFinishedOnce(false);
    const auto written = ReadAll(Path("keep.jpg"));
    ASSERT_GE(written.size(), 4u);
    EXPECT_EQ(std::memcmp(written.data(), "FAKE", 4), 0);
    struct stat st {};
    ASSERT_EQ(::stat(Path("keep.jpg").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
  }
  EXPECT_EQ(DirEntries(dir), (std::vector<std::string>{"keep.jpg", "keep.pxq", "keep.pxt"}));
}

TEST_F(PixoranIOSave, SavesThroughSymbolicLinksToTheirTargets) {
  // dir/real/photo.bmp, reached through a relative link and a link to it.
  const std::string real = dir + "/real";
  ASSERT_EQ(::mkdir(real.c_str(), 0755), 0);
  const std::vector<uint8_t> original = {'o', 'l', 'd'};
  WriteAll(real + "/photo.bmp", original);
  ASSERT_EQ(::chmod((real + "/photo.bmp").c_str(), 0604), 0);
  ASSERT_EQ(::symlink("real/photo.bmp", Path("link.bmp").c_str()), 0);
  ASSERT_EQ(::symlink(Path("link.bmp").c_str(), Path("chain.bmp").c_str()), 0);
  FillPattern(*io.PXBitmap(), 3, 2);

  // A failed save leaves the target as it was, and the links.
  {
    FakeCodecScope fake(ioBMP);
    g_fake.failWrite = true;
    io.SaveToFile(Path("chain.bmp"));
    EXPECT_TRUE(io.Aborting());
  }
  EXPECT_EQ(ReadAll(real + "/photo.bmp"), original);

  io.SaveToFile(Path("chain.bmp"));
  ASSERT_FALSE(io.Aborting());
  for (const char* name : {"link.bmp", "chain.bmp"}) {
    struct stat st {};
    ASSERT_EQ(::lstat(Path(name).c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode)) << name;
  }
  struct stat st {};
  ASSERT_EQ(::stat((real + "/photo.bmp").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0604u);
  TPixoranIO back;
  back.LoadFromFile(real + "/photo.bmp");
  ASSERT_FALSE(back.Aborting());
  ExpectPattern(*back.PXBitmap(), 3, 2);
  EXPECT_EQ(DirEntries(real), std::vector<std::string>{"photo.bmp"});  // no temporary left

  // A link to a file not there yet: the file is created where it points.
  ASSERT_EQ(::symlink("real/new.bmp", Path("ahead.bmp").c_str()), 0);
  io.SaveToFile(Path("ahead.bmp"));
  ASSERT_FALSE(io.Aborting());
  EXPECT_TRUE(std::filesystem::is_symlink(Path("ahead.bmp")));
  EXPECT_TRUE(std::filesystem::is_regular_file(real + "/new.bmp"));
  log.Clear();
}

TEST_F(PixoranIOSave, WritersGetAConvertedCopy) {
  TPXBitmap& b = *io.PXBitmap();
  ASSERT_TRUE(b.Allocate(3, 2, pxPal8));
  b.SetPaletteEntry(0, TBGR{1, 2, 3});
  b.SetPaletteEntry(1, TBGR{200, 100, 50});
  for (int y = 0; y < 2; ++y) {
    uint8_t* row = b.Scanline(y);
    for (int x = 0; x < 3; ++x) row[x] = static_cast<uint8_t>((x + y) & 1);
  }
  FakeCodecScope fake(ioJPEG);
  TPXFormatCodec c = *FindFormatCodec(ioJPEG);
  c.WriterFormats = kPXWriter24;  // a writer that takes 24-bit rows only
  SetFormatCodec(c);
  TMemoryStream ms;
  io.SaveToStream(ms, ioJPEG);
  EXPECT_FALSE(io.Aborting());
  log.ExpectFinishedOnce(false);
  EXPECT_EQ(g_fake.writtenFormat, pxBGR24);
  EXPECT_EQ(b.PixelFormat(), pxPal8);  // the caller's bitmap is as it was
  EXPECT_EQ(b.Scanline(0)[1], 1);
  // The copy carries the palette colours.
  ASSERT_EQ(ms.Size(), 12 + 3 * 2 * 3);
  const uint8_t* px = ms.Memory() + 12;
  EXPECT_EQ(px[0], 1);    // (0,0) index 0: blue 1
  EXPECT_EQ(px[3], 200);  // (1,0) index 1: blue 200
  EXPECT_EQ(px[5], 50);   // red 50

  // BMP takes the bitmap as it is.
  TMemoryStream bmp;
  io.SaveToStream(bmp, ioBMP);
  EXPECT_EQ(b.PixelFormat(), pxPal8);
  log.Clear();
}

TEST_F(PixoranIOSave, WideFormatsReachA24BitWriterConverted) {
  // 16-bit grey and float images are handed over as 24-bit copies; the
  // working image keeps its format and values.
  FakeCodecScope fake(ioJPEG);
  TPXFormatCodec c = *FindFormatCodec(ioJPEG);
  c.WriterFormats = kPXWriter24;
  SetFormatCodec(c);
  TPXBitmap& b = *io.PXBitmap();
  ASSERT_TRUE(b.Allocate(2, 1, pxGray16));
  reinterpret_cast<uint16_t*>(b.Scanline(0))[0] = 0x8040;
  reinterpret_cast<uint16_t*>(b.Scanline(0))[1] = 0xFFFF;
  TMemoryStream ms;
  io.SaveToStream(ms, ioJPEG);
  EXPECT_FALSE(io.Aborting());
  EXPECT_EQ(g_fake.writtenFormat, pxBGR24);
  ASSERT_EQ(ms.Size(), 12 + 2 * 3);
  EXPECT_EQ(ms.Memory()[12], 0x80);  // the high byte of each grey word
  EXPECT_EQ(ms.Memory()[15], 0xFF);
  EXPECT_EQ(b.PixelFormat(), pxGray16);
  EXPECT_EQ(reinterpret_cast<uint16_t*>(b.Scanline(0))[0], 0x8040);

  ASSERT_TRUE(b.Allocate(1, 1, px32f));
  reinterpret_cast<float*>(b.Scanline(0))[0] = 2.0f;  // out of range: clamped to white
  TMemoryStream ms2;
  io.SaveToStream(ms2, ioJPEG);
  EXPECT_FALSE(io.Aborting());
  ASSERT_EQ(ms2.Size(), 12 + 3);
  EXPECT_EQ(ms2.Memory()[12], 255);
  EXPECT_EQ(b.PixelFormat(), px32f);
  log.Clear();
}

TEST_F(PixoranIOSave, RegistryWritersAndTheirRecords) {
  FillPattern(*io.PXBitmap(), 2, 2);
  io.SaveToFile(Path("small.px3"));
  EXPECT_FALSE(io.Aborting());
  log.ExpectFinishedOnce(false);
  EXPECT_EQ(ReadAll(Path("small.px3")), (std::vector<uint8_t>{0x01, 0xAB, 0xFF}));
  EXPECT_EQ(io.Params().FileType, kTypeThree);
  EXPECT_EQ(io.Params().FileName, Path("small.px3"));

  // .cur is written through the registry, whose cursor record has no writer.
  io.SaveToFile(Path("c.cur"));
  EXPECT_TRUE(io.Aborting());
  log.ExpectFinishedOnce(true);
  EXPECT_FALSE(std::filesystem::exists(Path("c.cur")));
}

// ---------------------------------------------------------------- dispatch

using PixoranIODispatch = PixoranIOTest;

TEST_F(PixoranIODispatch, ExtensionsReachTheirFormat) {
  FakeCodecScope fakeJpeg(ioJPEG);
  FakeCodecScope fakeTga(ioTGA);
  FillPattern(*io.PXBitmap(), 3, 2);
  io.SaveToFile(Path("a.JPG"));
  ASSERT_FALSE(io.Aborting());
  io.SaveToFile(Path("b.win"));  // .win is TGA though the registry does not list it
  ASSERT_FALSE(io.Aborting());
  EXPECT_EQ(g_fake.writeCalls, 2);

  TPixoranIO other;
  other.LoadFromFile(Path("a.JPG"));
  EXPECT_FALSE(other.Aborting());
  EXPECT_EQ(other.Params().FileType, ioJPEG);
  ExpectPattern(*other.PXBitmap(), 3, 2);
  other.LoadFromFile(Path("b.win"));
  EXPECT_FALSE(other.Aborting());
  EXPECT_EQ(other.Params().FileType, ioTGA);

  // .pix only the registry names (the TGA record): the component's own TGA
  // load reads it, rather than the record's mark doing nothing.
  std::filesystem::copy_file(Path("b.win"), Path("c.pix"));
  const int readsBefore = g_fake.readCalls;
  other.LoadFromFile(Path("c.pix"));
  EXPECT_FALSE(other.Aborting());
  EXPECT_EQ(g_fake.readCalls, readsBefore + 1);
  EXPECT_EQ(other.Params().FileType, ioTGA);
  EXPECT_EQ(other.Params().FileName, Path("c.pix"));
  ExpectPattern(*other.PXBitmap(), 3, 2);
  other.SaveToFile(Path("d.pix"));
  EXPECT_FALSE(other.Aborting());
  EXPECT_EQ(ReadAll(Path("d.pix")), ReadAll(Path("c.pix")));
}

TEST_F(PixoranIODispatch, PixWithoutTheTGAFilterIsAFailure) {
  // A program that leaves the TGA filter out.
  TPXFormatCodec without = *FindFormatCodec(ioTGA);
  without.Read = nullptr;
  without.Write = nullptr;
  const TPXFormatCodec kept = SetFormatCodec(without);
  WriteAll(Path("c.pix"), std::vector<uint8_t>(64, 0));
  FillPattern(*io.PXBitmap(), 2, 2);
  io.LoadFromFile(Path("c.pix"));
  EXPECT_TRUE(io.Aborting());
  log.ExpectFinishedOnce(true);
  io.SaveToFile(Path("d.pix"));
  EXPECT_TRUE(io.Aborting());
  log.ExpectFinishedOnce(true);
  EXPECT_FALSE(std::filesystem::exists(Path("d.pix")));
  SetFormatCodec(kept);
}

TEST_F(PixoranIODispatch, RegisteredFormatsByExtensionTypeAndProbe) {
  WriteAll(Path("r.px3"), {'P', '3', 0, 0});
  io.LoadFromFile(Path("r.px3"));
  EXPECT_FALSE(io.Aborting());
  log.ExpectFinishedOnce(false);
  EXPECT_EQ(g_registryReads, 1);
  EXPECT_FALSE(g_registryParamsOnly);
  EXPECT_EQ(io.Params().FileType, kTypeThree);
  EXPECT_EQ(io.Params().FileName, Path("r.px3"));
  EXPECT_EQ(io.PXBitmap()->Width(), 3);

  io.LoadFromFileFormat(Path("r.px3"), kTypeThree);
  EXPECT_FALSE(io.Aborting());
  log.ExpectFinishedOnce(false);

  TMemoryStream ms;
  ms.LoadFromFile(Path("r.px3"));
  ms.SetPosition(0);
  io.LoadFromStream(ms);  // found by its probe
  EXPECT_FALSE(io.Aborting());
  EXPECT_EQ(io.Params().FileType, kTypeThree);
  log.ExpectFinishedOnce(false);

  io.ParamsFromFileFormat(Path("r.px3"), kTypeThree);
  EXPECT_TRUE(g_registryParamsOnly);
  EXPECT_EQ(io.Params().FileType, kTypeThree);
  log.ExpectFinishedOnce(false);
}

// ---------------------------------------------------------------- stream headers

using PixoranIOHeaders = PixoranIOTest;

uint32_t LE32At(const uint8_t* p) { return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24); }

TEST_F(PixoranIOHeaders, JPEGHeaderRoundTripAndEndPosition) {
  FakeCodecScope fake(ioJPEG);
  FillPattern(*io.PXBitmap(), 4, 3);
  io.SetStreamHeaders(true);
  TMemoryStream ms;
  io.SaveToStream(ms, ioJPEG);
  ASSERT_FALSE(io.Aborting());
  const int64_t payload = 12 + 4 * 3 * 3;
  ASSERT_EQ(ms.Size(), 12 + payload);
  EXPECT_EQ(ms.Position(), ms.Size());
  EXPECT_EQ(std::memcmp(ms.Memory(), "JFIF\0\0\0\0", 8), 0);
  EXPECT_EQ(LE32At(ms.Memory() + 8), payload);
  ms.Write("TRAILING DATA", 13);

  // Read back with headers off: the JPEG load still skips its header, and
  // the stream ends right after the image although the reader read ahead.
  TPixoranIO other;
  ms.SetPosition(0);
  other.LoadFromStream(ms);
  EXPECT_FALSE(other.Aborting());
  EXPECT_EQ(other.Params().FileType, ioJPEG);
  ExpectPattern(*other.PXBitmap(), 4, 3);
  EXPECT_EQ(ms.Position(), 12 + payload);
  EXPECT_EQ(g_fake.lastDataLength, payload);

  // Without headers nothing is put in front, and the load starts at the position.
  io.SetStreamHeaders(false);
  TMemoryStream plain;
  io.SaveToStream(plain, ioJPEG);
  EXPECT_EQ(std::memcmp(plain.Memory(), "FAKE", 4), 0);
  plain.SetPosition(0);
  other.LoadFromStreamJPEG(plain);
  EXPECT_FALSE(other.Aborting());
  ExpectPattern(*other.PXBitmap(), 4, 3);
}

TEST_F(PixoranIOHeaders, LengthsAreClampedToTheStream) {
  FakeCodecScope fake(ioJPEG);
  FillPattern(*io.PXBitmap(), 2, 2);
  io.SetStreamHeaders(true);
  TMemoryStream ms;
  io.SaveToStream(ms, ioJPEG);
  const int64_t size = ms.Size();
  const uint8_t huge[4] = {0xF0, 0xFF, 0xFF, 0xFF};
  std::memcpy(ms.Memory() + 8, huge, 4);
  ms.SetPosition(0);
  io.LoadFromStreamJPEG(ms);
  EXPECT_FALSE(io.Aborting());
  EXPECT_EQ(g_fake.lastDataLength, size - 12);
  EXPECT_EQ(ms.Position(), size);

  // A header cut short is no header: the JPEG load reads from the start.
  TMemoryStream cut;
  cut.Write("JFIF\0\0", 6);
  cut.SetPosition(0);
  io.LoadFromStreamJPEG(cut);
  EXPECT_TRUE(io.Aborting());
  EXPECT_EQ(g_fake.lastDataLength, 0);
}

TEST_F(PixoranIOHeaders, PCXAndTIFFRequireTheirHeaderWhenOn) {
  FakeCodecScope fakePcx(ioPCX);
  FakeCodecScope fakeTiff(ioTIFF);
  FillPattern(*io.PXBitmap(), 3, 3);
  TMemoryStream bare;
  io.SaveToStreamPCX(bare);  // headers off: bare data
  ASSERT_FALSE(io.Aborting());
  EXPECT_EQ(std::memcmp(bare.Memory(), "FAKE", 4), 0);
  log.Clear();

  io.SetStreamHeaders(true);
  bare.SetPosition(0);
  const int readsBefore = g_fake.readCalls;
  io.LoadFromStreamPCX(bare);
  EXPECT_TRUE(io.Aborting());
  EXPECT_EQ(g_fake.readCalls, readsBefore);  // refused before the reader
  log.ExpectFinishedOnce(true);

  // The older header: "PCX", 0, data to the end of the stream.
  TMemoryStream old;
  old.Write("PCX\0", 4);
  bare.SetPosition(0);
  old.CopyFrom(bare, 0);
  old.SetPosition(0);
  io.LoadFromStreamPCX(old);
  EXPECT_FALSE(io.Aborting());
  ExpectPattern(*io.PXBitmap(), 3, 3);
  EXPECT_EQ(old.Position(), old.Size());
  log.ExpectFinishedOnce(false);

  // TIFF: wrong magic refused, right one read.
  TMemoryStream tiff;
  io.SaveToStreamTIFF(tiff);
  ASSERT_FALSE(io.Aborting());
  EXPECT_EQ(std::memcmp(tiff.Memory(), "TIFF\0\0\0\0", 8), 0);
  tiff.SetPosition(0);
  io.LoadFromStreamTIFF(tiff);
  EXPECT_FALSE(io.Aborting());
  tiff.Memory()[3] = 'X';
  tiff.SetPosition(0);
  io.LoadFromStreamTIFF(tiff);
  EXPECT_TRUE(io.Aborting());
  log.Clear();

  // Files never carry the header, and their loads do not expect one.
  io.SaveToFilePCX(Path("f.pcx"));
  ASSERT_FALSE(io.Aborting());
  EXPECT_EQ(std::memcmp(ReadAll(Path("f.pcx")).data(), "FAKE", 4), 0);
  io.LoadFromFile(Path("f.pcx"));
  EXPECT_FALSE(io.Aborting());
  log.Clear();
}

TEST_F(PixoranIOHeaders, PCXPatchesItsHeaderOnlyOnSuccess) {
  FakeCodecScope fakePcx(ioPCX);
  FakeCodecScope fakeTiff(ioTIFF);
  FillPattern(*io.PXBitmap(), 2, 2);
  io.SetStreamHeaders(true);
  g_fake.failWrite = true;
  TMemoryStream pcx;
  io.SaveToStreamPCX(pcx);
  EXPECT_TRUE(io.Aborting());
  ASSERT_GE(pcx.Size(), 12);
  EXPECT_EQ(std::vector<uint8_t>(pcx.Memory(), pcx.Memory() + 12), std::vector<uint8_t>(12, 0));
  TMemoryStream tiff;
  io.SaveToStreamTIFF(tiff);
  EXPECT_TRUE(io.Aborting());
  EXPECT_EQ(std::memcmp(tiff.Memory(), "TIFF", 4), 0);
  log.Clear();
}

// ---------------------------------------------------------------- transparency around filters

TEST_F(PixoranIOTest, ReaderMasksBecomeTheAlphaChannel) {
  FakeCodecScope fake(ioTGA);
  FillPattern(*io.PXBitmap(), 3, 2);
  TMemoryStream ms;
  io.SaveToStreamTGA(ms);
  EXPECT_FALSE(g_fake.writerGotAlpha);

  g_fake.giveAlpha = true;
  ms.SetPosition(0);
  io.LoadFromStreamTGA(ms);
  ASSERT_FALSE(io.Aborting());
  ASSERT_TRUE(io.PXBitmap()->HasAlphaChannel());
  EXPECT_EQ(io.PXBitmap()->GetAlpha(0, 0), 1);
  EXPECT_EQ(io.PXBitmap()->GetAlpha(2, 1), 11);
  TMemoryStream again;
  io.SaveToStreamTGA(again);
  EXPECT_TRUE(g_fake.writerGotAlpha);

  // A load without a mask leaves no alpha channel from before.
  g_fake.giveAlpha = false;
  ms.SetPosition(0);
  io.LoadFromStreamTGA(ms);
  EXPECT_FALSE(io.PXBitmap()->HasAlphaChannel());
  log.Clear();
}

// ---------------------------------------------------------------- attachment

// A viewer showing a TPXBitmap or a platform bitmap it owns.
class TTestView : public TPXView {
 public:
  enum Kind { kPX, kPlatform };
  TTestView(Kind kind, bool notifyEarly) : notifyEarly_(notifyEarly) {
    if (kind == kPX) px = std::make_unique<TPXBitmap>();
    else tb = std::make_unique<TBitmap>();
  }
  ~TTestView() override {
    if (notifyEarly_) CallDestroyingEvents();
  }
  TBitmap* GetTBitmap() override { return tb.get(); }
  TPXBitmap* GetPXBitmap() override { return px.get(); }
  void Update() override { ++updates; }
  void ImageChange() override { ++imageChanges; }

  std::unique_ptr<TPXBitmap> px;
  std::unique_ptr<TBitmap> tb;
  int updates = 0;
  int imageChanges = 0;

 private:
  bool notifyEarly_;
};

using PixoranIOAttach = PixoranIOTest;

TEST_F(PixoranIOAttach, ViewerBitmapIsUsedAndToldOfTheLoad) {
  ASSERT_TRUE(PatternQImage(5, 4).save(QString::fromStdString(Path("v.bmp")), "BMP"));
  TTestView view(TTestView::kPX, true);
  view.SetBackground(clRed);
  io.SetAttachedPixoran(&view);
  EXPECT_EQ(io.AttachedPixoran(), &view);
  EXPECT_EQ(io.PXBitmap(), view.px.get());
  EXPECT_FALSE(io.OwnsBitmap());
  EXPECT_EQ(view.BitmapChangeEventCount(), 1);
  EXPECT_EQ(io.Background(), clRed);
  io.SetBackground(clBlue);  // no effect while a viewer is attached
  EXPECT_EQ(io.Background(), clRed);

  io.LoadFromFile(Path("v.bmp"));
  ASSERT_FALSE(io.Aborting());
  ExpectPattern(*view.px, 5, 4);
  EXPECT_EQ(view.updates, 1);
  EXPECT_EQ(view.imageChanges, 1);
  EXPECT_EQ(view.DpiX(), io.Params().DpiX);
  io.Params().SetDpiY(123);  // the record tells the viewer
  EXPECT_EQ(view.DpiY(), 123);

  io.SetAttachedPixoran(nullptr);
  EXPECT_EQ(view.BitmapChangeEventCount(), 0);
  EXPECT_TRUE(io.OwnsBitmap());
  EXPECT_NE(io.PXBitmap(), view.px.get());
  EXPECT_EQ(io.PXBitmap()->Width(), 0);
  log.Clear();
}

TEST_F(PixoranIOAttach, ViewerDestroyedFirst) {
  ASSERT_TRUE(PatternQImage(3, 3).save(QString::fromStdString(Path("v.bmp")), "BMP"));
  for (bool early : {true, false}) {
    for (auto kind : {TTestView::kPX, TTestView::kPlatform}) {
      TPixoranIO a, b;
      {
        auto view = std::make_unique<TTestView>(kind, early);
        a.SetAttachedPixoran(view.get());
        b.SetAttachedPixoran(view.get());
        EXPECT_EQ(view->BitmapChangeEventCount(), 2);
        a.LoadFromFile(Path("v.bmp"));
        ASSERT_FALSE(a.Aborting());
        if (kind == TTestView::kPlatform) {
          EXPECT_EQ(a.AttachedBitmap(), view->tb.get());
          EXPECT_TRUE(a.OwnsBitmap());
          EXPECT_EQ(view->tb->Width(), 3);
        }
      }
      // Both let go of the viewer and its bitmap, and go on with their own.
      for (TPixoranIO* io2 : {&a, &b}) {
        EXPECT_EQ(io2->AttachedPixoran(), nullptr);
        EXPECT_EQ(io2->AttachedBitmap(), nullptr);
        EXPECT_TRUE(io2->OwnsBitmap());
        EXPECT_EQ(io2->PXBitmap()->Width(), 0);
        io2->LoadFromFile(Path("v.bmp"));
        EXPECT_FALSE(io2->Aborting());
        ExpectPattern(*io2->PXBitmap(), 3, 3);
      }
    }
  }
  log.Clear();
}

TEST_F(PixoranIOAttach, ComponentDestroyedFirst) {
  TTestView view(TTestView::kPX, true);
  {
    TPixoranIO a;
    a.SetAttachedPixoran(&view);
    EXPECT_EQ(view.BitmapChangeEventCount(), 1);
  }
  EXPECT_EQ(view.BitmapChangeEventCount(), 0);
  view.CallBitmapChangeEvents();  // nobody left to call
}

TEST_F(PixoranIOAttach, FollowsTheViewersBitmapChanges) {
  TTestView view(TTestView::kPX, true);
  io.SetAttachedPixoran(&view);
  auto replacement = std::make_unique<TPXBitmap>();
  TPXBitmap* newOne = replacement.get();
  std::swap(view.px, replacement);
  view.CallBitmapChangeEvents();
  EXPECT_EQ(io.PXBitmap(), newOne);
  replacement.reset();  // the old bitmap is gone; nothing refers to it

  // From a bitmap to a platform bitmap.
  view.px.reset();
  view.tb = std::make_unique<TBitmap>();
  view.CallBitmapChangeEvents();
  EXPECT_EQ(io.AttachedBitmap(), view.tb.get());
  EXPECT_TRUE(io.OwnsBitmap());
  io.SetAttachedPixoran(nullptr);
}

TEST_F(PixoranIOAttach, AttachingAPlatformBitmapNeverRepointsTheViewers) {
  ASSERT_TRUE(PatternQImage(6, 2).save(QString::fromStdString(Path("p.bmp")), "BMP"));
  TTestView view(TTestView::kPX, true);
  FillPattern(*view.px, 2, 2);
  io.SetAttachedPixoran(&view);

  TBitmap platform;
  io.SetAttachedBitmap(&platform);
  EXPECT_EQ(io.AttachedPixoran(), nullptr);
  EXPECT_EQ(view.BitmapChangeEventCount(), 0);
  EXPECT_TRUE(io.OwnsBitmap());
  EXPECT_NE(io.PXBitmap(), view.px.get());
  EXPECT_EQ(io.AttachedBitmap(), &platform);
  ExpectPattern(*view.px, 2, 2);  // the viewer's bitmap is untouched

  io.LoadFromFile(Path("p.bmp"));
  ASSERT_FALSE(io.Aborting());
  EXPECT_EQ(platform.Width(), 6);
  EXPECT_EQ(platform.Height(), 2);
  ExpectPattern(*view.px, 2, 2);

  // Parameter records size themselves by the attached platform bitmap.
  TIOParamsVals record(&io);
  EXPECT_EQ(record.Width, 6);

  io.SetAttachedBitmap(nullptr);
  EXPECT_EQ(io.AttachedBitmap(), nullptr);
  log.Clear();
}

TEST_F(PixoranIOAttach, CallersBitmapAndNilWhileAViewerIsAttached) {
  TTestView view(TTestView::kPX, true);
  io.SetAttachedPixoran(&view);
  io.SetAttachedPXBitmap(nullptr);  // ignored while a viewer is attached
  io.SetAttachedBitmap(nullptr);
  EXPECT_EQ(io.AttachedPixoran(), &view);
  EXPECT_EQ(io.PXBitmap(), view.px.get());

  TPXBitmap mine;
  io.SetAttachedPXBitmap(&mine);
  EXPECT_EQ(io.PXBitmap(), &mine);
  EXPECT_FALSE(io.OwnsBitmap());
  EXPECT_EQ(io.AttachedPixoran(), nullptr);
  EXPECT_EQ(view.BitmapChangeEventCount(), 0);
  io.SetAttachedPXBitmap(nullptr);
  EXPECT_TRUE(io.OwnsBitmap());
  EXPECT_NE(io.PXBitmap(), &mine);
}

TEST_F(PixoranIOAttach, ImageControlAttachedChangedAndDestroyed) {
  ASSERT_TRUE(PatternQImage(5, 3).save(QString::fromStdString(Path("i.bmp")), "BMP"));
  TTestView view(TTestView::kPX, true);
  io.SetAttachedPixoran(&view);
  auto image = std::make_unique<TImage>();
  int changes = 0;
  image->Picture().OnChange = [&](TObject*) { ++changes; };
  io.SetAttachedTImage(image.get());
  EXPECT_EQ(io.AttachedTImage(), image.get());
  EXPECT_EQ(io.AttachedPixoran(), nullptr);  // one attachment at a time
  EXPECT_EQ(view.BitmapChangeEventCount(), 0);
  EXPECT_EQ(io.AttachedBitmap(), &image->Picture());
  EXPECT_TRUE(io.OwnsBitmap());   // a wrapper of the component's own
  io.SetAttachedBitmap(nullptr);  // ignored while a control is attached
  EXPECT_EQ(io.AttachedTImage(), image.get());

  io.LoadFromFile(Path("i.bmp"));
  ASSERT_FALSE(io.Aborting());
  EXPECT_EQ(changes, 1);  // the picture was marked modified
  EXPECT_EQ(image->Picture().Width(), 5);
  EXPECT_EQ(image->Picture().Height(), 3);

  // Detaching keeps the picture: the component only borrowed it.
  io.SetAttachedTImage(nullptr);
  EXPECT_EQ(io.AttachedBitmap(), nullptr);
  EXPECT_EQ(image->Picture().Width(), 5);
  EXPECT_EQ(io.PXBitmap()->Width(), 0);

  // Destroyed while attached: the component lets go of the picture and
  // works on a bitmap of its own.
  io.SetAttachedTImage(image.get());
  TPixoranIO other;
  other.SetAttachedTImage(image.get());
  image.reset();
  for (TPixoranIO* c : {&io, &other}) {
    EXPECT_EQ(c->AttachedTImage(), nullptr);
    EXPECT_EQ(c->AttachedBitmap(), nullptr);
    EXPECT_TRUE(c->PrepareBitmap());
    c->LoadFromFile(Path("i.bmp"));
    EXPECT_FALSE(c->Aborting());
    ExpectPattern(*c->PXBitmap(), 5, 3);
  }
  // A component that goes first leaves the control nothing to call.
  {
    TImage kept;
    {
      TPixoranIO brief;
      brief.SetAttachedTImage(&kept);
    }
  }
  log.Clear();
}

TEST_F(PixoranIOAttach, PrepareBitmapChecksTheFormat) {
  FillPattern(*io.PXBitmap(), 2, 2);
  EXPECT_TRUE(io.PrepareBitmap());
  EXPECT_TRUE(io.PrepareBitmap(PXFormatBit(pxBGR24) | PXFormatBit(pxBW1)));
  EXPECT_FALSE(io.PrepareBitmap(PXFormatBit(pxPal8)));
  io.SetBWConversion(0);
  EXPECT_EQ(io.PXBitmap()->BWConversion, 0);
  io.SetAttachedPXBitmap(nullptr);  // a fresh bitmap keeps the component's setting
  EXPECT_EQ(io.PXBitmap()->BWConversion, 0);
}

// ---------------------------------------------------------------- row colour conversion

std::vector<uint8_t> Convert(const std::vector<uint8_t>& src, int32_t from, int32_t to, int32_t count,
                             size_t destSize) {
  std::vector<uint8_t> dest(destSize, 0xCC);
  const std::vector<uint8_t> before = src;
  ConvertRowColorSpace(src.data(), from, dest.data(), nullptr, count, to);
  EXPECT_EQ(src, before) << "source changed";
  return dest;
}

TEST(PixoranIOConvertRow, ColourCodes) {
  using V = std::vector<uint8_t>;
  EXPECT_EQ(ConvertColorHook(), &ConvertRowColorSpace);
  // R,G,B -> B,G,R and the plain copy.
  EXPECT_EQ(Convert({1, 2, 3, 4, 5, 6}, pxcsRGB, pxcsBGR, 2, 6), (V{3, 2, 1, 6, 5, 4}));
  EXPECT_EQ(Convert({1, 2, 3, 4, 5, 6}, pxcsBGR, pxcsBGR, 2, 6), (V{1, 2, 3, 4, 5, 6}));
  // The top bit of the source code is not part of it.
  EXPECT_EQ(Convert({1, 2, 3}, static_cast<int32_t>(0x80000000u), pxcsBGR, 1, 3), (V{3, 2, 1}));
  // B=10 G=20 R=40: K = 40, C = 255, M = 127, Y = 63.
  EXPECT_EQ(Convert({10, 20, 40}, pxcsBGR, pxcsCMYK, 1, 4), (V{255, 127, 63, 40}));
  // And back: R = C*K/255 = 40, G = 19, B = 9.
  EXPECT_EQ(Convert({255, 127, 63, 40}, pxcsCMYK, pxcsBGR, 1, 3), (V{9, 19, 40}));
  EXPECT_EQ(Convert({0, 128, 192, 215}, pxcsInvertedCMYK, pxcsBGR, 1, 3), (V{9, 19, 40}));
  // Grey (R*21 + G*71 + B*8) div 100: R=100 G=50 B=200 -> 72.
  EXPECT_EQ(Convert({200, 50, 100, 0, 0, 0}, pxcsBGR, pxcsGray8, 2, 3), (V{72, 0, 0xCC}));
  // 16-bit words, R G B: little-endian takes the high bytes, big-endian the first.
  EXPECT_EQ(Convert({0x34, 0x12, 0xCD, 0xAB, 0x00, 0xFF}, pxcsRGB48LE, pxcsBGR, 1, 3), (V{0xFF, 0xAB, 0x12}));
  EXPECT_EQ(Convert({0x12, 0x34, 0xAB, 0xCD, 0xFF, 0x00}, pxcsRGB48BE, pxcsBGR, 1, 3), (V{0xFF, 0xAB, 0x12}));
  // Pairs without a conversion write nothing.
  const std::pair<int32_t, int32_t> none[] = {
      {pxcsGray8, pxcsBGR}, {pxcsBGR, pxcsRGB}, {pxcsCMYK, pxcsCMYK}, {pxcsBGR, pxcsRGB48LE}, {99, pxcsBGR}};
  for (auto [from, to] : none) EXPECT_EQ(Convert(V(12, 7), from, to, 2, 8), V(8, 0xCC)) << from << "->" << to;
  // Nothing for no pixels or no buffers.
  EXPECT_EQ(Convert({1, 2, 3}, pxcsRGB, pxcsBGR, 0, 3), (V{0xCC, 0xCC, 0xCC}));
  ConvertRowColorSpace(nullptr, pxcsRGB, nullptr, nullptr, 5, pxcsBGR);
}

TEST(PixoranIOConvertRow, LabRowsComeBackNearlyUnchanged) {
  const std::vector<uint8_t> bgr = {0, 0, 0, 255, 255, 255, 30, 200, 90, 250, 10, 120, 128, 128, 128};
  std::vector<uint8_t> lab(bgr.size()), back(bgr.size());
  ConvertRowColorSpace(bgr.data(), pxcsBGR, lab.data(), nullptr, 5, pxcsCIELab);
  ConvertRowColorSpace(lab.data(), pxcsCIELab, back.data(), nullptr, 5, pxcsBGR);
  // The byte encoding loses a little, most near black; a swapped channel would lose far more.
  for (size_t i = 0; i < bgr.size(); ++i) EXPECT_NEAR(back[i], bgr[i], 6) << i;
  EXPECT_GT(lab[3], 250);  // white is at the top of L
  EXPECT_LT(lab[0], 3);    // black at the bottom
}

TEST(PixoranIOConvertRow, InPlaceRowsConvert) {
  // Readers convert rows in their own buffer: destination may be the source.
  std::vector<uint8_t> row = {255, 127, 63, 40, 255, 127, 63, 40};
  ConvertRowColorSpace(row.data(), pxcsCMYK, row.data(), nullptr, 2, pxcsBGR);
  EXPECT_EQ(std::vector<uint8_t>(row.begin(), row.begin() + 6), (std::vector<uint8_t>{9, 19, 40, 9, 19, 40}));
}

// ---------------------------------------------------------------- source text

using PixoranIOSourceText = PixoranIOTest;

std::string ReadText(const std::string& name) {
  const auto bytes = ReadAll(name);
  return std::string(bytes.begin(), bytes.end());
}

TEST_F(PixoranIOSourceText, ByteArrayHexListAndBase64) {
  FillPattern(*io.PXBitmap(), 2, 2);
  io.SaveToSourceText(Path("img.pas"), kTypeThree, 0);
  EXPECT_FALSE(io.Aborting());
  log.ExpectFinishedOnce(false);
  EXPECT_EQ(ReadText(Path("img.pas")),
            "const\n"
            "  img_pas_Size = 3;\n"
            "  img_pas : array [0..img_pas_Size-1] of byte = (\n"
            "    $01,$AB,$FF);\n");

  io.SaveToSourceText(Path("img.b64"), kTypeThree, 2);
  EXPECT_FALSE(io.Aborting());
  log.ExpectFinishedOnce(false);
  EXPECT_EQ(ReadText(Path("img.b64")), "Aav/\n");

  io.SaveToSourceText(Path("forty.h"), kTypeForty, 1);
  EXPECT_FALSE(io.Aborting());
  log.ExpectFinishedOnce(false);
  std::string expected = "\\\\ Size=40\n";
  for (int i = 0; i < 40; ++i) {
    char item[8];
    std::snprintf(item, sizeof item, i == 39 ? "0x%02X" : "0x%02X,", i);
    expected += item;
    if (i == 14 || i == 29 || i == 39) expected += "\n";  // a line once it passes 70 characters
  }
  EXPECT_EQ(ReadText(Path("forty.h")), expected);

  // Format 0 with enough bytes for several lines.
  io.SaveToSourceText(Path("forty.pas"), kTypeForty, 0);
  const std::string text = ReadText(Path("forty.pas"));
  EXPECT_NE(text.find("  forty_pas_Size = 40;\n"), std::string::npos);
  EXPECT_NE(text.find("\n    $00,$01,"), std::string::npos);
  EXPECT_NE(text.find("$26,$27);\n"), std::string::npos);
  log.Clear();
}

TEST_F(PixoranIOSourceText, CharacterPicture) {
  TPXBitmap& b = *io.PXBitmap();
  ASSERT_TRUE(b.Allocate(3, 2, pxBGR24));
  const uint8_t top[9] = {0, 0, 0, 255, 255, 255, 128, 128, 128};
  const uint8_t bottom[9] = {0, 0, 255, 0, 255, 0, 255, 0, 0};  // red, green, blue
  std::memcpy(b.Scanline(0), top, 9);
  std::memcpy(b.Scanline(1), bottom, 9);
  io.SaveToSourceText(Path("pic.txt"), 0, 3);
  EXPECT_FALSE(io.Aborting());
  log.ExpectFinishedOnce(false);
  EXPECT_EQ(ReadText(Path("pic.txt")), "W +\n@.W\n");
}

TEST_F(PixoranIOSourceText, NothingForAnEmptyImageOrAFailedEncoding) {
  io.SaveToSourceText(Path("empty.pas"), kTypeThree, 0);
  EXPECT_TRUE(io.Aborting());
  log.ExpectFinishedOnce(true);
  io.SaveToSourceText(Path("empty.txt"), 0, 3);
  EXPECT_TRUE(io.Aborting());
  log.ExpectFinishedOnce(true);

  FillPattern(*io.PXBitmap(), 2, 2);
  io.SaveToSourceText(Path("fail.pas"), kTypeFailing, 0);
  EXPECT_TRUE(io.Aborting());
  log.ExpectFinishedOnce(true);
  EXPECT_THROW(io.SaveToSourceText(Path("throw.pas"), kTypeThrowing, 0), std::runtime_error);
  log.ExpectFinishedOnce(true);
  io.SaveToSourceText(Path("odd.pas"), kTypeThree, 7);
  EXPECT_TRUE(io.Aborting());
  log.ExpectFinishedOnce(true);

  ASSERT_TRUE(io.PXBitmap()->Allocate(2, 2, pxGray8));
  io.SaveToSourceText(Path("grey.txt"), 0, 3);  // pictures only of pxBGR24 images
  EXPECT_TRUE(io.Aborting());
  log.ExpectFinishedOnce(true);
  EXPECT_TRUE(DirEntries(dir).empty());
}

// ---------------------------------------------------------------- dialogs' counts

TEST_F(PixoranIOTest, CountsAreZeroWithoutAFilterOrFile) {
  EXPECT_EQ(GIFFileFrameCount(Path("missing.gif")), 0);
  EXPECT_EQ(TIFFFilePageCount(Path("missing.tif")), 0);
  EXPECT_EQ(DCXFilePageCount(Path("missing.dcx")), 0);
  EXPECT_EQ(ICOFileImageCount(Path("missing.ico")), 0);
}

}  // namespace
}  // namespace pixoran
