#include "dialogs/iopreviews.h"

#include <QApplication>
#include <QCheckBox>
#include <QColorDialog>
#include <QComboBox>
#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPainter>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QSlider>
#include <QSpinBox>
#include <QTabWidget>
#include <QVBoxLayout>
#include <algorithm>
#include <cmath>
#include <vector>

#include "core/kopxutils_bitmap.h"
#include "core/kopxutils_containers.h"
#include "core/kopxutils_words.h"
#include "io/iohooks.h"
#include "io/pixoranio.h"
#include "platform/controls.h"
#include "proc/pixoranproc.h"
#include "view/pixoranview.h"

namespace pixoran {

namespace {

QString Word(int w, TMsgLanguage l) { return QString::fromStdString(GetWordText(static_cast<uint8_t>(w), l)); }

QColor ToQColor(TBGR c) { return QColor(c.r, c.g, c.b); }
TBGR FromQColor(const QColor& c) {
  return TBGR{static_cast<uint8_t>(c.blue()), static_cast<uint8_t>(c.green()), static_cast<uint8_t>(c.red())};
}

QSlider* Track(QWidget* parent, int max) {
  auto* t = new QSlider(Qt::Horizontal, parent);
  t->setRange(0, max);
  t->setPageStep(10);
  return t;
}

QSpinBox* Spin(QWidget* parent, int min, int max) {
  auto* s = new QSpinBox(parent);
  s->setRange(min, max);
  return s;
}

QComboBox* List(QWidget* parent, std::initializer_list<const char*> items) {
  auto* c = new QComboBox(parent);
  for (const char* i : items) c->addItem(QString::fromUtf8(i));
  return c;
}

// Colour index of a bits-and-samples pair in a list of such pairs (the first
// match), 0 when none matches.
int PairIndex(const std::vector<std::pair<int, int>>& pairs, int bits, int samples) {
  for (size_t i = 0; i < pairs.size(); ++i)
    if (pairs[i].first == bits && pairs[i].second == samples) return static_cast<int>(i);
  return 0;
}

const std::vector<std::pair<int, int>> kTIFFColours = {{1, 1}, {4, 1}, {8, 1}, {5, 3}, {8, 3}};
const std::vector<std::pair<int, int>> kBMPColours = {{1, 1}, {4, 1}, {8, 1}, {5, 3}, {8, 3}, {8, 3}};
const std::vector<std::pair<int, int>> kPCXColours = {{1, 1}, {4, 1}, {8, 1}, {8, 3}};
const std::vector<std::pair<int, int>> kRGBColours = {{1, 1}, {8, 1}, {8, 3}};  // PNG, TGA

// A typed number; def when the text is not one.
int TextToInt(const QString& text, int def) {
  bool ok = false;
  const int v = text.trimmed().toInt(&ok);
  return ok ? v : def;
}

int32_t InchToPixels(const QString& text, int32_t dpi) {
  bool ok = false;
  double inch = QString(text).replace(',', '.').trimmed().toDouble(&ok);
  if (!ok || !std::isfinite(inch)) inch = 0;
  const double px = std::clamp(inch * (dpi > 0 ? dpi : 1), -2e9, 2e9);
  return static_cast<int32_t>(std::nearbyint(px));
}

QString PixelsToInch(int32_t px, int32_t dpi) {
  return QString::number(static_cast<double>(px) / (dpi > 0 ? dpi : 1), 'g', 6);
}

template <typename T>
bool Store(T& field, T value) {
  if (field == value) return false;
  field = value;
  return true;
}

}  // namespace

// ---------------------------------------------------------------- palette dialog

TPixoranPaletteDialog::TPixoranPaletteDialog(QWidget* owner) : QDialog(owner) {
  setObjectName(QStringLiteral("PixoranPaletteDialog"));
  setWindowTitle(QStringLiteral("Palette"));
  setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
  setFixedSize(520, 199);
  setMouseTracking(true);
  cancel_ = new QPushButton(QStringLiteral("&Cancel"), this);
  cancel_->setObjectName(QStringLiteral("CancelButton"));
  cancel_->setGeometry(4, 136, 75, 25);
  connect(cancel_, &QPushButton::clicked, this, [this] { done(2); });
  if (QScreen* s = QGuiApplication::primaryScreen()) move(s->geometry().center() - rect().center());
}

void TPixoranPaletteDialog::SetPalette(const TBGR* palette, int32_t count) {
  palette_ = palette;
  count_ = palette ? std::clamp(count, 0, 256) : 0;
  hovered_ = -1;
  update();
}

void TPixoranPaletteDialog::SetCancelCaption(const QString& caption) { cancel_->setText(caption); }

bool TPixoranPaletteDialog::Execute() { return exec() == 1; }

int32_t TPixoranPaletteDialog::EntryAt(int32_t x, int32_t y) const {
  // Truncating division, so x and y of 0 still fall in the first cell.
  const int32_t column = (x - 1) / 16, row = (y - 1) / 16;
  // A position right of the 32nd column names no entry (it would otherwise
  // wrap into the next row).
  if (column < 0 || column > 31 || row < 0) return -1;
  const int64_t index = static_cast<int64_t>(row) * 32 + column;
  return index < count_ ? static_cast<int32_t>(index) : -1;
}

void TPixoranPaletteDialog::paintEvent(QPaintEvent* event) {
  QDialog::paintEvent(event);
  QPainter p(this);
  for (int32_t i = 0; i < count_; ++i) {
    const int x = (i % 32) * 16, y = (i / 32) * 16;
    const QRect cell(x + 1, y + 1, 16, 16);
    p.fillRect(cell, ToQColor(palette_[i]));
    p.setPen(i == hovered_ ? Qt::black : Qt::white);
    p.drawRect(cell.adjusted(0, 0, -1, -1));
  }
}

void TPixoranPaletteDialog::mouseMoveEvent(QMouseEvent* event) {
  const QPoint pos = event->position().toPoint();
  const int32_t i = EntryAt(pos.x(), pos.y());
  if (i >= 0 && i != hovered_) {
    hovered_ = i;
    update();
  }
}

void TPixoranPaletteDialog::mousePressEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton || hovered_ < 0 || hovered_ >= count_) return;
  color_ = palette_[hovered_];
  done(1);
}

// ---------------------------------------------------------------- TIFF compression list

int32_t TIFFCompressionToIndex(int32_t code, bool withLZW) {
  switch (code) {
    case 1: case 2: case 3: case 4: return code;
    case 5: return withLZW ? 5 : 6;
    case 7: return withLZW ? 6 : 5;
    case 8: return withLZW ? 7 : 6;
    default: return 0;
  }
}

uint8_t TIFFIndexToCompression(int32_t index, bool withLZW) {
  switch (index) {
    case 1: case 2: case 3: case 4: return static_cast<uint8_t>(index);
    case 5: return withLZW ? 5 : 7;
    case 6: return withLZW ? 7 : 8;
    case 7: return withLZW ? 8 : 0;
    default: return 0;
  }
}

// ---------------------------------------------------------------- the dialog

namespace {
constexpr int32_t kPageFileType[ppgCount] = {ioJPEG, ioJPEG, ioTIFF, ioTIFF, ioGIF, ioGIF,
                                             ioBMP,  ioPCX,  ioPNG,  ioTGA,  ioJ2K};
constexpr uint16_t kPageFlag[ppgCount] = {ppJPEG, ppJPEG, ppTIFF, ppTIFF, ppGIF, ppGIF,
                                          ppBMP,  ppPCX,  ppPNG,  ppTGA,  ppJ2000};
bool IsSimplifiedPage(int p) { return p == ppgJPEG2 || p == ppgTIFF2 || p == ppgGIF2; }
bool IsFullWithVariant(int p) { return p == ppgJPEG1 || p == ppgTIFF1 || p == ppgGIF1; }
}  // namespace

uint16_t TfIOPreviews::PageFlagOfFileType(int32_t fileType) {
  switch (fileType) {
    case ioTIFF: return ppTIFF;
    case ioGIF: return ppGIF;
    case ioJPEG: return ppJPEG;
    case ioPCX: return ppPCX;
    case ioBMP: return ppBMP;
    case ioPNG: return ppPNG;
    case ioTGA: return ppTGA;
    case ioJP2: case ioJ2K: return ppJ2000;
    default: return 0;
  }
}

TfIOPreviews::TfIOPreviews(QWidget* parent) : QDialog(parent) {
  setObjectName(QStringLiteral("fIOPreviews"));
  resize(680, 520);
  if (QScreen* s = QGuiApplication::primaryScreen()) move(s->geometry().center() - rect().center());

  PageControl1 = new QTabWidget(this);
  PageControl1->setObjectName(QStringLiteral("PageControl1"));
  BuildPages();

  auto* panel2 = new QWidget(this);
  panel2->setObjectName(QStringLiteral("Panel2"));
  auto* grid = new QGridLayout(panel2);
  Label1 = new QLabel(panel2);
  Label2 = new QLabel(panel2);
  source_ = std::make_unique<TPixoranView>();
  result_ = std::make_unique<TPixoranView>();
  source_->Widget()->setObjectName(QStringLiteral("Pixoran1"));
  result_->Widget()->setObjectName(QStringLiteral("Pixoran2"));
  for (TPixoranView* v : {source_.get(), result_.get()}) {
    v->Widget()->setMinimumSize(200, 160);
    v->SetBackground(0xFFFFFF);
  }
  grid->addWidget(Label1, 0, 0);
  grid->addWidget(Label2, 0, 1);
  grid->addWidget(source_->Widget(), 1, 0);
  grid->addWidget(result_->Widget(), 1, 1);
  ProgressBar1 = new QProgressBar(panel2);
  ProgressBar1->setObjectName(QStringLiteral("ProgressBar1"));
  ProgressBar1->setRange(0, 100);
  ProgressBar1->setValue(0);
  ProgressBar1->setTextVisible(false);
  ProgressBar1->setMaximumHeight(10);
  grid->addWidget(ProgressBar1, 2, 0, 1, 2);
  OriginalSize = new QLabel(panel2);
  CompressedSize = new QLabel(panel2);
  OriginalSize->setObjectName(QStringLiteral("OriginalSize"));
  CompressedSize->setObjectName(QStringLiteral("CompressedSize"));
  grid->addWidget(OriginalSize, 3, 0);
  grid->addWidget(CompressedSize, 3, 1);
  // Both viewers report progress to the one bar.
  // Encoding and decoding for a preview each take half of the bar.
  auto progress = [this](TObject*, int percent) {
    if (!ProgressBar1) return;
    percent = std::clamp(percent, 0, 100);
    ProgressBar1->setValue(progressBase_ >= 0 ? progressBase_ + percent / 2 : percent);
  };
  source_->SetOnProgress(progress);
  result_->SetOnProgress(progress);
  source_->OnViewChange = [this](TObject*, int32_t) { SyncResultView(); };

  Button1 = new QPushButton(this);
  Button2 = new QPushButton(this);
  Button3 = new QPushButton(this);
  Button4 = new QPushButton(this);
  Button1->setObjectName(QStringLiteral("Button1"));
  Button2->setObjectName(QStringLiteral("Button2"));
  Button3->setObjectName(QStringLiteral("Button3"));
  Button4->setObjectName(QStringLiteral("Button4"));
  Button1->setDefault(true);
  Button4->setEnabled(false);
  Button4->setVisible(false);
  chkLockPreview = new QCheckBox(this);
  chkLockPreview->setObjectName(QStringLiteral("chkLockPreview"));
  connect(Button1, &QPushButton::clicked, this, [this] { Button1Click(); });
  connect(Button2, &QPushButton::clicked, this, [this] { done(2); });
  connect(Button3, &QPushButton::clicked, this, [this] { Button3Click(); });
  connect(Button4, &QPushButton::clicked, this, [this] { Button4Click(); });
  connect(chkLockPreview, &QCheckBox::clicked, this, [this] { SpeedButton1Click(); });
  connect(PageControl1, &QTabWidget::currentChanged, this, [this](int) {
    if (handlersOn_) PageControl1Change();
  });

  auto* buttons = new QHBoxLayout;
  buttons->addWidget(chkLockPreview);
  buttons->addWidget(Button3);
  buttons->addStretch();
  buttons->addWidget(Button1);
  buttons->addWidget(Button2);
  buttons->addWidget(Button4);
  auto* all = new QVBoxLayout(this);
  all->addWidget(PageControl1);
  all->addWidget(panel2, 1);
  all->addLayout(buttons);
  ApplyLanguage(msSystem);
}

TfIOPreviews::~TfIOPreviews() = default;

void TfIOPreviews::SetApplyVisible(bool value) {
  applyVisible_ = value;
  Button4->setVisible(value);
}

QWidget* TfIOPreviews::AddPage(TIOPreviewPage page) {
  static const char* const kNames[ppgCount] = {"TabSheetJPEG1", "TabSheetJPEG2", "TabSheetTIFF1", "TabSheetTIFF2",
                                               "TabSheetGIF1",  "TabSheetGIF2",  "TabSheetBMP1",  "TabSheetPCX1",
                                               "TabSheetPNG1",  "TabSheetTGA1",  "TabSheetJ20001"};
  static const char* const kTitles[ppgCount] = {"JPEG", "JPEG", "TIFF", "TIFF", "GIF",      "GIF",
                                                "BMP",  "PCX",  "PNG",  "TGA",  "JPEG2000"};
  auto* w = new QWidget(PageControl1);
  w->setObjectName(QString::fromLatin1(kNames[page]));
  TabSheet[page] = w;
  PageControl1->addTab(w, QString::fromLatin1(kTitles[page]));
  return w;
}

void TfIOPreviews::Connect(QObject* control, TIOPreviewPage page) {
  auto changed = [this, page, control] { PageChanged(page, control); };
  if (auto* s = qobject_cast<QSlider*>(control)) connect(s, &QSlider::valueChanged, this, changed);
  else if (auto* e = qobject_cast<QLineEdit*>(control)) connect(e, &QLineEdit::textEdited, this, changed);
  else if (auto* b = qobject_cast<QSpinBox*>(control)) connect(b, &QSpinBox::valueChanged, this, changed);
  else if (auto* c = qobject_cast<QComboBox*>(control)) connect(c, &QComboBox::activated, this, changed);
  else if (auto* k = qobject_cast<QCheckBox*>(control)) connect(k, &QCheckBox::clicked, this, changed);
}

void TfIOPreviews::BuildPages() {
  auto label = [this](QWidget* parent, int word) {
    auto* l = new QLabel(parent);
    captions_.push_back({l, word, 0});
    return l;
  };
  auto group = [this](QWidget* parent, int word) {
    auto* g = new QGroupBox(parent);
    captions_.push_back({g, word, 1});
    return g;
  };
  auto check = [this](QWidget* parent, int word) {
    auto* c = new QCheckBox(parent);
    captions_.push_back({c, word, 2});
    return c;
  };
  auto panel = [](QWidget* parent, const char* name) {
    auto* p = new QPushButton(parent);
    p->setObjectName(QString::fromLatin1(name));
    p->setFixedSize(40, 20);
    p->setAutoFillBackground(true);
    p->setFlat(true);
    return p;
  };
  auto name = [](QObject* o, const char* n) { o->setObjectName(QString::fromLatin1(n)); };

  // Full JPEG.
  {
    QWidget* w = AddPage(ppgJPEG1);
    auto* h = new QHBoxLayout(w);
    auto* f = new QFormLayout;
    Edit22 = new QLineEdit(w), name(Edit22, "Edit22");
    TrackBar13 = Track(w, 100), name(TrackBar13, "TrackBar13");
    f->addRow(label(w, 38), Edit22);
    f->addRow(QString(), TrackBar13);
    h->addLayout(f);
    QGroupBox* adv = group(w, 45);
    auto* af = new QFormLayout(adv);
    ComboBox1 = List(adv, {"ISLOW", "IFAST", "FLOAT"}), name(ComboBox1, "ComboBox1");
    Edit2 = Spin(adv, 0, 100), name(Edit2, "Edit2");
    CheckBox1 = check(adv, 42), name(CheckBox1, "CheckBox1");
    CheckBox4 = check(adv, 46), name(CheckBox4, "CheckBox4");
    ComboBox12 = List(adv, {"RGB", "GrayScale", "YCbCr", "CMYK", "YCbCrK"}), name(ComboBox12, "ComboBox12");
    af->addRow(label(adv, 39), ComboBox1);
    af->addRow(label(adv, 40), Edit2);
    af->addRow(CheckBox1, CheckBox4);
    af->addRow(label(adv, 49), ComboBox12);
    h->addWidget(adv);
    for (QObject* c : {static_cast<QObject*>(Edit22), static_cast<QObject*>(TrackBar13),
                       static_cast<QObject*>(ComboBox1), static_cast<QObject*>(Edit2),
                       static_cast<QObject*>(CheckBox1), static_cast<QObject*>(CheckBox4),
                       static_cast<QObject*>(ComboBox12)})
      Connect(c, ppgJPEG1);
  }
  // Simplified JPEG.
  {
    QWidget* w = AddPage(ppgJPEG2);
    auto* f = new QFormLayout(w);
    Edit16 = new QLineEdit(w), name(Edit16, "Edit16");
    TrackBar2 = Track(w, 100), name(TrackBar2, "TrackBar2");
    f->addRow(label(w, 38), Edit16);
    f->addRow(QString(), TrackBar2);
    Connect(Edit16, ppgJPEG2);
    Connect(TrackBar2, ppgJPEG2);
  }
  // Full TIFF.
  {
    QWidget* w = AddPage(ppgTIFF1);
    auto* h = new QHBoxLayout(w);
    auto* f = new QFormLayout;
    ComboBox2 = new QComboBox(w), name(ComboBox2, "ComboBox2");
    Edit3 = Spin(w, 0, 1000), name(Edit3, "Edit3");
    ComboBox3 = List(w, {"WHITEISZERO/Gray", "BLACKISZERO/Gray", "RGB", "RGBPALETTE", "TRANSPMASK", "CMYK", "YCBCR",
                         "CIELAB"}),
    name(ComboBox3, "ComboBox3");
    ComboBox4 = List(w, {"B/W", "16", "256", "65536", "16M"}), name(ComboBox4, "ComboBox4");
    f->addRow(label(w, 47), ComboBox2);
    f->addRow(label(w, 48), Edit3);
    f->addRow(label(w, 49), ComboBox3);
    f->addRow(label(w, 58), ComboBox4);
    h->addLayout(f);
    QGroupBox* doc = group(w, 50);
    auto* g = new QGridLayout(doc);
    Edit4 = new QLineEdit(doc), name(Edit4, "Edit4");
    Edit5 = new QLineEdit(doc), name(Edit5, "Edit5");
    Edit6 = new QLineEdit(doc), name(Edit6, "Edit6");
    Edit7 = new QLineEdit(doc), name(Edit7, "Edit7");
    Edit8 = new QLineEdit(doc), name(Edit8, "Edit8");
    Edit9 = Spin(doc, 0, 65535), name(Edit9, "Edit9");
    Edit10 = Spin(doc, 0, 65535), name(Edit10, "Edit10");
    g->addWidget(label(doc, 56), 0, 0);
    g->addWidget(Edit4, 0, 1);
    g->addWidget(label(doc, 57), 0, 2);
    g->addWidget(Edit5, 0, 3);
    g->addWidget(label(doc, 51), 1, 0);
    g->addWidget(Edit6, 1, 1, 1, 3);
    g->addWidget(label(doc, 52), 2, 0);
    g->addWidget(Edit7, 2, 1, 1, 3);
    g->addWidget(label(doc, 53), 3, 0);
    g->addWidget(Edit8, 3, 1, 1, 3);
    g->addWidget(label(doc, 54), 4, 0);
    g->addWidget(Edit9, 4, 1);
    g->addWidget(label(doc, 55), 4, 2);
    g->addWidget(Edit10, 4, 3);
    h->addWidget(doc);
    for (QObject* c : {static_cast<QObject*>(ComboBox2), static_cast<QObject*>(Edit3),
                       static_cast<QObject*>(ComboBox3), static_cast<QObject*>(ComboBox4),
                       static_cast<QObject*>(Edit4), static_cast<QObject*>(Edit5), static_cast<QObject*>(Edit6),
                       static_cast<QObject*>(Edit7), static_cast<QObject*>(Edit8), static_cast<QObject*>(Edit9),
                       static_cast<QObject*>(Edit10)})
      Connect(c, ppgTIFF1);
  }
  // Simplified TIFF.
  {
    QWidget* w = AddPage(ppgTIFF2);
    auto* f = new QFormLayout(w);
    ComboBox16 = new QComboBox(w), name(ComboBox16, "ComboBox16");
    ComboBox17 = List(w, {"2", "16", "256", "65536", "16777216"}), name(ComboBox17, "ComboBox17");
    f->addRow(label(w, 47), ComboBox16);
    f->addRow(label(w, 58), ComboBox17);
    Connect(ComboBox16, ppgTIFF2);
    Connect(ComboBox17, ppgTIFF2);
  }
  // Full GIF.
  {
    QWidget* w = AddPage(ppgGIF1);
    auto* h = new QHBoxLayout(w);
    auto* f = new QFormLayout;
    Edit11 = Spin(w, 0, 1000), name(Edit11, "Edit11");
    ComboBox5 = List(w, {"B/W", "4", "8", "16", "32", "64", "128", "256"}), name(ComboBox5, "ComboBox5");
    CheckBox2 = check(w, 59), name(CheckBox2, "CheckBox2");
    Panel3 = panel(w, "Panel3");
    CheckBox3 = check(w, 61), name(CheckBox3, "CheckBox3");
    Panel4 = panel(w, "Panel4");
    f->addRow(label(w, 48), Edit11);
    f->addRow(label(w, 58), ComboBox5);
    f->addRow(CheckBox2, Panel3);
    f->addRow(label(w, 60), static_cast<QWidget*>(nullptr));
    f->addRow(CheckBox3);
    f->addRow(label(w, 62), Panel4);
    h->addLayout(f);
    QGroupBox* adv = group(w, 45);
    auto* af = new QFormLayout(adv);
    Edit12 = Spin(adv, 0, 65535), name(Edit12, "Edit12");
    Edit13 = Spin(adv, 0, 65535), name(Edit13, "Edit13");
    Edit14 = Spin(adv, 0, 65535), name(Edit14, "Edit14");
    af->addRow(label(adv, 65), Edit12);
    af->addRow(label(adv, 63), Edit13);
    af->addRow(label(adv, 64), Edit14);
    h->addWidget(adv);
    for (QObject* c : {static_cast<QObject*>(Edit11), static_cast<QObject*>(ComboBox5),
                       static_cast<QObject*>(CheckBox2), static_cast<QObject*>(CheckBox3),
                       static_cast<QObject*>(Edit12), static_cast<QObject*>(Edit13), static_cast<QObject*>(Edit14)})
      Connect(c, ppgGIF1);
    connect(Panel3, &QPushButton::clicked, this, [this] { ColourPanel(Panel3, work_.GIFTranspColor, true); });
    connect(Panel4, &QPushButton::clicked, this, [this] { ColourPanel(Panel4, work_.GIFBackground, true); });
  }
  // Simplified GIF.
  {
    QWidget* w = AddPage(ppgGIF2);
    auto* f = new QFormLayout(w);
    ComboBox18 = List(w, {"B/W", "4", "8", "16", "32", "64", "128", "256"}), name(ComboBox18, "ComboBox18");
    f->addRow(label(w, 58), ComboBox18);
    Connect(ComboBox18, ppgGIF2);
  }
  // BMP.
  {
    QWidget* w = AddPage(ppgBMP1);
    auto* f = new QFormLayout(w);
    ComboBox6 = List(w, {"UNCOMPRESSED", "RLE"}), name(ComboBox6, "ComboBox6");
    ComboBox7 = List(w, {"B/W", "16", "256", "65536", "16M", "16M (32bit)"}), name(ComboBox7, "ComboBox7");
    f->addRow(label(w, 47), ComboBox6);
    f->addRow(label(w, 58), ComboBox7);
    Connect(ComboBox6, ppgBMP1);
    Connect(ComboBox7, ppgBMP1);
  }
  // PCX.
  {
    QWidget* w = AddPage(ppgPCX1);
    auto* f = new QFormLayout(w);
    ComboBox8 = List(w, {"UNCOMPRESSED", "RLE"}), name(ComboBox8, "ComboBox8");
    ComboBox9 = List(w, {"B/W", "16", "256", "16M"}), name(ComboBox9, "ComboBox9");
    f->addRow(label(w, 47), ComboBox8);
    f->addRow(label(w, 58), ComboBox9);
    Connect(ComboBox8, ppgPCX1);
    Connect(ComboBox9, ppgPCX1);
  }
  // PNG.
  {
    QWidget* w = AddPage(ppgPNG1);
    auto* h = new QHBoxLayout(w);
    auto* f = new QFormLayout;
    ComboBox10 = List(w, {"B/W", "256", "16M"}), name(ComboBox10, "ComboBox10");
    Panel1 = panel(w, "Panel1");
    f->addRow(label(w, 58), ComboBox10);
    f->addRow(label(w, 62), Panel1);
    h->addLayout(f);
    QGroupBox* adv = group(w, 45);
    auto* af = new QFormLayout(adv);
    ComboBox11 = List(adv, {"None", "Sub", "Paeth"}), name(ComboBox11, "ComboBox11");
    ComboBox13 = List(adv, {"None", "1", "2", "3", "4", "5", "6", "7", "8", "Max"}), name(ComboBox13, "ComboBox13");
    CheckBox5 = check(adv, 61), name(CheckBox5, "CheckBox5");
    af->addRow(label(adv, 66), ComboBox11);
    af->addRow(label(adv, 47), ComboBox13);
    af->addRow(CheckBox5);
    h->addWidget(adv);
    for (QObject* c : {static_cast<QObject*>(ComboBox10), static_cast<QObject*>(ComboBox11),
                       static_cast<QObject*>(ComboBox13), static_cast<QObject*>(CheckBox5)})
      Connect(c, ppgPNG1);
    connect(Panel1, &QPushButton::clicked, this, [this] { ColourPanel(Panel1, work_.PNGBackground, false); });
  }
  // TGA.
  {
    QWidget* w = AddPage(ppgTGA1);
    auto* f = new QFormLayout(w);
    ComboBox14 = List(w, {"B/W", "256", "16M"}), name(ComboBox14, "ComboBox14");
    Panel5 = panel(w, "Panel5");
    CheckBox6 = check(w, 47), name(CheckBox6, "CheckBox6");
    Edit17 = new QLineEdit(w), name(Edit17, "Edit17");
    Edit18 = new QLineEdit(w), name(Edit18, "Edit18");
    f->addRow(label(w, 58), ComboBox14);
    f->addRow(label(w, 62), Panel5);
    f->addRow(CheckBox6);
    f->addRow(label(w, 51), Edit17);
    f->addRow(label(w, 52), Edit18);
    for (QObject* c : {static_cast<QObject*>(ComboBox14), static_cast<QObject*>(CheckBox6),
                       static_cast<QObject*>(Edit17), static_cast<QObject*>(Edit18)})
      Connect(c, ppgTGA1);
    connect(Panel5, &QPushButton::clicked, this, [this] { ColourPanel(Panel5, work_.TGABackground, false); });
  }
  // JPEG 2000.
  {
    QWidget* w = AddPage(ppgJ20001);
    auto* f = new QFormLayout(w);
    Edit15 = new QLineEdit(w), name(Edit15, "Edit15");
    TrackBar1 = Track(w, 1000), name(TrackBar1, "TrackBar1");
    ComboBox15 = List(w, {"GrayScale", "RGB", "YCbCr"}), name(ComboBox15, "ComboBox15");
    f->addRow(label(w, 123), Edit15);
    f->addRow(QString(), TrackBar1);
    f->addRow(label(w, 49), ComboBox15);
    Connect(Edit15, ppgJ20001);
    Connect(TrackBar1, ppgJ20001);
    Connect(ComboBox15, ppgJ20001);
  }
}

bool TfIOPreviews::SetPreviewPages(uint16_t flags) {
  flags_ = flags;
  const uint16_t own = params_ ? PageFlagOfFileType(params_->FileType) : 0;
  if (flags & 2) flags_ |= own;
  return !(flags == 2 && own == 0);
}

void TfIOPreviews::ApplyLanguage(TMsgLanguage l) {
  language_ = l;
  setWindowTitle(Word(37, l));
  Label1->setText(Word(1, l) + QStringLiteral(":"));
  Label2->setText(Word(2, l) + QStringLiteral(":"));
  Button1->setText(Word(3, l));
  Button2->setText(Word(4, l));
  Button3->setText(Word(0, l));
  chkLockPreview->setText(Word(5, l));
  Button4->setText(Word(120, l));
  for (const TCaption& c : captions_) {
    const QString text = Word(c.Word, l);
    if (c.Kind == 0) static_cast<QLabel*>(c.Control)->setText(text + QStringLiteral(":"));
    else if (c.Kind == 1) static_cast<QGroupBox*>(c.Control)->setTitle(QStringLiteral(" ") + text + QStringLiteral(" "));
    else static_cast<QCheckBox*>(c.Control)->setText(text);
  }
  if (!previewing_) {
    OriginalSize->setText(Word(43, l) + QStringLiteral(": ---"));
    CompressedSize->setText(Word(44, l) + QStringLiteral(": ---"));
  }
}

void TfIOPreviews::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  if (!activated_) {
    activated_ = true;
    FormActivate();
  }
}

TIOPreviewPage TfIOPreviews::ActivePage() const {
  const int i = PageControl1->currentIndex();
  return i >= 0 && i < ppgCount ? static_cast<TIOPreviewPage>(i) : ppgJPEG1;
}

void TfIOPreviews::FillTIFFCompression(QComboBox* box) {
  const QSignalBlocker quiet(box);
  box->clear();
  box->addItems({QStringLiteral("UNCOMPRESSED"), QStringLiteral("CCITT1D"), QStringLiteral("G3FAX1D"),
                 QStringLiteral("G3FAX2D"), QStringLiteral("G4FAX")});
  if (withLZW_) box->addItem(QStringLiteral("LZW"));
  box->addItems({QStringLiteral("JPEG"), QStringLiteral("PACKBITS")});
}

void TfIOPreviews::FormActivate() {
  handlersOn_ = false;
  activated_ = true;
  chkLockPreview->setChecked(defaultLock_);
  Button3->setEnabled(!defaultLock_);
  Button4->setVisible(applyVisible_);
  Button4->setEnabled(false);
  withLZW_ = PXIOHooks().TIFFLZWCompressHook.load() != nullptr;
  FillTIFFCompression(ComboBox2);
  FillTIFFCompression(ComboBox16);
  if (params_) work_.Assign(*params_);
  // A code the list cannot show becomes the one it shows.
  work_.TIFFCompression = TIFFIndexToCompression(TIFFCompressionToIndex(work_.TIFFCompression, withLZW_), withLZW_);

  const int32_t ownType = params_ ? params_->FileType : 0;
  int first = -1, own = -1;
  for (int p = 0; p < ppgCount; ++p) {
    const bool variantOk = simplified_ ? !IsFullWithVariant(p) : !IsSimplifiedPage(p);
    const bool shown = variantOk && ((flags_ & 1) || (flags_ & kPageFlag[p]));
    PageControl1->setTabVisible(p, shown);
    if (!shown) continue;
    if (first < 0) first = p;
    if (own < 0 && (kPageFileType[p] == ownType || (ownType == ioJP2 && p == ppgJ20001))) own = p;
  }
  const int active = own >= 0 ? own : first;
  if (simplified_) {
    const int ppi = std::max(ScreenDpiY(), 1);
    chkLockPreview->move(chkLockPreview->x(), static_cast<int>(ppi * 3.1458333));
  }
  {
    const QSignalBlocker quiet(PageControl1);
    if (active >= 0) PageControl1->setCurrentIndex(active);
  }
  for (int p = 0; p < ppgCount; ++p) ShowPage(static_cast<TIOPreviewPage>(p));
  source_->ZoomToFit();
  QApplication::processEvents();
  handlersOn_ = true;
  PageControl1Change();
  Preview();
}

void TfIOPreviews::PageControl1Change() {
  switching_ = true;
  ShowPage(ActivePage());
  OriginalSize->setText(Word(43, language_) + QStringLiteral(": ---"));
  CompressedSize->setText(Word(44, language_) + QStringLiteral(": ---"));
  switching_ = false;
  if (chkLockPreview->isChecked()) Preview();
}

void TfIOPreviews::SpeedButton1Click() {
  Button3->setEnabled(!chkLockPreview->isChecked());
  if (chkLockPreview->isChecked()) Preview();
}

void TfIOPreviews::PageChanged(TIOPreviewPage page, QObject* sender) {
  if (!handlersOn_ || switching_) return;
  if (!ReadPage(page, sender)) return;
  if (chkLockPreview->isChecked()) Preview();
  Button4->setEnabled(true);
}

// Shows the working values in a page's controls.
void TfIOPreviews::ShowPage(TIOPreviewPage page) {
  const bool saved = handlersOn_;
  handlersOn_ = false;
  const TIOParamsVals& v = work_;
  auto set = [](QComboBox* c, int i) { c->setCurrentIndex(std::clamp(i, 0, c->count() - 1)); };
  switch (page) {
    case ppgJPEG1:
      Edit22->setText(QString::number(v.JPEGQuality));
      TrackBar13->setValue(v.JPEGQuality);
      set(ComboBox1, v.JPEGDCTMethod);
      Edit2->setValue(v.JPEGSmooth);
      CheckBox1->setChecked(v.JPEGOptimalHuffman != 0);
      CheckBox4->setChecked(v.JPEGProgressive != 0);
      set(ComboBox12, v.JPEGColorSpace);
      break;
    case ppgJPEG2:
      Edit16->setText(QString::number(v.JPEGQuality));
      TrackBar2->setValue(v.JPEGQuality);
      break;
    case ppgTIFF1:
      set(ComboBox2, TIFFCompressionToIndex(v.TIFFCompression, withLZW_));
      Edit3->setValue(v.TIFFImageIndex);
      set(ComboBox3, v.TIFFPhotometric);
      set(ComboBox4, PairIndex(kTIFFColours, v.BitsPerSample, v.SamplesPerPixel));
      Edit4->setText(PixelsToInch(v.TIFFXPos, v.DpiX));
      Edit5->setText(PixelsToInch(v.TIFFYPos, v.DpiY));
      Edit6->setText(QString::fromStdString(v.TIFFDocumentName));
      Edit7->setText(QString::fromStdString(v.TIFFImageDescription));
      Edit8->setText(QString::fromStdString(v.TIFFPageName));
      Edit9->setValue(v.TIFFPageNumber);
      Edit10->setValue(v.TIFFPageCount);
      break;
    case ppgTIFF2:
      set(ComboBox16, TIFFCompressionToIndex(v.TIFFCompression, withLZW_));
      set(ComboBox17, PairIndex(kTIFFColours, v.BitsPerSample, v.SamplesPerPixel));
      break;
    case ppgGIF1:
      Edit11->setValue(v.GIFImageIndex);
      set(ComboBox5, v.BitsPerSample - 1);
      CheckBox2->setChecked(v.GIFTransparent != 0);
      Panel3->setEnabled(v.GIFTransparent != 0);
      SetPanelColour(Panel3, v.GIFTranspColor);
      CheckBox3->setChecked(v.GIFInterlaced != 0);
      SetPanelColour(Panel4, v.GIFBackground);
      Edit12->setValue(v.GIFDelayTime);
      Edit13->setValue(v.GIFXPos);
      Edit14->setValue(v.GIFYPos);
      break;
    case ppgGIF2:
      set(ComboBox18, v.BitsPerSample - 1);
      break;
    case ppgBMP1:
      set(ComboBox6, v.BMPCompression);
      set(ComboBox7, PairIndex(kBMPColours, v.BitsPerSample, v.SamplesPerPixel));
      break;
    case ppgPCX1:
      set(ComboBox8, v.PCXCompression ? 1 : 0);
      set(ComboBox9, PairIndex(kPCXColours, v.BitsPerSample, v.SamplesPerPixel));
      break;
    case ppgPNG1:
      set(ComboBox10, PairIndex(kRGBColours, v.BitsPerSample, v.SamplesPerPixel));
      SetPanelColour(Panel1, v.PNGBackground);
      set(ComboBox11, v.PNGFilter);
      set(ComboBox13, v.PNGCompression);
      CheckBox5->setChecked(v.PNGInterlaced != 0);
      break;
    case ppgTGA1:
      set(ComboBox14, PairIndex(kRGBColours, v.BitsPerSample, v.SamplesPerPixel));
      SetPanelColour(Panel5, v.TGABackground);
      CheckBox6->setChecked(v.TGACompressed != 0);
      Edit17->setText(QString::fromStdString(v.TGAImageName));
      Edit18->setText(QString::fromStdString(v.TGADescriptor));
      break;
    case ppgJ20001: {
      const double rate = std::isfinite(v.J2000Rate) ? std::clamp(v.J2000Rate, 0.0, 1.0) : 1.0;
      const int pos = static_cast<int>(std::nearbyint(rate * 1000));
      Edit15->setText(QString::number(pos));
      TrackBar1->setValue(pos);
      set(ComboBox15, v.J2000ColorSpace);
      break;
    }
    default: break;
  }
  handlersOn_ = saved;
}

bool TfIOPreviews::ReadPage(TIOPreviewPage page, QObject* sender) {
  TIOParamsVals& v = work_;
  bool changed = false;
  auto pair = [&](const std::vector<std::pair<int, int>>& pairs, int index) {
    if (index < 0 || index >= static_cast<int>(pairs.size())) return;
    changed |= Store(v.BitsPerSample, static_cast<int32_t>(pairs[index].first));
    changed |= Store(v.SamplesPerPixel, static_cast<int32_t>(pairs[index].second));
  };
  auto u8 = [](bool b) { return static_cast<uint8_t>(b ? 1 : 0); };
  // The typed quality (or rate) moves its track bar; the track bar its edit.
  auto edited = [&](QLineEdit* edit, QSlider* track, int fallback) {
    if (sender == edit) {
      const int typed = std::clamp(TextToInt(edit->text(), fallback), track->minimum(), track->maximum());
      if (typed != track->value()) {
        const QSignalBlocker quiet(track);
        track->setValue(typed);
      }
    } else {
      const QSignalBlocker quiet(edit);
      edit->setText(QString::number(track->value()));
    }
    return track->value();
  };
  switch (page) {
    case ppgJPEG1:
    case ppgJPEG2: {
      const int q = page == ppgJPEG1 ? edited(Edit22, TrackBar13, 50) : edited(Edit16, TrackBar2, 50);
      changed |= Store(v.JPEGQuality, static_cast<int32_t>(q));
      if (page == ppgJPEG1) {
        changed |= Store(v.JPEGDCTMethod, static_cast<uint8_t>(ComboBox1->currentIndex()));
        changed |= Store(v.JPEGSmooth, static_cast<int32_t>(Edit2->value()));
        changed |= Store(v.JPEGOptimalHuffman, u8(CheckBox1->isChecked()));
        changed |= Store(v.JPEGProgressive, u8(CheckBox4->isChecked()));
        changed |= Store(v.JPEGColorSpace, static_cast<uint8_t>(ComboBox12->currentIndex()));
      }
      break;
    }
    case ppgTIFF1: {
      const int photometric = ComboBox3->currentIndex();
      if (sender == ComboBox3) {
        // The photometric decides what depths make sense.
        const QSignalBlocker quiet(ComboBox4);
        if (photometric <= 1 && ComboBox4->currentIndex() > 2) ComboBox4->setCurrentIndex(2);
        else if (photometric == 2 || photometric >= 5) ComboBox4->setCurrentIndex(4);
        else if (photometric == 3) ComboBox4->setCurrentIndex(2);
      }
      changed |= Store(v.TIFFCompression, TIFFIndexToCompression(ComboBox2->currentIndex(), withLZW_));
      changed |= Store(v.TIFFImageIndex, static_cast<int32_t>(Edit3->value()));
      changed |= Store(v.TIFFPhotometric, static_cast<uint8_t>(photometric));
      pair(kTIFFColours, ComboBox4->currentIndex());
      changed |= Store(v.TIFFXPos, InchToPixels(Edit4->text(), v.DpiX));
      changed |= Store(v.TIFFYPos, InchToPixels(Edit5->text(), v.DpiY));
      changed |= Store(v.TIFFDocumentName, Edit6->text().toStdString());
      changed |= Store(v.TIFFImageDescription, Edit7->text().toStdString());
      changed |= Store(v.TIFFPageName, Edit8->text().toStdString());
      changed |= Store(v.TIFFPageNumber, static_cast<int32_t>(Edit9->value()));
      changed |= Store(v.TIFFPageCount, static_cast<int32_t>(Edit10->value()));
      break;
    }
    case ppgTIFF2: {
      uint8_t compression = TIFFIndexToCompression(ComboBox16->currentIndex(), withLZW_);
      int colours = ComboBox17->currentIndex();
      const bool ccitt = compression >= 1 && compression <= 4;
      if (ccitt && colours != 0) {
        // Fax compressions take black and white only.
        if (sender == ComboBox17) compression = 0;
        else colours = 0;
      }
      {
        const QSignalBlocker q1(ComboBox16), q2(ComboBox17);
        ComboBox16->setCurrentIndex(TIFFCompressionToIndex(compression, withLZW_));
        ComboBox17->setCurrentIndex(colours);
      }
      static constexpr uint8_t kPhotometric[5] = {0, 3, 3, 2, 2};
      changed |= Store(v.TIFFCompression, compression);
      changed |= Store(v.TIFFPhotometric, kPhotometric[std::clamp(colours, 0, 4)]);
      pair(kTIFFColours, colours);
      break;
    }
    case ppgGIF1:
      Panel3->setEnabled(CheckBox2->isChecked());
      changed |= Store(v.GIFImageIndex, static_cast<int32_t>(Edit11->value()));
      changed |= Store(v.BitsPerSample, static_cast<int32_t>(ComboBox5->currentIndex() + 1));
      changed |= Store(v.GIFTransparent, u8(CheckBox2->isChecked()));
      changed |= Store(v.GIFInterlaced, u8(CheckBox3->isChecked()));
      changed |= Store(v.GIFDelayTime, static_cast<int32_t>(Edit12->value()));
      changed |= Store(v.GIFXPos, static_cast<int32_t>(Edit13->value()));
      changed |= Store(v.GIFYPos, static_cast<int32_t>(Edit14->value()));
      break;
    case ppgGIF2:
      changed |= Store(v.BitsPerSample, static_cast<int32_t>(ComboBox18->currentIndex() + 1));
      break;
    case ppgBMP1:
      changed |= Store(v.BMPCompression, static_cast<uint8_t>(ComboBox6->currentIndex()));
      pair(kBMPColours, ComboBox7->currentIndex());
      break;
    case ppgPCX1:
      changed |= Store(v.PCXCompression, static_cast<uint8_t>(ComboBox8->currentIndex()));
      pair(kPCXColours, ComboBox9->currentIndex());
      break;
    case ppgPNG1:
      pair(kRGBColours, ComboBox10->currentIndex());
      changed |= Store(v.PNGFilter, static_cast<uint8_t>(ComboBox11->currentIndex()));
      changed |= Store(v.PNGCompression, static_cast<int32_t>(ComboBox13->currentIndex()));
      changed |= Store(v.PNGInterlaced, u8(CheckBox5->isChecked()));
      break;
    case ppgTGA1:
      pair(kRGBColours, ComboBox14->currentIndex());
      changed |= Store(v.TGACompressed, u8(CheckBox6->isChecked()));
      changed |= Store(v.TGAImageName, Edit17->text().toStdString());
      changed |= Store(v.TGADescriptor, Edit18->text().toStdString());
      break;
    case ppgJ20001: {
      const int pos = edited(Edit15, TrackBar1, 1000);
      changed |= Store(v.J2000Rate, pos / 1000.0);
      const int space = ComboBox15->currentIndex();
      changed |= Store(v.J2000ColorSpace, static_cast<uint8_t>(space));
      changed |= Store(v.SamplesPerPixel, static_cast<int32_t>(space == 0 ? 1 : 3));
      break;
    }
    default: break;
  }
  return changed;
}

// Exactly the fields the page edits, and its file type.
void TfIOPreviews::WriteRecord(TIOPreviewPage page, TIOParamsVals& t) {
  const TIOParamsVals& v = work_;
  switch (page) {
    case ppgJPEG1:
    case ppgJPEG2:
      t.JPEGQuality = v.JPEGQuality;
      t.JPEGColorSpace = v.JPEGColorSpace;
      t.JPEGDCTMethod = v.JPEGDCTMethod;
      t.JPEGOptimalHuffman = v.JPEGOptimalHuffman;
      t.JPEGSmooth = v.JPEGSmooth;
      t.JPEGProgressive = v.JPEGProgressive;
      break;
    case ppgTIFF1:
      t.TIFFImageIndex = v.TIFFImageIndex;
      t.TIFFXPos = v.TIFFXPos;
      t.TIFFYPos = v.TIFFYPos;
      t.TIFFDocumentName = v.TIFFDocumentName;
      t.TIFFImageDescription = v.TIFFImageDescription;
      t.TIFFPageName = v.TIFFPageName;
      t.TIFFPageNumber = v.TIFFPageNumber;
      t.TIFFPageCount = v.TIFFPageCount;
      [[fallthrough]];
    case ppgTIFF2:
      t.TIFFCompression = v.TIFFCompression;
      t.TIFFPhotometric = v.TIFFPhotometric;
      t.BitsPerSample = v.BitsPerSample;
      t.SamplesPerPixel = v.SamplesPerPixel;
      break;
    case ppgGIF1:
      t.GIFImageIndex = v.GIFImageIndex;
      t.GIFTransparent = v.GIFTransparent;
      t.GIFTranspColor = v.GIFTranspColor;
      t.GIFInterlaced = v.GIFInterlaced;
      t.GIFBackground = v.GIFBackground;
      t.GIFXPos = v.GIFXPos;
      t.GIFYPos = v.GIFYPos;
      t.GIFDelayTime = v.GIFDelayTime;
      [[fallthrough]];
    case ppgGIF2:
      t.BitsPerSample = v.BitsPerSample;
      break;
    case ppgBMP1:
      t.BMPCompression = v.BMPCompression;
      t.BitsPerSample = v.BitsPerSample;
      t.SamplesPerPixel = v.SamplesPerPixel;
      break;
    case ppgPCX1:
      t.PCXCompression = v.PCXCompression;
      t.BitsPerSample = v.BitsPerSample;
      t.SamplesPerPixel = v.SamplesPerPixel;
      break;
    case ppgPNG1:
      t.BitsPerSample = v.BitsPerSample;
      t.SamplesPerPixel = v.SamplesPerPixel;
      t.PNGBackground = v.PNGBackground;
      t.PNGInterlaced = v.PNGInterlaced;
      t.PNGFilter = v.PNGFilter;
      t.PNGCompression = v.PNGCompression;
      break;
    case ppgTGA1:
      t.BitsPerSample = v.BitsPerSample;
      t.SamplesPerPixel = v.SamplesPerPixel;
      t.TGABackground = v.TGABackground;
      t.TGACompressed = v.TGACompressed;
      t.TGAImageName = v.TGAImageName;
      t.TGADescriptor = v.TGADescriptor;
      break;
    case ppgJ20001:
      t.J2000Rate = v.J2000Rate;
      t.J2000ColorSpace = v.J2000ColorSpace;
      t.SamplesPerPixel = v.SamplesPerPixel;
      break;
    default: return;
  }
  t.FileType = kPageFileType[page];
}

void TfIOPreviews::Button1Click() {
  if (params_) WriteRecord(ActivePage(), *params_);
  done(1);
}

void TfIOPreviews::Button4Click() {
  if (params_) WriteRecord(ActivePage(), *params_);
  Button4->setEnabled(false);
}

void TfIOPreviews::Button3Click() { Preview(); }

void TfIOPreviews::SetPanelColour(QPushButton* panel, TBGR colour) {
  panel->setStyleSheet(QStringLiteral("background-color: %1; border: 1px solid black;").arg(ToQColor(colour).name()));
}

void TfIOPreviews::ColourPanel(QPushButton* panel, TBGR& value, bool gif) {
  TIOParamsVals& rp = result_->GetIO()->Params();
  if (gif && (!rp.Palette || rp.PaletteCount <= 0)) Preview();
  bool chosen = false;
  TBGR colour = value;
  if (rp.Palette && rp.PaletteCount > 0) {
    TPixoranPaletteDialog dialog(this);
    dialog.SetCancelCaption(QStringLiteral("&") + Word(4, language_));
    const int64_t wanted = gif ? (int64_t{1} << std::clamp(work_.BitsPerSample, 1, 8)) : rp.PaletteCount;
    dialog.SetPalette(rp.Palette.get(), static_cast<int32_t>(std::min<int64_t>(wanted, rp.PaletteCount)));
    if ((chosen = dialog.Execute())) colour = dialog.Color();
  } else if (!gif) {
    const QColor c = QColorDialog::getColor(ToQColor(value), this);
    if ((chosen = c.isValid())) colour = FromQColor(c);
  }
  if (!chosen) return;
  value = colour;
  SetPanelColour(panel, colour);
  Button4->setEnabled(true);
}

// ---------------------------------------------------------------- preview

void TfIOPreviews::Preview() {
  if (previewing_) return;
  TPXBitmap* src = source_->GetPXBitmap();
  if (!src || src->Width() < 1 || src->Height() < 1) return;
  previewing_ = true;
  QApplication::setOverrideCursor(Qt::WaitCursor);
  const TIOPreviewPage page = ActivePage();
  TPixoranIO& sio = *source_->GetIO();
  TPixoranIO& rio = *result_->GetIO();
  TIOParamsVals& sp = sio.Params();
  const int64_t original = static_cast<int64_t>(src->RowLen()) * src->Height();
  OriginalSize->setText(Word(43, language_) + QStringLiteral(": ") + QString::number(original) +
                        QStringLiteral(" bytes"));
  auto showSize = [this](int64_t n) {
    CompressedSize->setText(Word(44, language_) + QStringLiteral(": ") + QString::number(n) + QStringLiteral(" bytes"));
  };
  try {
    WriteRecord(page, sp);
    if (page == ppgJPEG1 || page == ppgJPEG2 || page == ppgJ20001) {
      if (page == ppgJ20001) sp.BitsPerSample = 8, sp.SamplesPerPixel = 3;
      const int32_t type = page == ppgJ20001 ? ioJ2K : ioJPEG;
      TMemoryStream stream;
      ProgressBar1->setValue(0);
      progressBase_ = 0;
      sio.SaveToStream(stream, type);
      showSize(stream.Size());
      stream.SetPosition(0);
      ProgressBar1->setValue(50);
      progressBase_ = 50;
      rio.Params().JPEGScale = 1;
      rio.LoadFromStreamFormat(stream, type);
      progressBase_ = -1;
    } else {
      TNulStream counter;
      sio.SaveToStream(counter, kPageFileType[page]);
      showSize(counter.Size());
      result_->Assign(source_.get());
      rio.Params().Assign(sp);
      // GIF depths count in bits per pixel alone.
      const bool gif = page == ppgGIF1 || page == ppgGIF2;
      const int64_t bits = int64_t{sp.BitsPerSample} * (gif ? 1 : std::max(sp.SamplesPerPixel, 1));
      const bool tiff = page == ppgTIFF1 || page == ppgTIFF2;
      const uint8_t ph = sp.TIFFPhotometric;
      TPXBitmap& rb = *result_->GetPXBitmap();
      if (tiff && ph <= 1 && sp.BitsPerSample == 8 && sp.SamplesPerPixel == 1) {
        if (rb.PixelFormat() != pxBGR24) rb.ConvertPixelFormat(pxBGR24);
        result_->GetProc()->SetAutoUndo(false);
        result_->GetProc()->ConvertToGray();
        rio.Params().FreePalette();
      } else if (tiff && (ph == 5 || ph == 6 || ph == 7)) {
        // Kept as it is: these are written with full colour.
      } else if (bits >= 1 && bits <= 8) {
        const int32_t colours = 1 << bits;
        if (rb.PixelFormat() != pxBGR24 && rb.PixelFormat() != pxBW1) rb.ConvertPixelFormat(pxBGR24);
        if (rb.PixelFormat() == pxBGR24) {
          std::vector<TBGR> palette(static_cast<size_t>(colours));
          result_->GetProc()->SetAutoUndo(false);
          result_->GetProc()->ConvertToPalette(colours, palette, false);
          rio.Params().SetPalette(palette.data(), colours);
        } else {
          const TBGR bw[2] = {TBGR{0, 0, 0}, TBGR{255, 255, 255}};
          rio.Params().SetPalette(bw, 2);
        }
      } else {
        rio.Params().FreePalette();
      }
      result_->Update();
    }
  } catch (...) {
    // A failed encoding leaves the result as it was; the dialog goes on.
  }
  progressBase_ = -1;
  ProgressBar1->setValue(0);
  SyncResultView();
  QApplication::restoreOverrideCursor();
  previewing_ = false;
}

void TfIOPreviews::SyncResultView() {
  if (!source_ || !result_) return;
  result_->LockUpdate();
  result_->SetZoom(source_->Zoom());
  result_->SetViewXY(source_->ViewX(), source_->ViewY());
  result_->UnlockUpdate();
}

}  // namespace pixoran
