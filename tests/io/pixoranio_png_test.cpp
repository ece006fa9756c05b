// PNG through the I/O component: by name, by content and through streams;
// the alpha channel in both directions; a failed save leaves the file alone.
#include <gtest/gtest.h>

#include <QImage>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "core/kopxutils_bitmap.h"
#include "io/pixoranio.h"
#include "io/pxformats.h"
#include "platform/streams.h"
#include "testsupport.h"

namespace pixoran {
namespace {

using Bytes = std::vector<uint8_t>;

// A picture with a soft alpha edge, as Qt writes it.
QImage SourceImage() {
  QImage q(41, 19, QImage::Format_ARGB32);
  for (int y = 0; y < q.height(); ++y)
    for (int x = 0; x < q.width(); ++x) q.setPixel(x, y, qRgba(x * 6, y * 13, (x * y) & 255, std::min(255, x * 9)));
  return q;
}

void ExpectSamePicture(TPXBitmap& b, const QImage& q) {
  ASSERT_EQ(b.Width(), q.width());
  ASSERT_EQ(b.Height(), q.height());
  ASSERT_TRUE(b.HasAlphaChannel());
  for (int y = 0; y < q.height(); ++y)
    for (int x = 0; x < q.width(); ++x) {
      const QRgb p = q.pixel(x, y);
      const TBGR c = b.GetPixel24(x, y);
      ASSERT_EQ((TBGR{uint8_t(qBlue(p)), uint8_t(qGreen(p)), uint8_t(qRed(p))}), c) << x << "," << y;
      ASSERT_EQ(b.GetAlpha(x, y), qAlpha(p)) << x << "," << y;
    }
}

TEST(PixoranIOPng, LoadsByNameContentAndStreamWithAlpha) {
  const std::string dir = testing::MakeTempDir("iopng");
  const QImage q = SourceImage();
  const std::string named = dir + "/picture.png", unnamed = dir + "/picture.dat";
  ASSERT_TRUE(q.save(QString::fromStdString(named), "PNG"));
  ASSERT_TRUE(q.save(QString::fromStdString(unnamed), "PNG"));
  TMemoryStream bytes;
  bytes.LoadFromFile(named);

  TPixoranIO io;
  io.LoadFromFile(named);
  ASSERT_FALSE(io.Aborting());
  EXPECT_EQ(io.Params().FileType, ioPNG);
  ExpectSamePicture(*io.PXBitmap(), q);
  EXPECT_FALSE(io.PXBitmap()->GetAlphaChannel()->Full);

  // By content: the stream load detects it.
  bytes.SetPosition(0);
  io.LoadFromStream(bytes);
  ASSERT_FALSE(io.Aborting());
  ExpectSamePicture(*io.PXBitmap(), q);

  bytes.SetPosition(0);
  io.LoadFromStreamPNG(bytes);
  ASSERT_FALSE(io.Aborting());
  ExpectSamePicture(*io.PXBitmap(), q);
  bytes.SetPosition(3);
  EXPECT_EQ(FindStreamFormat(bytes), 0);
  bytes.SetPosition(0);
  EXPECT_EQ(FindStreamFormat(bytes), ioPNG);
  EXPECT_EQ(bytes.Position(), 0);
  EXPECT_EQ(FindFileFormat(unnamed, false), ioPNG);
}

TEST(PixoranIOPng, SavesWithAlphaByNameAndStream) {
  const std::string dir = testing::MakeTempDir("iopng");
  const QImage q = SourceImage();
  TPixoranIO io;
  TMemoryStream in;
  ASSERT_TRUE(q.save(QString::fromStdString(dir + "/in.png"), "PNG"));
  io.LoadFromFile(dir + "/in.png");
  ASSERT_FALSE(io.Aborting());

  io.SaveToFile(dir + "/out.png");
  ASSERT_FALSE(io.Aborting());
  const QImage back(QString::fromStdString(dir + "/out.png"));
  ASSERT_FALSE(back.isNull());
  EXPECT_EQ(back.convertToFormat(QImage::Format_ARGB32), q);

  TMemoryStream out;
  io.SaveToStream(out, ioPNG);
  ASSERT_FALSE(io.Aborting());
  const QImage fromStream = QImage::fromData(out.Memory(), static_cast<int>(out.Size()), "PNG");
  EXPECT_EQ(fromStream.convertToFormat(QImage::Format_ARGB32), q);

  // An opaque image is written without alpha.
  io.PXBitmap()->RemoveAlphaChannel();
  TMemoryStream opaque;
  io.SaveToStreamPNG(opaque);
  ASSERT_FALSE(io.Aborting());
  ASSERT_GT(opaque.Size(), 26);
  EXPECT_EQ(opaque.Memory()[25], 2);  // colour type RGB
}

TEST(PixoranIOPng, DamagedFileFailsAndAFailedSaveKeepsTheTarget) {
  const std::string dir = testing::MakeTempDir("iopng");
  const QImage q = SourceImage();
  ASSERT_TRUE(q.save(QString::fromStdString(dir + "/good.png"), "PNG"));
  TMemoryStream good;
  good.LoadFromFile(dir + "/good.png");
  TMemoryStream cut;
  cut.Write(good.Memory(), good.Size() - 30);
  cut.SaveToFile(dir + "/cut.png");

  TPixoranIO io;
  io.LoadFromFile(dir + "/cut.png");
  EXPECT_TRUE(io.Aborting());

  // Cancelled from the progress handler: the old file stays as it was.
  io.LoadFromFile(dir + "/good.png");
  ASSERT_FALSE(io.Aborting());
  io.OnProgress = [&](TObject*, int percent) {
    if (percent > 10 && percent < 100) io.SetAborting(true);
  };
  io.SaveToFile(dir + "/good.png");
  EXPECT_TRUE(io.Aborting());
  TMemoryStream after;
  after.LoadFromFile(dir + "/good.png");
  ASSERT_EQ(after.Size(), good.Size());
  EXPECT_EQ(std::memcmp(after.Memory(), good.Memory(), static_cast<size_t>(good.Size())), 0);
}

}  // namespace
}  // namespace pixoran
