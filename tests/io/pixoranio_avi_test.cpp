#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <fstream>
#include <string>
#include <vector>

#include "io/pixoranio.h"
#include "io/formats/avi/pxavi.h"
#include "avi_builder.h"
#include "testsupport.h"

using namespace pixoran;
using namespace pixoran::testing;

namespace {

std::string WriteFile(const std::string& dir, const std::string& name, const std::string& data) {
  const std::string path = dir + "/" + name;
  std::ofstream(path, std::ios::binary) << data;
  return path;
}

TBGR At(TPixoranIO& io, int x, int y) {
  const uint8_t* p = io.PXBitmap()->Scanline(y) + 3 * x;
  return TBGR{p[0], p[1], p[2]};
}

}  // namespace

TEST(AVIFrames, UncompressedFramesAndDelay) {
  const std::string dir = MakeTempDir("avi");
  // 2 x 2, 24 bits, bottom-up rows padded to 8 bytes; frame i has blue = 10 * i.
  std::vector<TAviFrame> frames;
  for (int i = 0; i < 3; ++i) {
    std::string f;
    for (int row = 0; row < 2; ++row) {
      for (int x = 0; x < 2; ++x)
        f += {static_cast<char>(10 * i), static_cast<char>(row * 100), static_cast<char>(x * 200)};
      f += std::string(2, '\0');
    }
    frames.push_back({f, true});
  }
  const std::string path = WriteFile(dir, "rgb.avi", MakeAVI(2, 2, 24, 0, "", frames, 1, 25));
  TPixoranIO io;
  ASSERT_EQ(io.OpenAVIFile(path), 3);
  // The record tells the frame count at once, the period with a frame.
  EXPECT_EQ(io.Params().AVIFrameCount, 3);
  EXPECT_EQ(io.Params().AVIFrameDelay, 0);
  io.LoadFromAVI(2);
  ASSERT_FALSE(io.Aborting());
  EXPECT_EQ(io.AVIFrameDelay(), 40);
  EXPECT_EQ(io.Params().AVIFrameDelay, 40);
  EXPECT_EQ(io.Params().AVIFrameCount, io.AVIFrameCount());
  EXPECT_EQ(io.PXBitmap()->Width(), 2);
  EXPECT_EQ(At(io, 1, 1), (TBGR{20, 0, 200}));  // bottom row of the file is the last image row
  EXPECT_EQ(At(io, 0, 0), (TBGR{20, 100, 0}));
  TPixoranIO byName;
  int finished = 0;
  byName.OnFinishWork = [&](TObject*) { ++finished; };
  byName.LoadFromFile(path);
  EXPECT_FALSE(byName.Aborting());
  EXPECT_EQ(finished, 1);
  EXPECT_EQ(byName.Params().FileType, ioAVI);
  EXPECT_EQ(byName.PXBitmap()->Width(), 2);
  io.LoadFromAVI(3);  // past the end
  EXPECT_TRUE(io.Aborting());
  io.CloseAVIFile();
  io.LoadFromAVI(0);  // nothing open
  EXPECT_TRUE(io.Aborting());

  // Truncated files and other data end with Aborting and no crash.
  const std::string whole = MakeAVI(2, 2, 24, 0, "", frames, 1, 0);
  for (size_t cut : {size_t{11}, size_t{60}, size_t{200}, whole.size() - 70, whole.size() - 1}) {
    const std::string p = WriteFile(dir, "cut.avi", whole.substr(0, cut));
    const int32_t n = io.OpenAVIFile(p);
    for (int32_t i = 0; i < n; ++i) io.LoadFromAVI(i);
    if (cut <= 200) {
      EXPECT_EQ(n, 0) << cut;  // no frame inside the file
    }
  }
  ASSERT_EQ(io.OpenAVIFile(WriteFile(dir, "rate0.avi", whole)), 3);
  io.LoadFromAVI(0);
  EXPECT_FALSE(io.Aborting());
  // Rate 0: no division, and the period of 25 frames a second.
  EXPECT_EQ(io.AVIFrameDelay(), 40);
  EXPECT_EQ(io.Params().AVIFrameDelay, 40);
  EXPECT_EQ(io.OpenAVIFile(dir + "/none.avi"), 0);
  EXPECT_TRUE(io.Aborting());
}

TEST(AVIFrames, RLE8DeltaFramesBuildOnTheKeyFrame) {
  const std::string dir = MakeTempDir("avirle");
  std::string palette;
  for (int i = 0; i < 256; ++i) palette += {static_cast<char>(i), static_cast<char>(255 - i), '\x05', '\0'};
  // 4 x 2. Key frame: every pixel index 1. Delta: skip to (2, 0) then one pixel of index 9.
  const std::string key = std::string("\x04\x01\x00\x00\x04\x01\x00\x01", 8);
  const std::string delta = std::string("\x00\x02\x02\x00\x01\x09\x00\x01", 8);
  const std::string path = WriteFile(
      dir, "rle.avi", MakeAVI(4, 2, 8, 1, palette, {{key, true}, {delta, false}, {delta, false}}, 1001, 30000));
  TPixoranIO io;
  ASSERT_EQ(io.OpenAVIFile(path), 3);
  io.LoadFromAVI(1);
  ASSERT_FALSE(io.Aborting());
  EXPECT_EQ(io.AVIFrameDelay(), 33);
  EXPECT_EQ(io.Params().AVIFrameDelay, 33);
  EXPECT_EQ(io.Params().BitsPerSample, 8);
  // Row 0 of the file is the bottom row (image row 1).
  EXPECT_EQ(At(io, 2, 1), (TBGR{9, 246, 5}));
  EXPECT_EQ(At(io, 1, 1), (TBGR{1, 254, 5}));
  EXPECT_EQ(At(io, 2, 0), (TBGR{1, 254, 5}));
  io.LoadFromAVI(0);
  EXPECT_EQ(At(io, 2, 1), (TBGR{1, 254, 5}));
}

// Frames read in order go on from the one read before; in any other order
// (or past a key frame) they are decoded from the last key frame. Every
// order gives each frame the pictures a fresh reader gives it.
TEST(AVIFrames, RLE8FramesInAnyOrderMatchAFreshDecode) {
  const std::string dir = MakeTempDir("avirleorder");
  std::string palette;
  for (int i = 0; i < 256; ++i) palette += {static_cast<char>(i), static_cast<char>(3 * i), '\x07', '\0'};
  const std::string key = std::string("\x04\x01\x00\x00\x04\x01\x00\x01", 8);   // all index 1
  const std::string setA = std::string("\x00\x02\x02\x00\x01\x09\x00\x01", 8);  // (2, row 0) = 9
  const std::string setB = std::string("\x00\x02\x01\x01\x02\x05\x00\x01", 8);  // (1..2, row 1) = 5
  const std::string partKey = std::string("\x02\x07\x00\x01", 4);               // a key frame of 2 pixels
  const std::string path =
      WriteFile(dir, "order.avi",
                MakeAVI(4, 2, 8, 1, palette,
                        {{key, true}, {setA, false}, {setB, false}, {partKey, true}, {setA, false}, {"", false}}));
  auto open = [&](TAVIReader& r) { return r.Open(std::make_unique<TFileStream>(path, fmOpenRead)); };
  std::atomic<bool> aborting{false};
  TPXProgressRec progress;
  progress.Aborting = &aborting;
  std::vector<std::vector<uint8_t>> fresh;
  for (int32_t i = 0; i < 6; ++i) {
    TAVIReader r;
    ASSERT_TRUE(open(r));
    TPXBitmap b;
    ASSERT_EQ(r.ReadFrame(i, b, progress), 8);
    std::vector<uint8_t> px;
    for (int32_t y = 0; y < 2; ++y) px.insert(px.end(), b.Scanline(y), b.Scanline(y) + 12);
    fresh.push_back(px);
  }
  EXPECT_NE(fresh[1], fresh[0]);
  EXPECT_NE(fresh[2], fresh[1]);
  EXPECT_NE(fresh[4], fresh[3]);
  EXPECT_EQ(fresh[5], fresh[4]);  // a dropped frame repeats the one before
  const std::vector<int32_t> orders[] = {{0, 1, 2, 3, 4, 5}, {5, 4, 3, 2, 1, 0}, {2, 2, 3, 1, 4, 0, 5, 2}};
  for (const auto& order : orders) {
    TAVIReader r;
    ASSERT_TRUE(open(r));
    for (int32_t i : order) {
      SCOPED_TRACE(i);
      TPXBitmap b;
      ASSERT_EQ(r.ReadFrame(i, b, progress), 8);
      std::vector<uint8_t> px;
      for (int32_t y = 0; y < 2; ++y) px.insert(px.end(), b.Scanline(y), b.Scanline(y) + 12);
      EXPECT_EQ(px, fresh[static_cast<size_t>(i)]);
    }
  }
}

// Motion JPEG frames made by our JPEG writer with their Huffman tables taken
// out, as capture cards write them: the reader puts the standard tables back.
TEST(AVIFrames, MotionJpegWithoutHuffmanTables) {
  const std::string dir = MakeTempDir("mjpeg");
  std::vector<TAviFrame> frames;
  const TBGR kColours[2] = {{200, 40, 20}, {30, 180, 90}};
  for (const TBGR& c : kColours) {
    TPixoranIO writer;
    ASSERT_TRUE(writer.PXBitmap()->Allocate(32, 16, pxBGR24));
    writer.PXBitmap()->Fill(RGBColor(c.r, c.g, c.b));
    writer.Params().JPEGQuality = 95;
    TMemoryStream jpeg;
    writer.SaveToStreamJPEG(jpeg);
    const std::vector<uint8_t>& b = jpeg.Bytes();
    size_t removed = 0;
    const std::string stripped = StripHuffmanTables(b, &removed);
    ASSERT_GT(removed, 0u);
    ASSERT_EQ(stripped.find("\xFF\xC4"), std::string::npos);
    // The tables go right before the scan, once; a frame with tables is untouched.
    std::vector<uint8_t> fixed(stripped.begin(), stripped.end());
    InsertDefaultHuffmanTables(fixed);
    const size_t sos = stripped.find("\xFF\xDA");
    ASSERT_EQ(fixed.size(), stripped.size() + 420);
    EXPECT_EQ(fixed[sos], 0xFF);
    EXPECT_EQ(fixed[sos + 1], 0xC4);
    EXPECT_EQ((fixed[sos + 2] << 8) | fixed[sos + 3], 418);
    EXPECT_EQ(fixed[sos + 420 + 1], 0xDA);
    std::vector<uint8_t> again = fixed;
    InsertDefaultHuffmanTables(again);
    EXPECT_EQ(again, fixed);
    TPixoranIO direct;
    direct.LoadFromBuffer(fixed.data(), static_cast<int64_t>(fixed.size()), 0);
    ASSERT_FALSE(direct.Aborting());
    TPixoranIO original;  // the entropy coding is lossless: the same pixels as with the writer's tables
    original.LoadFromBuffer(b.data(), static_cast<int64_t>(b.size()), 0);
    EXPECT_EQ(At(direct, 16, 8), At(original, 16, 8));
    frames.push_back({stripped, true});
  }
  const uint32_t mjpg = 'M' | ('J' << 8) | ('P' << 16) | (uint32_t{'G'} << 24);
  const std::string path = WriteFile(dir, "m.avi", MakeAVI(32, 16, 24, mjpg, "", frames, 1, 25));
  TPixoranIO io;
  ASSERT_EQ(io.OpenAVIFile(path), 2);
  for (int i = 0; i < 2; ++i) {
    io.LoadFromAVI(i);
    ASSERT_FALSE(io.Aborting()) << i;
    ASSERT_EQ(io.PXBitmap()->Width(), 32);
    const TBGR got = At(io, 16, 8);
    EXPECT_NEAR(got.b, kColours[i].b, 6) << i;
    EXPECT_NEAR(got.g, kColours[i].g, 6) << i;
    EXPECT_NEAR(got.r, kColours[i].r, 6) << i;
  }
  EXPECT_EQ(io.AVIFrameDelay(), 40);
  // A frame of a few hundred bytes claiming 30000 x 30000 pixels is refused
  // before it is decoded (fuzz/regressions/avi/mjpeg-tiny-frame-huge-size).
  std::string huge = frames[0].Bytes;
  const size_t sof = huge.find("\xFF\xC0");
  ASSERT_NE(sof, std::string::npos);
  huge[sof + 5] = huge[sof + 7] = '\x75';
  huge[sof + 6] = huge[sof + 8] = '\x30';
  const uint32_t hugeSide = 30000;
  // Also when bytes that are no marker stand before the start of frame.
  std::string hidden = huge;
  hidden.insert(sof, "\x00\x2B\x00", 3);
  for (const std::string& frame : {huge, hidden}) {
    for (uint32_t side : {32u, hugeSide}) {
      TPixoranIO other;
      ASSERT_EQ(
          other.OpenAVIFile(WriteFile(dir, "huge.avi", MakeAVI(side, side, 24, mjpg, "", {{frame, true}}, 1, 25))), 1);
      other.LoadFromAVI(0);
      EXPECT_TRUE(other.Aborting()) << side;
    }
  }
}
