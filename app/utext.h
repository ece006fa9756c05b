#pragma once
// The add-text tool window: while the main viewer places memo texts, the
// font face, size, colour and styles chosen here go at once into the
// vector layer's template, so the next text placed takes them.
#include <functional>
#include <string>

#include <QDialog>
#include <QFrame>

#include "platform/graphics.h"

class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QToolBar;
class QToolButton;

namespace pixoran {
class TPixoranVect;
}  // namespace pixoran

namespace tolvaren {

// The colour swatch: a rounded rectangle in its brush colour that reports
// a mouse release.
class TShapeSwatch : public QFrame {
  Q_OBJECT
 public:
  explicit TShapeSwatch(QWidget* parent);
  pixoran::TColor BrushColor() const { return color_; }
  void SetBrushColor(pixoran::TColor c);
  std::function<void()> OnMouseUp;

 protected:
  void paintEvent(QPaintEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;

 private:
  pixoran::TColor color_ = 0x808000;  // teal
};

class TfrmAddText : public QDialog {
  Q_OBJECT
 public:
  // mainView is the main window's viewer whose template takes the font.
  explicit TfrmAddText(pixoran::TPixoranVect* mainView, QWidget* parent = nullptr);
  ~TfrmAddText() override;

  QLabel* Label1 = nullptr;
  QToolBar* StandardToolBar = nullptr;
  QComboBox* FontName = nullptr;
  QLineEdit* FontSize = nullptr;
  QToolButton* UpDown1Up = nullptr;  // the up-down bound to FontSize
  QToolButton* UpDown1Down = nullptr;
  TShapeSwatch* Shape1 = nullptr;
  QToolButton* BoldButton = nullptr;
  QToolButton* ItalicButton = nullptr;
  QToolButton* UnderlineButton = nullptr;
  QPushButton* Button1 = nullptr;  // "输入完成"
  QPushButton* Button2 = nullptr;  // "取消输入"

  // The colour dialog: true with the chosen colour, false when cancelled.
  // Tests replace it.
  std::function<bool(pixoran::TColor& color)> ColorDialog1;

  // The up-down's position (0..100), kept in step with FontSize.
  int UpDownPosition() const { return upDown_; }
  void UpDownClick(int step);

  void FillFontList();
  // The font from the controls into the template for new objects; a size
  // that is not a number leaves the template as it was. False then.
  bool ApplyTextFont();
  void FontNameChange() { ApplyTextFont(); }
  void FontSizeChange() { ApplyTextFont(); }
  void BoldButtonMouseUp() { ApplyTextFont(); }
  void Shape1MouseUp();
  // Both buttons end text insertion; texts already placed stay.
  void Button1Click() { EndInsertion(true); }
  void Button2Click() { EndInsertion(false); }
  // Called when a button ends the window: true for "输入完成".
  std::function<void(bool done)> OnEnd;

 private:
  void EndInsertion(bool done);
  pixoran::TPixoranVect* mainView_;
  pixoran::TFont font_;  // made once, reused for every change
  int upDown_ = 13;
};

// The add-text command's part after its snapshot: a new window owned by
// owner, placed at top 100 and 450 pixels from the screen's right edge and
// shown without blocking; the viewer inserts memo texts (tool set 4096)
// whose template has formatted text and no border.
TfrmAddText* ShowAddTextWindow(pixoran::TPixoranVect& mainView, QWidget* owner);

}  // namespace tolvaren
