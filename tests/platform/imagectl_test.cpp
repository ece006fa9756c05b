// Free notification between components, the platform bitmap's change event
// and the image control that repaints on it.
#include <QImage>
#include <QWidget>
#include <memory>
#include <vector>

#include <gtest/gtest.h>

#include "platform/classes.h"
#include "platform/graphics.h"
#include "platform/imagectl.h"

namespace pixoran {
namespace {

struct TListener : TComponent {
  std::vector<TComponent*> removed;
  void ComponentRemoved(TComponent* c) override { removed.push_back(c); }
};

TEST(FreeNotification, TellsEachListenerOnceWhicheverGoesFirst) {
  TListener a, b;
  {
    TComponent watched;
    watched.FreeNotification(&a);
    watched.FreeNotification(&a);  // a second request is the same request
    watched.FreeNotification(&b);
    auto early = std::make_unique<TListener>();
    watched.FreeNotification(early.get());
    early.reset();  // a listener that goes first unlinks itself
    TListener dropped;
    watched.FreeNotification(&dropped);
    watched.RemoveFreeNotification(&dropped);
    EXPECT_TRUE(dropped.removed.empty());
  }
  ASSERT_EQ(a.removed.size(), 1u);
  ASSERT_EQ(b.removed.size(), 1u);
  EXPECT_EQ(a.removed[0], b.removed[0]);
}

TEST(ImageControl, RepaintsWhenThePictureIsModified) {
  TImage image;
  image.SetColor(clBlue);
  image.SetBounds(0, 0, 8, 6);
  int changes = 0;
  auto grab = [&] { return image.Widget()->grab().toImage().convertToFormat(QImage::Format_RGB32); };
  EXPECT_EQ(grab().pixel(1, 1), qRgb(0, 0, 255));  // no picture: the control's colour

  TBitmap& pic = image.Picture();
  pic.SetPixelFormat(pf24bit);
  pic.SetSize(4, 3);
  for (int y = 0; y < 3; ++y) {
    uint8_t* row = pic.ScanLine(y);
    for (int x = 0; x < 4; ++x) row[x * 3] = 0, row[x * 3 + 1] = 0, row[x * 3 + 2] = 255;  // red
  }
  const TNotifyEvent repaint = pic.OnChange;
  pic.OnChange = [&](TObject* sender) {
    EXPECT_EQ(sender, &pic);
    ++changes;
    repaint(sender);
  };
  pic.Modified();
  EXPECT_EQ(changes, 1);
  const QImage shown = grab();
  EXPECT_EQ(shown.pixel(1, 1), qRgb(255, 0, 0));
  EXPECT_EQ(shown.pixel(6, 4), qRgb(0, 0, 255));  // beyond the picture
}

}  // namespace
}  // namespace pixoran
