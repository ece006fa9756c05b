// Format registry, content detection, descriptions and the extension routes.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "io/formats/formats.h"
#include "io/iohooks.h"
#include "io/pixoranio_codecs.h"
#include "external_tools.h"
#include "formats_built.h"
#include "io/pixoranio.h"
#include "io/pxformats.h"
#include "platform/streams.h"
#include "testsupport.h"

namespace pixoran {
namespace {

// Every test starts and ends with the built-in registry only.
class Formats : public ::testing::Test {
 protected:
  void SetUp() override { RegisterBuiltinFileFormats(); }
  void TearDown() override {
    PXIOHooks() = TPXIOHooks{};
    RegisterBuiltinFileFormats();
  }
};

std::vector<uint8_t> Bytes(const std::string& head, size_t total) {
  std::vector<uint8_t> v(total, 0x55);
  std::copy_n(head.begin(), std::min(head.size(), total), v.begin());
  return v;
}

int32_t Detect(const std::vector<uint8_t>& data) {
  TMemoryStream ms;
  if (!data.empty()) ms.Write(data.data(), static_cast<int64_t>(data.size()));
  ms.SetPosition(0);
  const int32_t t = FindStreamFormat(ms);
  EXPECT_EQ(ms.Position(), 0);
  return t;
}

void WriteFile(const std::string& name, const std::vector<uint8_t>& data) {
  TFileStream fs(name, fmCreate);
  fs.WriteBuffer(data.data(), static_cast<int64_t>(data.size()));
}

// ---------------------------------------------------------------- registry contents

TEST_F(Formats, BuiltinRecordsInRegistryOrder) {
  const int32_t types[] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 16, 13, 14, 17, 18, 19};
  ASSERT_EQ(FileFormatCount(), 18);
  for (int32_t i = 0; i < 18; ++i) EXPECT_EQ(FileFormatAt(i)->FileType, types[i]) << i;
  EXPECT_EQ(FileFormatAt(18), nullptr);
  EXPECT_EQ(FileFormatAt(-1), nullptr);
  EXPECT_EQ(FindFileFormatInfo(ioAVI), nullptr);  // AVI is never registered

  const TPXFileFormatInfo* tga = FindFileFormatInfo(ioTGA);
  ASSERT_NE(tga, nullptr);
  EXPECT_EQ(tga->FullName, "Targa Bitmap");
  EXPECT_EQ(tga->Extensions, "TGA;TARGA;VDA;ICB;VST;PIX");
  EXPECT_EQ(tga->DialogPage, 256);
  EXPECT_EQ(FindFileFormatInfo(ioPXM)->FullName, "Portable Pixmap, GrayMap, BitMap");
  EXPECT_EQ(FindFileFormatInfo(ioJ2K)->DialogPage, 512);
  EXPECT_EQ(FindFileFormatInfo(ioICO)->DialogPage, 0);
}

TEST_F(Formats, ExtensionItemsAndCounts) {
  EXPECT_EQ(FileFormatExtension(ioTIFF, 0), "TIF");
  EXPECT_EQ(FileFormatExtension(ioTIFF, 4), "G3F");
  EXPECT_EQ(FileFormatExtension(ioTIFF, 5), "");
  EXPECT_EQ(FileFormatExtension(ioTIFF, -1), "");
  EXPECT_EQ(FileFormatExtensionCount(ioTGA), 6);
  EXPECT_EQ(FileFormatExtensionCount(ioGIF), 1);
  EXPECT_EQ(FileFormatExtensionCount(ioAVI), 0);
  EXPECT_EQ(FileFormatExtensionCount(4711), 0);
}

TEST_F(Formats, LookupByExtensionIgnoresCase) {
  ASSERT_NE(FindFileFormatInfoByExtension("Tiff"), nullptr);
  EXPECT_EQ(FindFileFormatInfoByExtension("Tiff")->FileType, ioTIFF);
  EXPECT_EQ(FindFileFormatInfoByExtension("pix")->FileType, ioTGA);
  EXPECT_EQ(FindFileFormatInfoByExtension("j2c")->FileType, ioJ2K);
  EXPECT_EQ(FindFileFormatInfoByExtension("avi"), nullptr);
  EXPECT_EQ(FindFileFormatInfoByExtension("win"), nullptr);  // only the I/O component routes .win
  EXPECT_EQ(FindFileFormatInfoByExtension(""), nullptr);
  EXPECT_EQ(FindFileFormatInfoByExtension("TI"), nullptr);  // whole items only
}

TEST_F(Formats, ReadableAndWritableMarks) {
  // What a format can never do stays unmarked whatever filters exist.
  EXPECT_EQ(FindFileFormatInfo(ioCUR)->WriteFunction, nullptr);
  EXPECT_EQ(FindFileFormatInfo(ioWMF)->WriteFunction, nullptr);
  EXPECT_EQ(FindFileFormatInfo(ioEMF)->WriteFunction, nullptr);
  EXPECT_TRUE(IsReadableFileName("/frames/0/border.wmf"));
  EXPECT_TRUE(IsReadableFileName("c1.EMF"));
  EXPECT_EQ(FindFileFormatInfo(ioPS)->ReadFunction, nullptr);
  EXPECT_EQ(FindFileFormatInfo(ioPDF)->ReadFunction, nullptr);
  EXPECT_FALSE(IsReadableFileName("/some/where/picture.EPS"));
  // BMP has its filter.
  EXPECT_TRUE(IsBuiltinReadPlaceholder(FindFileFormatInfo(ioBMP)->ReadFunction));
  EXPECT_TRUE(IsBuiltinWritePlaceholder(FindFileFormatInfo(ioBMP)->WriteFunction));
  EXPECT_TRUE(IsReadableFileName("a.bmp"));
  EXPECT_TRUE(IsReadableFileName("b.DiB"));
  EXPECT_TRUE(IsReadableFileName("/x.y/c.rle"));
  EXPECT_FALSE(IsReadableFileName("/pictures.bmp/noextension"));
  EXPECT_FALSE(IsReadableFileName("noextension"));
  EXPECT_FALSE(IsReadableFileName("movie.avi"));
  // A built-in format is offered exactly when its filter is in the library.
  for (int32_t i = 0; i < FileFormatCount(); ++i) {
    const TPXFileFormatInfo* info = FileFormatAt(i);
    const TPXFormatCodec* codec = FindFormatCodec(info->FileType);
    ASSERT_NE(codec, nullptr);
    // Metafiles are imported from their files, without a stream filter.
    const bool imported = info->FileType == ioWMF || info->FileType == ioEMF;
    if (info->ReadFunction && !imported) {
      EXPECT_NE(codec->Read, nullptr) << info->FullName;
    }
    if (info->WriteFunction) {
      EXPECT_NE(codec->Write, nullptr) << info->FullName;
    }
  }
  EXPECT_EQ(IsReadableFileName("x.cur"), FindFileFormatInfo(ioCUR)->ReadFunction != nullptr);
}

TEST_F(Formats, GIFMarksFollowTheLZWHooks) {
  PXIOHooks().GIFLZWDecompressHook = nullptr;
  PXIOHooks().GIFLZWCompressHook = nullptr;
  UpdateGIFFormatAvailability();
  EXPECT_EQ(FindFileFormatInfo(ioGIF)->ReadFunction, nullptr);
  EXPECT_EQ(FindFileFormatInfo(ioGIF)->WriteFunction, nullptr);

  PXIOHooks().GIFLZWDecompressHook = [](TStream&, int32_t, int32_t, uint8_t*, bool) {};
  UpdateGIFFormatAvailability();
  const bool filter = FindFormatCodec(ioGIF)->Read != nullptr;
  EXPECT_EQ(FindFileFormatInfo(ioGIF)->ReadFunction != nullptr, filter);
  EXPECT_EQ(FindFileFormatInfo(ioGIF)->WriteFunction, nullptr);  // no compressor hook
}

TEST_F(Formats, RegistrationKeepsACopyAndAppends) {
  TPXFileFormatInfo info;
  info.FileType = 1001;
  info.FullName = std::string(100, 'N');
  info.Extensions = "ABC;BMP";
  const int32_t index = RegisterFileFormat(info);
  EXPECT_EQ(index, 18);
  info.FullName = "changed";
  info.FileType = 1002;
  EXPECT_EQ(RegisterFileFormat(info), 19);

  const TPXFileFormatInfo* stored = FindFileFormatInfo(1001);
  ASSERT_NE(stored, nullptr);
  EXPECT_EQ(stored->FullName, std::string(80, 'N'));  // cut to the record's width
  EXPECT_EQ(FindFileFormatInfoByExtension("abc")->FileType, 1001);
  // The built-in record that lists BMP first is the one found.
  EXPECT_EQ(FindFileFormatInfoByExtension("bmp")->FileType, ioBMP);

  UnregisterFileFormats();
  EXPECT_EQ(FileFormatCount(), 0);
  EXPECT_EQ(FindFileFormatInfo(ioBMP), nullptr);
  EXPECT_FALSE(IsReadableFileName("a.bmp"));
}

TEST_F(Formats, NamesCutAtCharacterBoundary) {
  TPXFileFormatInfo info;
  info.FileType = 1003;
  info.FullName = std::string(79, 'a') + "\xC3\xA9";  // 81 bytes, the last character two of them
  RegisterFileFormat(info);
  EXPECT_EQ(FindFileFormatInfo(1003)->FullName, std::string(79, 'a'));
}

// ---------------------------------------------------------------- descriptions

TEST_F(Formats, Descriptions) {
  TIOParamsVals p;
  p.FileType = ioJPEG;
  p.JPEGColorSpace = 2;
  EXPECT_EQ(FileFormatDescription(p), "JPEG Bitmap (JPG) YCbCr");
  p.JPEGColorSpace = 0;
  EXPECT_EQ(FileFormatDescription(p), "JPEG Bitmap (JPG)");
  p.FileType = ioTIFF;
  p.TIFFCompression = 5;
  EXPECT_EQ(FileFormatDescription(p), "TIFF Bitmap (TIF) LZW");
  p.TIFFCompression = 9;
  EXPECT_EQ(FileFormatDescription(p), "TIFF Bitmap (TIF)");
  p.TIFFCompression = 200;
  EXPECT_EQ(FileFormatDescription(p), "TIFF Bitmap (TIF)");
  p.FileType = ioBMP;
  p.BMPHeaderKind = 2;
  EXPECT_EQ(FileFormatDescription(p), "Windows Bitmap (BMP) OS/2 v.1");
  p.FileType = ioTGA;
  p.TGACompressed = 0;
  EXPECT_EQ(FileFormatDescription(p), "Targa Bitmap (TGA) Uncompressed");
  p.FileType = ioPCX;
  p.PCXCompression = 1;
  EXPECT_EQ(FileFormatDescription(p), "PaintBrush (PCX)");
  p.FileType = ioJ2K;
  p.J2000ColorSpace = 0;
  EXPECT_EQ(FileFormatDescription(p), "JPEG2000 Code Stream (J2K) Gray level");
  p.FileType = ioGIF;
  p.GIFInterlaced = 1;
  EXPECT_EQ(FileFormatDescription(p), "CompuServe Bitmap (GIF) Interlaced");
  p.FileType = ioAVI;  // not registered, nothing to add
  EXPECT_EQ(FileFormatDescription(p), "");
  p.FileType = ioUnknown;
  EXPECT_EQ(FileFormatDescription(p), "");
}

// ---------------------------------------------------------------- content detection

TEST_F(Formats, SignaturesAndTheirMinimumSizes) {
  struct Case {
    std::string head;
    size_t size;
    int32_t expected;
  };
  const Case cases[] = {
      {std::string("JFIF\0", 5), 13, ioJPEG},
      {std::string("JFIF\0", 5), 12, ioUnknown},
      {"GIF89a", 14, ioGIF},
      {"GIF89a", 13, ioUnknown},
      {std::string("PCX2\0", 5), 13, ioPCX},
      {std::string("PCX\0", 4), 5, ioPCX},
      {std::string("PCX\0", 4), 4, ioUnknown},
      {"BM", 15, ioBMP},
      {"BM", 10, ioUnknown},
      {"\x0A\x05", 129, ioPCX},
      {"\x0A\x05", 100, ioUnknown},
      {"\x0A\x06", 129, ioUnknown},
      {std::string("TIFF\0", 5), 13, ioTIFF},
      {"II*", 9, ioTIFF},
      {"MM", 9, ioTIFF},
      {"II", 8, ioUnknown},
      // "II" wins before any later test, whatever follows.
      {"II\x89PNG", 200, ioTIFF},
      {std::string("RIFF\x10\0\0\0AVI ", 12), 12, ioAVI},
      {std::string("RIFF\x10\0\0\0WAVE", 12), 12, ioUnknown},
      {"nothing known here", 200, ioUnknown},
      {"", 0, ioUnknown},
  };
  for (const auto& c : cases) EXPECT_EQ(Detect(Bytes(c.head, c.size)), c.expected) << c.head << " / " << c.size;
}

TEST_F(Formats, DetectionLooksAfterThePosition) {
  // 100 bytes of something else, then a BMP signature.
  std::vector<uint8_t> data(100, 0x0A);
  const auto bmp = Bytes("BM", 20);
  data.insert(data.end(), bmp.begin(), bmp.end());
  TMemoryStream ms;
  ms.Write(data.data(), static_cast<int64_t>(data.size()));
  ms.SetPosition(100);
  EXPECT_EQ(FindStreamFormat(ms), ioBMP);
  EXPECT_EQ(ms.Position(), 100);

  // The whole stream is big enough, what follows the position is not.
  TMemoryStream shortTail;
  std::vector<uint8_t> tail(200, 0);
  std::memcpy(tail.data() + 190, "BM", 2);
  shortTail.Write(tail.data(), 200);
  shortTail.SetPosition(190);
  EXPECT_EQ(FindStreamFormat(shortTail), ioUnknown);
  EXPECT_EQ(shortTail.Position(), 190);

  // Bytes before the position never take part.
  TMemoryStream before;
  const auto gif = Bytes("GIF89a", 30);
  before.Write(gif.data(), 30);
  before.SetPosition(3);
  EXPECT_EQ(FindStreamFormat(before), ioUnknown);
  EXPECT_EQ(before.Position(), 3);
}

bool ProbeThrows(TStream& s) {
  uint8_t b[2];
  s.Read(b, 2);
  throw std::runtime_error("probe failed");
}
bool ProbeWandersAndSaysNo(TStream& s) {
  s.Seek(0, TSeekOrigin::soEnd);
  return false;
}
bool ProbeClaimsGIF(TStream& s) {
  char b[3] = {};
  const bool yes = s.Read(b, 3) == 3 && std::memcmp(b, "GIF", 3) == 0;
  s.Seek(-3, TSeekOrigin::soCurrent);
  return yes;
}

TEST_F(Formats, RegisteredProbesComeFirst) {
  TPXFileFormatInfo info;
  info.FileType = 1010;
  info.Extensions = "XYZ";
  info.TryFunction = ProbeWandersAndSaysNo;
  RegisterFileFormat(info);
  info.FileType = 1011;
  info.TryFunction = ProbeClaimsGIF;
  RegisterFileFormat(info);

  // A probe that says no and leaves the stream elsewhere does not hide the signatures.
  EXPECT_EQ(Detect(Bytes("BM", 40)), ioBMP);
  // A registered probe beats the built-in signature test.
  EXPECT_EQ(Detect(Bytes("GIF89a", 40)), 1011);
}

TEST_F(Formats, ThrowingProbeEndsDetectionAndRestoresPosition) {
  TPXFileFormatInfo info;
  info.FileType = 1012;
  info.TryFunction = ProbeThrows;
  RegisterFileFormat(info);
  TMemoryStream ms;
  const auto bmp = Bytes("BM", 40);
  ms.Write(bmp.data(), 40);
  ms.SetPosition(5);
  EXPECT_NO_THROW(EXPECT_EQ(FindStreamFormat(ms), ioUnknown));
  EXPECT_EQ(ms.Position(), 5);
}

// A stream whose every read fails with an exception.
class TBrokenStream : public TMemoryStream {
 public:
  int64_t Read(void*, int64_t) override { throw EReadError("device gone"); }
};

TEST_F(Formats, ReadErrorsNeverEscapeDetection) {
  TBrokenStream s;
  const auto bmp = Bytes("BM", 40);
  s.Write(bmp.data(), 40);
  s.SetPosition(2);
  EXPECT_NO_THROW(EXPECT_EQ(FindStreamFormat(s), ioUnknown));
  EXPECT_EQ(s.Position(), 2);
  EXPECT_FALSE(IsAVIStream(s));
}

bool ProbeClaimsIcon(TStream& s) {
  char b[4] = {};
  const bool yes = s.Read(b, 4) == 4 && std::memcmp(b, "ICON", 4) == 0;
  s.Seek(-4, TSeekOrigin::soCurrent);
  return yes;
}

TEST_F(Formats, FindFileFormatVerifiesTheExtension) {
  const std::string dir = testing::MakeTempDir("formats");
  const auto bmp = Bytes("BM", 64);
  WriteFile(dir + "/a.bmp", bmp);
  WriteFile(dir + "/a.jpg", bmp);
  WriteFile(dir + "/a.unknownext", bmp);
  EXPECT_EQ(FindFileFormat(dir + "/a.bmp", true), ioBMP);
  EXPECT_EQ(FindFileFormat(dir + "/a.jpg", false), ioBMP);
  EXPECT_EQ(FindFileFormat(dir + "/a.jpg", true), ioUnknown);
  EXPECT_EQ(FindFileFormat(dir + "/a.unknownext", true), ioUnknown);
  EXPECT_EQ(FindFileFormat(dir + "/missing.bmp", false), ioUnknown);
  EXPECT_EQ(FindFileFormat(dir, false), ioUnknown);  // a folder

  // Icon content: believed for either icon extension, for no other.
  TPXFileFormatInfo info;
  info.FileType = ioICO;
  info.TryFunction = ProbeClaimsIcon;
  RegisterFileFormat(info);
  const auto icon = Bytes("ICON", 64);
  for (const char* name : {"/i.ico", "/i.cur", "/i.bmp", "/i.png"}) WriteFile(dir + name, icon);
  EXPECT_EQ(FindFileFormat(dir + "/i.ico", true), ioICO);
  EXPECT_EQ(FindFileFormat(dir + "/i.cur", true), ioCUR);
  EXPECT_EQ(FindFileFormat(dir + "/i.bmp", true), ioUnknown);
  EXPECT_EQ(FindFileFormat(dir + "/i.png", true), ioUnknown);
}

// ---------------------------------------------------------------- routes and names

TEST_F(Formats, ExtensionRoutes) {
  struct Case {
    const char* ext;
    int32_t load, save;
  };
  const Case cases[] = {
      {".jpe", ioJPEG, ioJPEG}, {".jpc", ioJ2K, ioJ2K},    {".g3n", ioTIFF, ioTIFF}, {".win", ioTGA, ioTGA},
      {".rle", ioBMP, ioBMP},   {".cur", ioCUR, 0},        {".wmf", ioWMF, 0},       {".emf", ioEMF, 0},
      {".avi", ioAVI, 0},       {".ps", 0, ioPS},          {".eps", 0, ioPS},        {".pdf", 0, ioPDF},
      {".pbm", ioPXM, ioPXM},   {".wbmp", ioWBMP, ioWBMP}, {".dcx", ioDCX, ioDCX},
  };
  for (const auto& c : cases) {
    const TPXExtensionRoute* r = FindExtensionRoute(c.ext);
    ASSERT_NE(r, nullptr) << c.ext;
    EXPECT_EQ(r->LoadType, c.load) << c.ext;
    EXPECT_EQ(r->SaveType, c.save) << c.ext;
  }
  EXPECT_EQ(FindExtensionRoute(".pix"), nullptr);  // registry only
  EXPECT_EQ(FindExtensionRoute(".JPG"), nullptr);  // callers lower-case first
  EXPECT_EQ(FindExtensionRoute(""), nullptr);
}

TEST_F(Formats, FileNameParts) {
  EXPECT_EQ(ExtractFileExt("/a/b/photo.JPG"), ".JPG");
  EXPECT_EQ(ExtractFileExt("archive.tar.gz"), ".gz");
  EXPECT_EQ(ExtractFileExt("/a.b/noext"), "");
  EXPECT_EQ(ExtractFileExt("trailing."), ".");
  EXPECT_EQ(ExtractFileName("/a.b/c.d"), "c.d");
  EXPECT_EQ(ExtractFileName("plain"), "plain");
  EXPECT_EQ(LowerCaseASCII("AbC.JPG"), "abc.jpg");
  EXPECT_EQ(UpperCaseASCII("tif;tiff"), "TIF;TIFF");
}

// The detection order the format modules assemble: rank, format, the size
// that must follow the position, and the signature (its shortest matching
// head) or, without one, the format's probe.
TEST_F(Formats, DetectionStepsInTheirOrder) {
  struct Row {
    int32_t rank, fileType;
    int64_t moreThan;
    const char* head;  // nullptr: the probe
    size_t headLength;
  };
  const Row rows[] = {
      {1, ioJPEG, 12, "JFIF\0", 5}, {2, ioGIF, 13, "GIF", 3},     {3, ioPCX, 12, "PCX2\0", 5},
      {4, ioPCX, 4, "PCX\0", 4},    {5, ioBMP, 14, "BM", 2},      {6, ioPCX, 128, "\x0A\x05", 2},
      {7, ioTIFF, 12, "TIFF\0", 5}, {8, ioTIFF, 8, "MM", 2},      {9, ioPNG, 8, nullptr, 0},
      {10, ioICO, -1, nullptr, 0},  {11, ioCUR, -1, nullptr, 0},  {12, ioTGA, -1, nullptr, 0},
      {13, ioPXM, -1, nullptr, 0},  {14, ioJPEG, -1, nullptr, 0}, {15, ioJP2, -1, nullptr, 0},
      {16, ioJ2K, -1, nullptr, 0},  {17, ioAVI, -1, nullptr, 0},  {18, ioDCX, -1, nullptr, 0},
  };
  const std::span<const TPXDetectStep> steps = BuiltinDetectSteps();
  ASSERT_EQ(steps.size(), std::size(rows));
  for (size_t i = 0; i < std::size(rows); ++i) {
    const Row& row = rows[i];
    const TPXDetectStep& step = steps[i];
    SCOPED_TRACE(row.rank);
    EXPECT_EQ(DetectStepAt(static_cast<int32_t>(i)), &step);  // what detection walks
    EXPECT_EQ(step.Rank, row.rank * 100);                     // sparse, so a format can be put between two
    EXPECT_EQ(step.FileType, row.fileType);
    EXPECT_EQ(step.MoreThan, row.moreThan);
    if (!row.head) {
      EXPECT_EQ(step.Signature, nullptr);
      const TPXFormatCodec* codec = FindFormatCodec(row.fileType);
      ASSERT_NE(codec, nullptr);
      EXPECT_NE(codec->Probe, nullptr);
      continue;
    }
    ASSERT_NE(step.Signature, nullptr);
    uint8_t head[129] = {};
    std::memcpy(head, row.head, row.headLength);
    EXPECT_TRUE(step.Signature(head));
    head[row.headLength - 1] ^= 0x40;  // its last byte changed
    EXPECT_FALSE(step.Signature(head));
  }
  EXPECT_EQ(DetectStepAt(static_cast<int32_t>(steps.size())), nullptr);
}

// Every module's records sit once in the registry order, every page once at
// its index, and a record's dialog page is the flag of the page that edits it.
TEST_F(Formats, ModulesAssembleTheTables) {
  size_t records = 0, pages = 0, steps = 0;
  for (const TPXFormatModule* m : BuiltinFormatModules()) {
    for (const TPXFormatCodec& own : m->Codecs) {
      SCOPED_TRACE(own.FileType);
      const std::span<const TPXFormatCodec> all = BuiltinFormatCodecs();
      EXPECT_EQ(
          std::count_if(all.begin(), all.end(), [&](const TPXFormatCodec& c) { return c.FileType == own.FileType; }),
          1);
    }
    records += m->Codecs.size();
    pages += m->Pages.size();
    steps += m->Steps.size();
  }
  EXPECT_EQ(records, BuiltinFormatCodecs().size());
  EXPECT_EQ(steps, BuiltinDetectSteps().size());
  EXPECT_EQ(pages, static_cast<size_t>(ppgCount));
  for (int32_t i = 0; i < ppgCount; ++i) EXPECT_EQ(SavePages()[static_cast<size_t>(i)].Page, i);

  const std::pair<int32_t, uint16_t> dialogPages[] = {
      {ioTIFF, 8}, {ioGIF, 16},  {ioJPEG, 4},  {ioPCX, 64}, {ioBMP, 32},  {ioICO, 0},
      {ioCUR, 0},  {ioPNG, 128}, {ioWMF, 0},   {ioEMF, 0},  {ioTGA, 256}, {ioPXM, 0},
      {ioWBMP, 0}, {ioJP2, 512}, {ioJ2K, 512}, {ioPS, 0},   {ioPDF, 0},   {ioDCX, 0},
  };
  for (const auto& [type, page] : dialogPages) {
    SCOPED_TRACE(type);
    ASSERT_NE(FindFileFormatInfo(type), nullptr);
    EXPECT_EQ(FindFileFormatInfo(type)->DialogPage, page);
    EXPECT_EQ(FindFormatCodec(type)->DialogPage, page);
    EXPECT_EQ(SavePageFlagOfFileType(type), page);
  }
}

// ---------------------------------------------------------------- other programs' files

// One file of each kind written by netpbm, libtiff's tools and OpenJPEG's
// tools, named with no extension and with another format's: detection
// finds its format, and both loads (by the detected type from the file, by
// content from a stream) give the picture the tools were handed.
TEST_F(Formats, OtherProgramsFilesFoundByContentWithoutTheirExtension) {
  for (const char* tool : {"pnmtopng", "tiffcp", "opj_compress"})
    if (!testing::HaveTool(tool)) GTEST_SKIP() << tool << " missing";
  const std::string d = testing::MakeTempDir("detect-tools");
  // Four flat colours in blocks of 8: a palette holds them, JPEG keeps them.
  constexpr int kW = 24, kH = 16;
  testing::TPnm ref{kW, kH, 3, 255, {}};
  const uint8_t colours[4][3] = {{200, 30, 40}, {20, 180, 60}, {30, 50, 220}, {240, 240, 240}};
  for (int y = 0; y < kH; ++y)
    for (int x = 0; x < kW; ++x)
      for (int c = 0; c < 3; ++c) ref.Samples.push_back(colours[(x / 8 + y / 8) % 4][c]);
  ASSERT_TRUE(testing::WritePnm(d + "/ref.ppm", ref));
  testing::TPnm grey = ref;
  grey.Channels = 1, grey.Samples.clear();
  for (size_t i = 0; i < ref.Samples.size(); i += 3) grey.Samples.push_back(ref.Samples[i] < 128 ? 0 : 255);
  ASSERT_TRUE(testing::WritePnm(d + "/ref.pgm", grey));
  ASSERT_TRUE(testing::RunTool("cd " + d +
                               " && pgmtopbm -threshold ref.pgm > ref.pbm && pnmtotiff ref.ppm > ref.tif"
                               " && pnmtotiff -truecolor ref.ppm > rgb.tif"));

  struct Case {
    const char* command;  // writes out in the folder
    int32_t type;
    bool blackAndWhite;
    double tolerance;  // mean difference per channel; lossless files must match exactly
  } cases[] = {
      {"ppmtobmp ref.ppm > out", ioBMP, false, 0},
      {"pnmtopng ref.ppm > out", ioPNG, false, 0},
      {"pamtogif ref.ppm > out", ioGIF, false, 0},
      // Left out: ppmtopcx's own choice for four colours, 2 planes of 1 bit, which our reader refuses.
      {"ppmtopcx -8bit ref.ppm > out", ioPCX, false, 0},
      {"ppmtopcx -24bit ref.ppm > out", ioPCX, false, 0},
      {"pamtotga ref.ppm > out", ioTGA, false, 0},
      {"pnmtojpeg -quality=100 ref.ppm > out", ioJPEG, false, 8},  // chroma halved at the colour edges
      {"pnmtotiff ref.ppm > out", ioTIFF, false, 0},
      {"ppmtowinicon ref.ppm > out", ioICO, false, 0},
      {"pnmtopnm ref.ppm > out", ioPXM, false, 0},
      {"pnmtoplainpnm ref.ppm > out", ioPXM, false, 0},
      {"pnmtoplainpnm ref.pbm > out", ioPXM, true, 0},
      {"tiffcp -c lzw ref.tif out", ioTIFF, false, 0},
      {"tiffcp -c zip -B ref.tif out", ioTIFF, false, 0},  // big-endian
      {"tiffcp -c jpeg:100 rgb.tif out", ioTIFF, false, 8},
      {"pnmtotiff ref.pbm > b.tif && tiffcp -c g4 b.tif out", ioTIFF, true, 0},
      {"ppm2tiff -c packbits ref.ppm out", ioTIFF, false, 0},
      {"opj_compress -n 3 -i ref.ppm -o out.jp2 >/dev/null && mv out.jp2 out", ioJP2, false, 0},
      {"opj_compress -n 3 -i ref.ppm -o out.j2k >/dev/null && mv out.j2k out", ioJ2K, false, 0},
  };
  const char* const otherExtension[] = {".png", ".bmp", ".jpg", ".gif", ".tif", ".tga"};
  int n = 0;
  for (const Case& c : cases) {
    if (!testing::FormatBuilt(c.type)) continue;
    SCOPED_TRACE(c.command);
    ASSERT_TRUE(testing::RunTool("cd " + d + " && rm -f out && " + c.command));
    const std::string bare = d + "/file" + std::to_string(n);
    std::string wrong = bare + otherExtension[n % 6];
    if (FindFileFormatInfoByExtension(wrong.substr(wrong.size() - 3))->FileType == c.type)
      wrong = bare + otherExtension[(n + 1) % 6];
    ++n;
    ASSERT_EQ(std::rename((d + "/out").c_str(), bare.c_str()), 0);
    ASSERT_TRUE(testing::RunTool("cp " + bare + " " + wrong));
    EXPECT_EQ(FindFileFormat(bare, false), c.type);
    EXPECT_EQ(FindFileFormat(wrong, false), c.type);
    EXPECT_EQ(FindFileFormat(wrong, true), ioUnknown);  // the extension names another format

    TPixoranIO byType;
    byType.LoadFromFileFormat(bare, FindFileFormat(bare, false));
    TPixoranIO byContent;
    {
      TFileStream fs(wrong, fmOpenRead);
      byContent.LoadFromStream(fs);
    }
    for (TPixoranIO* io : {&byType, &byContent}) {
      ASSERT_FALSE(io->Aborting()) << io->LastResultText();
      EXPECT_EQ(io->Params().FileType, c.type);
      TPXBitmap& b = *io->PXBitmap();
      ASSERT_EQ(b.Width(), kW);
      ASSERT_EQ(b.Height(), kH);
      TPXBitmap rgb;
      rgb.CopyPixelsFrom(b);
      rgb.SetPixelFormat(pxBGR24);
      double sum = 0;
      int worst = 0;
      for (int y = 0; y < kH; ++y) {
        const uint8_t* row = rgb.Scanline(y);
        for (int x = 0; x < kW; ++x)
          for (int ch = 0; ch < 3; ++ch) {
            const int d1 = std::abs(row[x * 3 + 2 - ch] - (c.blackAndWhite ? grey.At(x, y, 0) : ref.At(x, y, ch)));
            sum += d1;
            worst = std::max(worst, d1);
          }
      }
      if (c.tolerance > 0) EXPECT_LE(sum / (kW * kH * 3), c.tolerance);
      else EXPECT_EQ(worst, 0);
    }
  }
}

}  // namespace
}  // namespace pixoran
