#pragma once
// The save-parameters preview dialog: one tabbed page per writable format
// edits a parameter record while the source image is shown beside the
// result of the chosen parameters (encoded and decoded again for JPEG and
// JPEG 2000, reduced to the chosen depth for the others). Also the small
// palette dialog its colour panels open.
#include <QDialog>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "platform/pxexport.h"
#include "core/kopxdefs.h"
#include "io/pixoranio_params.h"
#include "io/pxsavepages.h"

class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QSlider;
class QSpinBox;
class QTabWidget;
class QWidget;

namespace pixoran {

class TPixoranView;

// ---------------------------------------------------------------- palette dialog

class PIXORAN_DIALOGS_EXPORT TPixoranPaletteDialog : public QDialog {
  Q_OBJECT

 public:
  explicit TPixoranPaletteDialog(QWidget* owner = nullptr);  // Init
  // The palette is the caller's and must outlive the dialog.
  void SetPalette(const TBGR* palette, int32_t count);
  // Shows the dialog modally; true when a colour was chosen.
  bool Execute();
  TBGR Color() const { return color_; }
  int32_t Hovered() const { return hovered_; }
  void SetCancelCaption(const QString& caption);

  // The entry under a client position, -1 for none.
  int32_t EntryAt(int32_t x, int32_t y) const;

 protected:
  void paintEvent(QPaintEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;

 private:
  const TBGR* palette_ = nullptr;
  int32_t count_ = 0;
  int32_t hovered_ = -1;
  TBGR color_;
  QPushButton* cancel_ = nullptr;
};

// ---------------------------------------------------------------- the dialog

// The pages (TIOPreviewPage), what each writes on OK and the TIFF
// compression list's mapping live in io/pxsavepages.h.

class PIXORAN_DIALOGS_EXPORT TfIOPreviews : public QDialog {
  Q_OBJECT

 public:
  explicit TfIOPreviews(QWidget* parent = nullptr);
  ~TfIOPreviews() override;

  // ------------------------------------------------------------ caller settings
  // The record OK and Apply write into; the caller keeps it alive.
  void SetParams(TIOParamsVals* params) { params_ = params; }
  void SetDefaultLockPreview(bool value) { defaultLock_ = value; }
  void SetApplyVisible(bool value);
  void SetSimplified(bool value) { simplified_ = value; }
  bool Simplified() const { return simplified_; }
  // Stores the page flags (1 all, 2 the record's format, 4 JPEG ... 512
  // JPEG 2000); false only when the flags are exactly "the record's format"
  // and that format has no page.
  bool SetPreviewPages(uint16_t flags);
  void ApplyLanguage(TMsgLanguage language);

  // The page of a file type, 0 for none.
  static uint16_t PageFlagOfFileType(int32_t fileType);

  // ------------------------------------------------------------ controls
  TPixoranView* Pixoran1() const { return source_.get(); }
  TPixoranView* Pixoran2() const { return result_.get(); }
  QTabWidget* PageControl1 = nullptr;
  QWidget* TabSheet[ppgCount] = {};
  QLabel* Label1 = nullptr;  // Source:
  QLabel* Label2 = nullptr;  // Result:
  QLabel* OriginalSize = nullptr;
  QLabel* CompressedSize = nullptr;
  QProgressBar* ProgressBar1 = nullptr;
  QPushButton* Button1 = nullptr;  // OK
  QPushButton* Button2 = nullptr;  // Cancel
  QPushButton* Button3 = nullptr;  // Preview
  QPushButton* Button4 = nullptr;  // Apply
  QCheckBox* chkLockPreview = nullptr;

  // Full JPEG.
  QLineEdit* Edit22 = nullptr;      // quality
  QSlider* TrackBar13 = nullptr;    // quality
  QComboBox* ComboBox1 = nullptr;   // DCT method
  QSpinBox* Edit2 = nullptr;        // smoothing
  QCheckBox* CheckBox1 = nullptr;   // optimal Huffman
  QCheckBox* CheckBox4 = nullptr;   // progressive
  QComboBox* ComboBox12 = nullptr;  // photometric
  // Simplified JPEG.
  QLineEdit* Edit16 = nullptr;
  QSlider* TrackBar2 = nullptr;
  // Full TIFF.
  QComboBox* ComboBox2 = nullptr;  // compression
  QSpinBox* Edit3 = nullptr;       // image index
  QComboBox* ComboBox3 = nullptr;  // photometric
  QComboBox* ComboBox4 = nullptr;  // colours
  QLineEdit* Edit4 = nullptr;      // horizontal position (inch)
  QLineEdit* Edit5 = nullptr;      // vertical position (inch)
  QLineEdit* Edit6 = nullptr;      // document name
  QLineEdit* Edit7 = nullptr;      // description
  QLineEdit* Edit8 = nullptr;      // page name
  QSpinBox* Edit9 = nullptr;       // page number
  QSpinBox* Edit10 = nullptr;      // page count
  // Simplified TIFF.
  QComboBox* ComboBox16 = nullptr;  // compression
  QComboBox* ComboBox17 = nullptr;  // colours
  // Full GIF.
  QSpinBox* Edit11 = nullptr;      // image index
  QComboBox* ComboBox5 = nullptr;  // colours
  QCheckBox* CheckBox2 = nullptr;  // transparent
  QPushButton* Panel3 = nullptr;   // transparent colour
  QCheckBox* CheckBox3 = nullptr;  // interlaced
  QPushButton* Panel4 = nullptr;   // background
  QSpinBox* Edit12 = nullptr;      // delay
  QSpinBox* Edit13 = nullptr;      // horizontal position
  QSpinBox* Edit14 = nullptr;      // vertical position
  // Simplified GIF.
  QComboBox* ComboBox18 = nullptr;
  // BMP.
  QComboBox* ComboBox6 = nullptr;  // compression
  QComboBox* ComboBox7 = nullptr;  // colours
  // PCX.
  QComboBox* ComboBox8 = nullptr;  // compression
  QComboBox* ComboBox9 = nullptr;  // colours
  // PNG.
  QComboBox* ComboBox10 = nullptr;  // colours
  QPushButton* Panel1 = nullptr;    // background
  QComboBox* ComboBox11 = nullptr;  // filter
  QComboBox* ComboBox13 = nullptr;  // compression
  QCheckBox* CheckBox5 = nullptr;   // interlaced
  // TGA.
  QComboBox* ComboBox14 = nullptr;  // colours
  QPushButton* Panel5 = nullptr;    // background
  QCheckBox* CheckBox6 = nullptr;   // compression
  QLineEdit* Edit17 = nullptr;      // name
  QLineEdit* Edit18 = nullptr;      // description
  // JPEG 2000.
  QLineEdit* Edit15 = nullptr;      // rate (thousandths)
  QSlider* TrackBar1 = nullptr;     // rate
  QComboBox* ComboBox15 = nullptr;  // photometric

  // ------------------------------------------------------------ handlers
  void FormActivate();
  void Button1Click();  // OK
  void Button3Click();  // Preview
  void Button4Click();  // Apply
  void SpeedButton1Click();
  void PageControl1Change();
  // The values the controls of the active page hold now (for the caller's
  // OnIOPreview and for tests).
  const TIOParamsVals& Working() const { return work_; }
  TIOPreviewPage ActivePage() const;
  // OK, Cancel and Escape during the activation's event processing close
  // the dialog once its own loop runs: closed earlier, exec would wait on a
  // hidden dialog.
  void done(int result) override;

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  void BuildPages();
  void BuildJPEGPages();
  void BuildTIFFPages();
  void BuildGIFPages();
  void BuildCompressionPage(TIOPreviewPage page, QComboBox*& compression, const char* compressionName,
                            QComboBox*& colours, const char* coloursName);
  void BuildPNGPage();
  void BuildTGAPage();
  void BuildJ2000Page();
  QWidget* AddPage(TIOPreviewPage page);
  // Captioned controls, listed for ApplyLanguage.
  QLabel* CaptionLabel(QWidget* parent, int32_t word);
  QGroupBox* CaptionGroup(QWidget* parent, int32_t word);
  QCheckBox* CaptionCheck(QWidget* parent, int32_t word, const char* name);
  void Connect(TIOPreviewPage page, std::initializer_list<QObject*> controls);
  void PageChanged(TIOPreviewPage page, QObject* sender);
  // Reads the page's controls into the working record; true when a value
  // differed.
  bool ReadPage(TIOPreviewPage page, QObject* sender);
  void ShowPage(TIOPreviewPage page);
  void WriteRecord(TIOPreviewPage page, TIOParamsVals& target);
  void FillTIFFCompression(QComboBox* box);
  void ColourPanel(QPushButton* panel, TBGR& value, bool gif);
  void Preview();
  void SyncResultView();
  void SetPanelColour(QPushButton* panel, TBGR colour);

  TIOParamsVals* params_ = nullptr;
  TIOParamsVals work_;
  std::unique_ptr<TPixoranView> source_, result_;
  TMsgLanguage language_ = msSystem;
  uint16_t flags_ = 1;
  bool defaultLock_ = false;
  bool simplified_ = false;
  bool applyVisible_ = false;
  bool handlersOn_ = false;
  bool switching_ = false;
  bool activated_ = false;
  bool activating_ = false;  // inside the activation's event processing
  int closedWith_ = -1;      // a result asked for while activating
  bool previewing_ = false;
  bool withLZW_ = true;
  int progressBase_ = -1;  // 0 or 50 while a preview encodes or decodes
  // Captioned controls and their words: kind 0 label (":" appended), 1 group box, 2 plain.
  struct TCaption {
    QWidget* Control;
    int32_t Word;
    int32_t Kind;
  };
  std::vector<TCaption> captions_;
  friend class TfIOPreviewsTestAccess;
};

}  // namespace pixoran
