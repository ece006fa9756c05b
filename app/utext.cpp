#include "app/utext.h"

#include <algorithm>

#include <QColorDialog>
#include <QComboBox>
#include <QFontDatabase>
#include <QGuiApplication>
#include <QScreen>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPainter>
#include <QPushButton>
#include <QToolBar>
#include <QToolButton>
#include <QVBoxLayout>

#include "app/UEffectForm.h"
#include "view/pxvect.h"

namespace tolvaren {

using namespace pixoran;

namespace {

QColor ToQColor(TColor c) { return QColor(c & 0xFF, (c >> 8) & 0xFF, (c >> 16) & 0xFF); }

// The face name as the logical font's 32-byte field keeps it.
QString FaceField(const QString& face) {
  TPXLogFont lf;
  SetLogFontFaceName(lf, face.toStdString());
  return QString::fromStdString(LogFontFaceName(lf));
}

QToolButton* StyleButton(QWidget* parent, const QString& text, const QString& hint) {
  auto* b = new QToolButton(parent);
  b->setText(text);
  b->setToolTip(hint);
  b->setCheckable(true);
  b->setAutoRaise(true);
  return b;
}

}  // namespace

// ---------------------------------------------------------------- swatch

TShapeSwatch::TShapeSwatch(QWidget* parent) : QFrame(parent) { setFixedSize(24, 22); }

void TShapeSwatch::SetBrushColor(TColor c) {
  color_ = c;
  update();
}

void TShapeSwatch::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.setRenderHint(QPainter::Antialiasing);
  p.setPen(Qt::black);
  p.setBrush(ToQColor(color_));
  p.drawRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), 4, 4);
}

void TShapeSwatch::mouseReleaseEvent(QMouseEvent* event) {
  QFrame::mouseReleaseEvent(event);
  if (OnMouseUp) OnMouseUp();
}

// ---------------------------------------------------------------- form

TfrmAddText::TfrmAddText(TPixoranVect* mainView, QWidget* parent)
    : QDialog(parent, Qt::Tool | Qt::WindowStaysOnTopHint), mainView_(mainView) {
  setModal(false);
  setWindowTitle(QStringLiteral("添加文字"));
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(6, 6, 6, 6);
  Label1 = new QLabel(QStringLiteral("请选择文字字体、大小河颜色，然后点击图片输入文字。然后点击完成按钮。"), this);
  Label1->setWordWrap(true);
  layout->addWidget(Label1);

  StandardToolBar = new QToolBar(this);
  StandardToolBar->setMovable(false);
  FontName = new QComboBox(StandardToolBar);
  FontName->setMaxVisibleItems(10);
  FontName->setToolTip(QStringLiteral("Font Name"));  // the short part of "Font Name|Select font name"
  FontName->setStatusTip(QStringLiteral("Select font name"));
  FontName->setMinimumContentsLength(12);
  StandardToolBar->addWidget(FontName);
  FontSize = new QLineEdit(QStringLiteral("13"), StandardToolBar);
  FontSize->setToolTip(QStringLiteral("Font Size"));
  FontSize->setStatusTip(QStringLiteral("Select font size"));
  FontSize->setFixedWidth(36);
  StandardToolBar->addWidget(FontSize);
  UpDown1Up = new QToolButton(StandardToolBar);
  UpDown1Up->setArrowType(Qt::UpArrow);
  UpDown1Down = new QToolButton(StandardToolBar);
  UpDown1Down->setArrowType(Qt::DownArrow);
  StandardToolBar->addWidget(UpDown1Up);
  StandardToolBar->addWidget(UpDown1Down);
  Shape1 = new TShapeSwatch(StandardToolBar);
  StandardToolBar->addWidget(Shape1);
  BoldButton = StyleButton(StandardToolBar, QStringLiteral("B"), QStringLiteral("Bold"));
  ItalicButton = StyleButton(StandardToolBar, QStringLiteral("I"), QStringLiteral("Italic"));
  UnderlineButton = StyleButton(StandardToolBar, QStringLiteral("U"), QStringLiteral("Underline"));
  StandardToolBar->addWidget(BoldButton);
  StandardToolBar->addWidget(ItalicButton);
  StandardToolBar->addWidget(UnderlineButton);
  layout->addWidget(StandardToolBar);

  auto* row = new QHBoxLayout;
  Button1 = new QPushButton(QStringLiteral("输入完成"), this);
  Button2 = new QPushButton(QStringLiteral("取消输入"), this);
  row->addWidget(Button1);
  row->addWidget(Button2);
  layout->addLayout(row);

  ColorDialog1 = [this](TColor& c) {
    const QColor chosen = QColorDialog::getColor(ToQColor(c), this);
    if (!chosen.isValid()) return false;
    c = RGBColor(chosen.red(), chosen.green(), chosen.blue());
    return true;
  };

  // FormCreate: the list first, so filling it pushes nothing.
  FillFontList();
  font_ = TFont{};

  // Every handler runs guarded: nothing it raises leaves a Qt slot.
  auto guarded = [this](void (TfrmAddText::*handler)()) {
    return [this, handler] { RunGuarded(this, [this, handler] { (this->*handler)(); }); };
  };
  connect(FontName, &QComboBox::currentTextChanged, this, guarded(&TfrmAddText::FontNameChange));
  connect(FontSize, &QLineEdit::textChanged, this, guarded(&TfrmAddText::FontSizeChange));
  for (QToolButton* b : {BoldButton, ItalicButton, UnderlineButton})
    connect(b, &QToolButton::clicked, this, guarded(&TfrmAddText::BoldButtonMouseUp));
  connect(UpDown1Up, &QToolButton::clicked, this, [this] { UpDownClick(1); });
  connect(UpDown1Down, &QToolButton::clicked, this, [this] { UpDownClick(-1); });
  Shape1->OnMouseUp = guarded(&TfrmAddText::Shape1MouseUp);
  connect(Button1, &QPushButton::clicked, this, guarded(&TfrmAddText::Button1Click));
  connect(Button2, &QPushButton::clicked, this, guarded(&TfrmAddText::Button2Click));
}

TfrmAddText::~TfrmAddText() = default;

void TfrmAddText::FillFontList() {
  QStringList faces;
  for (const QString& f : QFontDatabase::families()) faces << FaceField(f);
  std::sort(faces.begin(), faces.end(),
            [](const QString& a, const QString& b) { return a.compare(b, Qt::CaseInsensitive) < 0; });
  const bool blocked = FontName->blockSignals(true);
  FontName->clear();
  FontName->addItems(faces);
  FontName->setCurrentIndex(FontName->count() - 1);
  FontName->blockSignals(blocked);
}

void TfrmAddText::UpDownClick(int step) {
  upDown_ = std::clamp(upDown_ + step, 0, 100);
  FontSize->setText(QString::number(upDown_));
}

bool TfrmAddText::ApplyTextFont() {
  bool ok = false;
  const int size = FontSize->text().trimmed().toInt(&ok);
  if (!ok) return false;  // not a number: the template keeps its font
  if (size >= 0 && size <= 100) upDown_ = size;
  font_.Size = size;
  font_.Height = 0;
  font_.CellHeight = 0;
  font_.Color = Shape1->BrushColor();
  font_.Name = FontName->currentText().toStdString();
  font_.Bold = BoldButton->isChecked();
  font_.Italic = ItalicButton->isChecked();
  font_.Underline = UnderlineButton->isChecked();
  TPXLogFont lf = LogFontFromFont(font_);  // points to height by the layer's one rule
  lf.CharSet = 134;                        // GB2312
  SetLogFontFaceName(lf, font_.Name);
  if (mainView_) mainView_->SetObjFont(kPXVTemplate, lf, font_.Color);
  return true;
}

void TfrmAddText::Shape1MouseUp() {
  TColor c = Shape1->BrushColor();
  if (ColorDialog1 && ColorDialog1(c)) Shape1->SetBrushColor(c);
  ApplyTextFont();
}

void TfrmAddText::EndInsertion(bool done) {
  close();
  if (OnEnd) OnEnd(done);
  if (!mainView_) return;
  mainView_->SetMouseInteract(miResizeLayers);
  mainView_->SetMouseInteractVect(kPXVTSelect);
}

TfrmAddText* ShowAddTextWindow(TPixoranVect& mainView, QWidget* owner) {
  auto* form = new TfrmAddText(&mainView, owner);
  // The owner frees it: closing only hides it.
  const QScreen* screen = QGuiApplication::primaryScreen();
  const int screenWidth = screen ? screen->geometry().width() : 1024;
  form->move(screenWidth - 450, 100);
  form->show();
  mainView.SetMouseInteractVect(kPXVTMemo);
  mainView.SetObjMemoPlainText(kPXVTemplate, false);
  mainView.SetObjMemoBorderStyle(kPXVTemplate, psClear);
  return form;
}

}  // namespace tolvaren
