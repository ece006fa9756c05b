// The compression stream: what it writes inflates back, in 64 KB blocks;
// Seek, Read and the error codes as the vector layer relies on them.
#include <gtest/gtest.h>
#include <zlib.h>

#include <random>
#include <string>
#include <vector>

#include "view/pxzlib.h"

using namespace pixoran;

namespace {

std::vector<uint8_t> Inflate(const uint8_t* data, size_t size, size_t expect) {
  std::vector<uint8_t> out(expect + 16);
  uLongf n = static_cast<uLongf>(out.size());
  EXPECT_EQ(uncompress(out.data(), &n, data, static_cast<uLong>(size)), Z_OK);
  out.resize(n);
  return out;
}

TEST(ZCompressionStream, RoundTripsAcrossBlocksAtEveryLevel) {
  std::mt19937 rng(7);
  std::vector<uint8_t> random(300000), text;
  for (auto& b : random) b = static_cast<uint8_t>(rng());
  for (int i = 0; i < 20000; ++i) text.push_back(static_cast<uint8_t>("vector objects "[i % 15]));
  for (TCompressionLevel level : {zcNone, zcFastest, zcDefault, zcMax}) {
    for (const std::vector<uint8_t>* src : {&random, &text}) {
      TMemoryStream target;
      target.WriteBuffer("HEAD", 4);
      int blocks = 0;
      TZCompressionStream z(level, target);
      z.OnProgress = [&](TCustomZStream*) { ++blocks; };
      // Uneven writes, so blocks fill in the middle of a write.
      size_t at = 0, step = 1;
      while (at < src->size()) {
        const size_t n = std::min(step, src->size() - at);
        EXPECT_EQ(z.Write(src->data() + at, static_cast<int64_t>(n)), static_cast<int64_t>(n));
        at += n;
        step = step * 3 + 1;
      }
      EXPECT_EQ(z.Seek(0, TSeekOrigin::soCurrent), static_cast<int64_t>(src->size()));
      z.Finish();
      const std::vector<uint8_t>& bytes = target.Bytes();
      ASSERT_GT(bytes.size(), 6u);
      EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + 4), "HEAD");
      EXPECT_EQ(bytes[4], 0x78);  // zlib header, 32 KB window
      EXPECT_EQ(Inflate(bytes.data() + 4, bytes.size() - 4, src->size()), *src);
      // Full blocks only are announced.
      EXPECT_EQ(blocks, static_cast<int>((bytes.size() - 4) / 65536)) << int(level);
      EXPECT_EQ(target.Position(), static_cast<int64_t>(bytes.size()));
    }
  }
}

TEST(ZCompressionStream, OnlyTheCurrentEndSeeksAndReadsRaise) {
  TMemoryStream target;
  TZCompressionStream z(zcDefault, target);
  z.Write("abc", 3);
  EXPECT_EQ(z.Seek(0, TSeekOrigin::soCurrent), 3);
  struct Case {
    int64_t offset;
    TSeekOrigin origin;
  };
  for (Case c : {Case{1, TSeekOrigin::soCurrent}, Case{0, TSeekOrigin::soBeginning}, Case{0, TSeekOrigin::soEnd}}) {
    try {
      z.Seek(c.offset, c.origin);
      ADD_FAILURE() << "no exception";
    } catch (const EZCompressionError& e) {
      EXPECT_STREQ(e.what(), "Invalid ZStream operation!");
    }
  }
  char buf[4];
  EXPECT_THROW(z.Read(buf, 4), EZCompressionError);
  // A target moved by someone else is put back before the next bytes.
  z.Write(std::string(200000, 'q').data(), 200000);
  target.SetPosition(0);
  z.Finish();
  EXPECT_EQ(Inflate(target.Memory(), static_cast<size_t>(target.Size()), 200003).size(), 200003u);
  EXPECT_THROW(z.Write("x", 1), EZCompressionError);
}

TEST(ZCompressionStream, ErrorCodesAndMessages) {
  const std::pair<int, const char*> table[] = {
      {2, "need dictionary"},      {1, "stream end"},    {0, ""},
      {-1, "file error"},          {-2, "stream error"}, {-3, "data error"},
      {-4, "insufficient memory"}, {-5, "buffer error"}, {-6, "incompatible version"},
  };
  for (auto [code, text] : table) {
    EXPECT_STREQ(ZErrorMessage(code), text);
    if (code >= 0) {
      EXPECT_EQ(ZCheck(code), code);
    } else {
      try {
        ZCheck(code);
        ADD_FAILURE() << code;
      } catch (const EZLibError& e) {
        EXPECT_STREQ(e.what(), text);
      }
    }
  }
}

TEST(ZCompressionStream, DroppedWithoutFinishDoesNotThrow) {
  TMemoryStream target;
  {
    TZCompressionStream z(zcMax, target);
    z.Write(std::string(100000, 'a').data(), 100000);
  }
  SUCCEED();
}

}  // namespace
