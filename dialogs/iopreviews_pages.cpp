// The pages of the save-parameters dialog: their controls, how the working
// values show in them and are read back, and what OK writes (the fields the
// page descriptors list).
#include <QCheckBox>
#include <QColorDialog>
#include <QComboBox>
#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSlider>
#include <QSpinBox>
#include <QTabWidget>
#include <algorithm>
#include <cmath>

#include "dialogs/iopreviews.h"
#include "dialogs/iopreviews_internal.h"
#include "io/pixoranio.h"
#include "view/pixoranview.h"

namespace pixoran {

using iopreviews::FromQColor;
using iopreviews::ToQColor;
using iopreviews::Word;

namespace {

template <typename T>
T* Named(T* control, const char* name) {
  control->setObjectName(QString::fromLatin1(name));
  return control;
}

QSlider* Track(QWidget* parent, int max, const char* name) {
  auto* t = Named(new QSlider(Qt::Horizontal, parent), name);
  t->setRange(0, max);
  t->setPageStep(10);
  return t;
}

QSpinBox* Spin(QWidget* parent, int min, int max, const char* name) {
  auto* s = Named(new QSpinBox(parent), name);
  s->setRange(min, max);
  return s;
}

QComboBox* List(QWidget* parent, std::initializer_list<const char*> items, const char* name) {
  auto* c = Named(new QComboBox(parent), name);
  for (const char* i : items) c->addItem(QString::fromUtf8(i));
  return c;
}

// The colour list of a page, from its descriptor.
QComboBox* DepthList(QWidget* parent, TIOPreviewPage page, const char* name) {
  auto* c = Named(new QComboBox(parent), name);
  for (const TSaveDepth& d : SavePage(page).Depths) c->addItem(QString::fromUtf8(d.Caption));
  return c;
}

QPushButton* ColourPanelButton(QWidget* parent, const char* name) {
  auto* p = Named(new QPushButton(parent), name);
  p->setFixedSize(40, 20);
  p->setAutoFillBackground(true);
  p->setFlat(true);
  return p;
}

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

// The colour-list entry that shows the record's depth.
int ShownDepth(TIOPreviewPage page, const TIOParamsVals& v) {
  return SaveDepthIndex(SavePage(page).Depths, v.BitsPerSample, v.SamplesPerPixel);
}

}  // namespace

// ---------------------------------------------------------------- building

QWidget* TfIOPreviews::AddPage(TIOPreviewPage page) {
  const TSavePageInfo& info = SavePage(page);
  auto* w = Named(new QWidget(PageControl1), info.Name);
  TabSheet[page] = w;
  PageControl1->addTab(w, QString::fromLatin1(info.Title));
  return w;
}

void TfIOPreviews::Connect(TIOPreviewPage page, std::initializer_list<QObject*> controls) {
  for (QObject* control : controls) {
    auto changed = [this, page, control] { PageChanged(page, control); };
    if (auto* s = qobject_cast<QSlider*>(control)) connect(s, &QSlider::valueChanged, this, changed);
    else if (auto* e = qobject_cast<QLineEdit*>(control)) connect(e, &QLineEdit::textEdited, this, changed);
    else if (auto* b = qobject_cast<QSpinBox*>(control)) connect(b, &QSpinBox::valueChanged, this, changed);
    else if (auto* c = qobject_cast<QComboBox*>(control)) connect(c, &QComboBox::activated, this, changed);
    else if (auto* k = qobject_cast<QCheckBox*>(control)) connect(k, &QCheckBox::clicked, this, changed);
  }
}

QLabel* TfIOPreviews::CaptionLabel(QWidget* parent, int32_t word) {
  auto* l = new QLabel(parent);
  captions_.push_back({l, word, 0});
  return l;
}

QGroupBox* TfIOPreviews::CaptionGroup(QWidget* parent, int32_t word) {
  auto* g = new QGroupBox(parent);
  captions_.push_back({g, word, 1});
  return g;
}

QCheckBox* TfIOPreviews::CaptionCheck(QWidget* parent, int32_t word, const char* name) {
  auto* c = Named(new QCheckBox(parent), name);
  captions_.push_back({c, word, 2});
  return c;
}

// In the order of the page control.
void TfIOPreviews::BuildPages() {
  BuildJPEGPages();
  BuildTIFFPages();
  BuildGIFPages();
  BuildCompressionPage(ppgBMP1, ComboBox6, "ComboBox6", ComboBox7, "ComboBox7");
  BuildCompressionPage(ppgPCX1, ComboBox8, "ComboBox8", ComboBox9, "ComboBox9");
  BuildPNGPage();
  BuildTGAPage();
  BuildJ2000Page();
}

void TfIOPreviews::BuildJPEGPages() {
  {
    QWidget* w = AddPage(ppgJPEG1);
    auto* h = new QHBoxLayout(w);
    auto* f = new QFormLayout;
    Edit22 = Named(new QLineEdit(w), "Edit22");
    TrackBar13 = Track(w, 100, "TrackBar13");
    f->addRow(CaptionLabel(w, 38), Edit22);
    f->addRow(QString(), TrackBar13);
    h->addLayout(f);
    QGroupBox* adv = CaptionGroup(w, 45);
    auto* af = new QFormLayout(adv);
    ComboBox1 = List(adv, {"ISLOW", "IFAST", "FLOAT"}, "ComboBox1");
    Edit2 = Spin(adv, 0, 100, "Edit2");
    CheckBox1 = CaptionCheck(adv, 42, "CheckBox1");
    CheckBox4 = CaptionCheck(adv, 46, "CheckBox4");
    ComboBox12 = List(adv, {"RGB", "GrayScale", "YCbCr", "CMYK", "YCbCrK"}, "ComboBox12");
    af->addRow(CaptionLabel(adv, 39), ComboBox1);
    af->addRow(CaptionLabel(adv, 40), Edit2);
    af->addRow(CheckBox1, CheckBox4);
    af->addRow(CaptionLabel(adv, 49), ComboBox12);
    h->addWidget(adv);
    Connect(ppgJPEG1, {Edit22, TrackBar13, ComboBox1, Edit2, CheckBox1, CheckBox4, ComboBox12});
  }
  {
    QWidget* w = AddPage(ppgJPEG2);
    auto* f = new QFormLayout(w);
    Edit16 = Named(new QLineEdit(w), "Edit16");
    TrackBar2 = Track(w, 100, "TrackBar2");
    f->addRow(CaptionLabel(w, 38), Edit16);
    f->addRow(QString(), TrackBar2);
    Connect(ppgJPEG2, {Edit16, TrackBar2});
  }
}

void TfIOPreviews::BuildTIFFPages() {
  {
    QWidget* w = AddPage(ppgTIFF1);
    auto* h = new QHBoxLayout(w);
    auto* f = new QFormLayout;
    ComboBox2 = Named(new QComboBox(w), "ComboBox2");
    Edit3 = Spin(w, 0, 1000, "Edit3");
    ComboBox3 =
        List(w, {"WHITEISZERO/Gray", "BLACKISZERO/Gray", "RGB", "RGBPALETTE", "TRANSPMASK", "CMYK", "YCBCR", "CIELAB"},
             "ComboBox3");
    ComboBox4 = DepthList(w, ppgTIFF1, "ComboBox4");
    f->addRow(CaptionLabel(w, 47), ComboBox2);
    f->addRow(CaptionLabel(w, 48), Edit3);
    f->addRow(CaptionLabel(w, 49), ComboBox3);
    f->addRow(CaptionLabel(w, 58), ComboBox4);
    h->addLayout(f);
    QGroupBox* doc = CaptionGroup(w, 50);
    auto* g = new QGridLayout(doc);
    Edit4 = Named(new QLineEdit(doc), "Edit4");
    Edit5 = Named(new QLineEdit(doc), "Edit5");
    Edit6 = Named(new QLineEdit(doc), "Edit6");
    Edit7 = Named(new QLineEdit(doc), "Edit7");
    Edit8 = Named(new QLineEdit(doc), "Edit8");
    Edit9 = Spin(doc, 0, 65535, "Edit9");
    Edit10 = Spin(doc, 0, 65535, "Edit10");
    g->addWidget(CaptionLabel(doc, 56), 0, 0);
    g->addWidget(Edit4, 0, 1);
    g->addWidget(CaptionLabel(doc, 57), 0, 2);
    g->addWidget(Edit5, 0, 3);
    g->addWidget(CaptionLabel(doc, 51), 1, 0);
    g->addWidget(Edit6, 1, 1, 1, 3);
    g->addWidget(CaptionLabel(doc, 52), 2, 0);
    g->addWidget(Edit7, 2, 1, 1, 3);
    g->addWidget(CaptionLabel(doc, 53), 3, 0);
    g->addWidget(Edit8, 3, 1, 1, 3);
    g->addWidget(CaptionLabel(doc, 54), 4, 0);
    g->addWidget(Edit9, 4, 1);
    g->addWidget(CaptionLabel(doc, 55), 4, 2);
    g->addWidget(Edit10, 4, 3);
    h->addWidget(doc);
    Connect(ppgTIFF1, {ComboBox2, Edit3, ComboBox3, ComboBox4, Edit4, Edit5, Edit6, Edit7, Edit8, Edit9, Edit10});
  }
  {
    QWidget* w = AddPage(ppgTIFF2);
    auto* f = new QFormLayout(w);
    ComboBox16 = Named(new QComboBox(w), "ComboBox16");
    ComboBox17 = DepthList(w, ppgTIFF2, "ComboBox17");
    f->addRow(CaptionLabel(w, 47), ComboBox16);
    f->addRow(CaptionLabel(w, 58), ComboBox17);
    Connect(ppgTIFF2, {ComboBox16, ComboBox17});
  }
}

void TfIOPreviews::BuildGIFPages() {
  {
    QWidget* w = AddPage(ppgGIF1);
    auto* h = new QHBoxLayout(w);
    auto* f = new QFormLayout;
    Edit11 = Spin(w, 0, 1000, "Edit11");
    ComboBox5 = DepthList(w, ppgGIF1, "ComboBox5");
    CheckBox2 = CaptionCheck(w, 59, "CheckBox2");
    Panel3 = ColourPanelButton(w, "Panel3");
    CheckBox3 = CaptionCheck(w, 61, "CheckBox3");
    Panel4 = ColourPanelButton(w, "Panel4");
    f->addRow(CaptionLabel(w, 48), Edit11);
    f->addRow(CaptionLabel(w, 58), ComboBox5);
    f->addRow(CheckBox2, Panel3);
    f->addRow(CaptionLabel(w, 60), static_cast<QWidget*>(nullptr));
    f->addRow(CheckBox3);
    f->addRow(CaptionLabel(w, 62), Panel4);
    h->addLayout(f);
    QGroupBox* adv = CaptionGroup(w, 45);
    auto* af = new QFormLayout(adv);
    Edit12 = Spin(adv, 0, 65535, "Edit12");
    Edit13 = Spin(adv, 0, 65535, "Edit13");
    Edit14 = Spin(adv, 0, 65535, "Edit14");
    af->addRow(CaptionLabel(adv, 65), Edit12);
    af->addRow(CaptionLabel(adv, 63), Edit13);
    af->addRow(CaptionLabel(adv, 64), Edit14);
    h->addWidget(adv);
    Connect(ppgGIF1, {Edit11, ComboBox5, CheckBox2, CheckBox3, Edit12, Edit13, Edit14});
    connect(Panel3, &QPushButton::clicked, this, [this] { ColourPanel(Panel3, work_.GIFTranspColor, true); });
    connect(Panel4, &QPushButton::clicked, this, [this] { ColourPanel(Panel4, work_.GIFBackground, true); });
  }
  {
    QWidget* w = AddPage(ppgGIF2);
    auto* f = new QFormLayout(w);
    ComboBox18 = DepthList(w, ppgGIF2, "ComboBox18");
    f->addRow(CaptionLabel(w, 58), ComboBox18);
    Connect(ppgGIF2, {ComboBox18});
  }
}

// BMP and PCX: a compression list and a colour list.
void TfIOPreviews::BuildCompressionPage(TIOPreviewPage page, QComboBox*& compression, const char* compressionName,
                                        QComboBox*& colours, const char* coloursName) {
  QWidget* w = AddPage(page);
  auto* f = new QFormLayout(w);
  compression = List(w, {"UNCOMPRESSED", "RLE"}, compressionName);
  colours = DepthList(w, page, coloursName);
  f->addRow(CaptionLabel(w, 47), compression);
  f->addRow(CaptionLabel(w, 58), colours);
  Connect(page, {compression, colours});
}

void TfIOPreviews::BuildPNGPage() {
  QWidget* w = AddPage(ppgPNG1);
  auto* h = new QHBoxLayout(w);
  auto* f = new QFormLayout;
  ComboBox10 = DepthList(w, ppgPNG1, "ComboBox10");
  Panel1 = ColourPanelButton(w, "Panel1");
  f->addRow(CaptionLabel(w, 58), ComboBox10);
  f->addRow(CaptionLabel(w, 62), Panel1);
  h->addLayout(f);
  QGroupBox* adv = CaptionGroup(w, 45);
  auto* af = new QFormLayout(adv);
  ComboBox11 = List(adv, {"None", "Sub", "Paeth"}, "ComboBox11");
  ComboBox13 = List(adv, {"None", "1", "2", "3", "4", "5", "6", "7", "8", "Max"}, "ComboBox13");
  CheckBox5 = CaptionCheck(adv, 61, "CheckBox5");
  af->addRow(CaptionLabel(adv, 66), ComboBox11);
  af->addRow(CaptionLabel(adv, 47), ComboBox13);
  af->addRow(CheckBox5);
  h->addWidget(adv);
  Connect(ppgPNG1, {ComboBox10, ComboBox11, ComboBox13, CheckBox5});
  connect(Panel1, &QPushButton::clicked, this, [this] { ColourPanel(Panel1, work_.PNGBackground, false); });
}

void TfIOPreviews::BuildTGAPage() {
  QWidget* w = AddPage(ppgTGA1);
  auto* f = new QFormLayout(w);
  ComboBox14 = DepthList(w, ppgTGA1, "ComboBox14");
  Panel5 = ColourPanelButton(w, "Panel5");
  CheckBox6 = CaptionCheck(w, 47, "CheckBox6");
  Edit17 = Named(new QLineEdit(w), "Edit17");
  Edit18 = Named(new QLineEdit(w), "Edit18");
  f->addRow(CaptionLabel(w, 58), ComboBox14);
  f->addRow(CaptionLabel(w, 62), Panel5);
  f->addRow(CheckBox6);
  f->addRow(CaptionLabel(w, 51), Edit17);
  f->addRow(CaptionLabel(w, 52), Edit18);
  Connect(ppgTGA1, {ComboBox14, CheckBox6, Edit17, Edit18});
  connect(Panel5, &QPushButton::clicked, this, [this] { ColourPanel(Panel5, work_.TGABackground, false); });
}

void TfIOPreviews::BuildJ2000Page() {
  QWidget* w = AddPage(ppgJ20001);
  auto* f = new QFormLayout(w);
  Edit15 = Named(new QLineEdit(w), "Edit15");
  TrackBar1 = Track(w, 1000, "TrackBar1");
  ComboBox15 = List(w, {"GrayScale", "RGB", "YCbCr"}, "ComboBox15");
  f->addRow(CaptionLabel(w, 123), Edit15);
  f->addRow(QString(), TrackBar1);
  f->addRow(CaptionLabel(w, 49), ComboBox15);
  Connect(ppgJ20001, {Edit15, TrackBar1, ComboBox15});
}

void TfIOPreviews::FillTIFFCompression(QComboBox* box) {
  const QSignalBlocker quiet(box);
  box->clear();
  for (const TSaveCompressionItem& item : TIFFCompressionItems())
    if (withLZW_ || !item.NeedsLZW) box->addItem(QString::fromLatin1(item.Caption));
}

// ---------------------------------------------------------------- values

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
      set(ComboBox4, ShownDepth(page, v));
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
      set(ComboBox17, ShownDepth(page, v));
      break;
    case ppgGIF1:
      Edit11->setValue(v.GIFImageIndex);
      set(ComboBox5, ShownDepth(page, v));
      CheckBox2->setChecked(v.GIFTransparent != 0);
      Panel3->setEnabled(v.GIFTransparent != 0);
      SetPanelColour(Panel3, v.GIFTranspColor);
      CheckBox3->setChecked(v.GIFInterlaced != 0);
      SetPanelColour(Panel4, v.GIFBackground);
      Edit12->setValue(v.GIFDelayTime);
      Edit13->setValue(v.GIFXPos);
      Edit14->setValue(v.GIFYPos);
      break;
    case ppgGIF2: set(ComboBox18, ShownDepth(page, v)); break;
    case ppgBMP1:
      set(ComboBox6, v.BMPCompression);
      set(ComboBox7, ShownDepth(page, v));
      break;
    case ppgPCX1:
      set(ComboBox8, v.PCXCompression ? 1 : 0);
      set(ComboBox9, ShownDepth(page, v));
      break;
    case ppgPNG1:
      set(ComboBox10, ShownDepth(page, v));
      SetPanelColour(Panel1, v.PNGBackground);
      set(ComboBox11, v.PNGFilter);
      set(ComboBox13, v.PNGCompression);
      CheckBox5->setChecked(v.PNGInterlaced != 0);
      break;
    case ppgTGA1:
      set(ComboBox14, ShownDepth(page, v));
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
  // A colour-list entry stands for a depth (the bits alone on the GIF pages).
  auto depth = [&](int index) {
    const std::span<const TSaveDepth> depths = SavePage(page).Depths;
    if (index < 0 || index >= static_cast<int>(depths.size())) return;
    changed |= Store(v.BitsPerSample, depths[index].Bits);
    if (depths[index].Samples != 0) changed |= Store(v.SamplesPerPixel, depths[index].Samples);
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
      depth(ComboBox4->currentIndex());
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
      depth(colours);
      break;
    }
    case ppgGIF1:
      Panel3->setEnabled(CheckBox2->isChecked());
      changed |= Store(v.GIFImageIndex, static_cast<int32_t>(Edit11->value()));
      depth(ComboBox5->currentIndex());
      changed |= Store(v.GIFTransparent, u8(CheckBox2->isChecked()));
      changed |= Store(v.GIFInterlaced, u8(CheckBox3->isChecked()));
      changed |= Store(v.GIFDelayTime, static_cast<int32_t>(Edit12->value()));
      changed |= Store(v.GIFXPos, static_cast<int32_t>(Edit13->value()));
      changed |= Store(v.GIFYPos, static_cast<int32_t>(Edit14->value()));
      break;
    case ppgGIF2: depth(ComboBox18->currentIndex()); break;
    case ppgBMP1:
      changed |= Store(v.BMPCompression, static_cast<uint8_t>(ComboBox6->currentIndex()));
      depth(ComboBox7->currentIndex());
      break;
    case ppgPCX1:
      changed |= Store(v.PCXCompression, static_cast<uint8_t>(ComboBox8->currentIndex()));
      depth(ComboBox9->currentIndex());
      break;
    case ppgPNG1:
      depth(ComboBox10->currentIndex());
      changed |= Store(v.PNGFilter, static_cast<uint8_t>(ComboBox11->currentIndex()));
      changed |= Store(v.PNGCompression, static_cast<int32_t>(ComboBox13->currentIndex()));
      changed |= Store(v.PNGInterlaced, u8(CheckBox5->isChecked()));
      break;
    case ppgTGA1:
      depth(ComboBox14->currentIndex());
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

// Exactly the fields the page's descriptor lists, and its file type.
void TfIOPreviews::WriteRecord(TIOPreviewPage page, TIOParamsVals& target) {
  WriteSaveFields(SavePage(page), work_, target);
}

// ---------------------------------------------------------------- colour panels

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

}  // namespace pixoran
