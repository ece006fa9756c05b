// PCX, DCX, TGA, ICO, CUR, PNM and WBMP through the I/O component: saves by
// extension, loads by extension and by content, parameters-only reads,
// image and page counts, stream headers.
#include <gtest/gtest.h>

#include <string>

#include "filtertools.h"
#include "io/pixoranio.h"
#include "io/pxformats.h"

namespace pixoran {
namespace {

using namespace pixoran::testing;

TEST(SmallFormatsIO, SavedByExtensionLoadedByExtensionAndContent) {
  const std::string d = MakeTempDir("smallformats-io");
  const TRGBImage ref = MakeRGB(21, 9);
  struct Case {
    const char* ext;
    int32_t type;
    bool oneBit;
  } cases[] = {{"pcx", ioPCX, false}, {"dcx", ioDCX, false},  {"tga", ioTGA, false}, {"ppm", ioPXM, false},
               {"pbm", ioPXM, true},  {"wbmp", ioWBMP, true}, {"ico", ioICO, false}};
  for (auto& c : cases) {
    TPixoranIO io;
    ToBitmap(ref, *io.PXBitmap(), c.oneBit);
    io.Params().ICOSizes[0] = {21, 9};
    io.Params().ICOBitCounts[0] = 24;
    const std::string path = d + "/a." + c.ext;
    io.SaveToFile(path);
    ASSERT_FALSE(io.Aborting()) << c.ext;
    const TRGBImage want = c.oneBit ? Thresholded(ref) : ref;

    TPixoranIO back;
    back.LoadFromFile(path);
    ASSERT_FALSE(back.Aborting()) << c.ext;
    EXPECT_EQ(back.Params().FileType, c.type);
    EXPECT_TRUE(SameImage(want, FromBitmap(*back.PXBitmap()))) << c.ext;

    if (c.type != ioWBMP) {  // chosen by extension only
      TMemoryStream s;
      s.LoadFromFile(path);
      EXPECT_EQ(FindStreamFormat(s), c.type) << c.ext;
      TPixoranIO detected;
      detected.LoadFromStream(s);
      ASSERT_FALSE(detected.Aborting()) << c.ext;
      EXPECT_TRUE(SameImage(want, FromBitmap(*detected.PXBitmap()))) << c.ext;
    }
    TPixoranIO params;
    params.ParamsFromFileFormat(path, c.type);
    EXPECT_FALSE(params.Aborting()) << c.ext;
    EXPECT_EQ(params.Params().Width, 21) << c.ext;
    EXPECT_EQ(params.Params().Height, 9) << c.ext;
  }
}

TEST(SmallFormatsIO, PagesAndImagesByIndex) {
  const std::string d = MakeTempDir("smallformats-pages");
  TPixoranIO io;
  ToBitmap(MakeRGB(8, 8), *io.PXBitmap());
  io.Params().ICOSizes[0] = {8, 8};
  io.Params().ICOSizes[1] = {4, 2};
  io.Params().ICOSizes[2] = {3, 3};
  io.Params().ICOBitCounts = {24, 32, 8};
  io.SaveToFile(d + "/m.ico");
  ASSERT_FALSE(io.Aborting());
  EXPECT_EQ(ICOFileImageCount(d + "/m.ico"), 3);
  for (int i = 0; i < 3; ++i) {
    TPixoranIO back;
    back.Params().ICOImageIndex = i;
    back.LoadFromFile(d + "/m.ico");
    ASSERT_FALSE(back.Aborting());
    EXPECT_EQ(back.PXBitmap()->Width(), io.Params().ICOSizes[i][0]);
  }

  // Three DCX pages, one stream save at a time.
  TMemoryStream dcx;
  for (int page = 0; page < 3; ++page) {
    ToBitmap(MakeRGB(5 + page, 4), *io.PXBitmap());
    io.Params().DCXImageIndex = page;
    io.SaveToStream(dcx, ioDCX);
    ASSERT_FALSE(io.Aborting());
  }
  dcx.SaveToFile(d + "/m.dcx");
  EXPECT_EQ(DCXFilePageCount(d + "/m.dcx"), 3);
  TPixoranIO back;
  back.Params().DCXImageIndex = 1;
  back.LoadFromFile(d + "/m.dcx");
  ASSERT_FALSE(back.Aborting());
  EXPECT_TRUE(SameImage(MakeRGB(6, 4), FromBitmap(*back.PXBitmap())));
}

TEST(SmallFormatsIO, PcxStreamHeadersOldAndNew) {
  TPixoranIO io;
  const TRGBImage ref = MakeRGB(6, 3, {0x000000, 0x336699, 0xFFFFFF});
  ToBitmap(ref, *io.PXBitmap());
  io.Params().BitsPerSample = 8;
  io.Params().SamplesPerPixel = 1;
  io.SetStreamHeaders(true);
  TMemoryStream s;
  io.SaveToStream(s, ioPCX);
  ASSERT_FALSE(io.Aborting());
  const Bytes pcx(s.Bytes().begin() + 12, s.Bytes().end());
  EXPECT_EQ(LE32(s.Bytes(), 8), pcx.size());
  s.SetPosition(0);
  TPixoranIO back;
  back.SetStreamHeaders(true);
  back.LoadFromStreamPCX(s);
  ASSERT_FALSE(back.Aborting());
  EXPECT_TRUE(SameImage(ref, FromBitmap(*back.PXBitmap())));

  // The older four-byte header: the 8-bit palette is found at the stream's end.
  TMemoryStream old;
  const uint8_t head[4] = {'P', 'C', 'X', 0};
  old.Write(head, 4);
  old.Write(pcx.data(), static_cast<int64_t>(pcx.size()));
  old.SetPosition(0);
  TPixoranIO back2;
  back2.SetStreamHeaders(true);
  back2.LoadFromStreamPCX(old);
  ASSERT_FALSE(back2.Aborting());
  EXPECT_TRUE(SameImage(ref, FromBitmap(*back2.PXBitmap())));
}

}  // namespace
}  // namespace pixoran
