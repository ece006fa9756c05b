#pragma once
// The library's open and save dialogs: Qt's own (non-native) file dialog
// with a preview panel beside the file list showing the selected image (the
// frames of a multi-frame file as thumbnails), its size, resolution, colour
// depth, file size and memory size. The save dialog adds "Advanced", which
// opens the save-parameters dialog for the chosen format.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <QStringList>

#include "platform/pxexport.h"
#include "core/kopxdefs.h"
#include "io/pixoranio_params.h"
#include "platform/classes.h"

class QCheckBox;
class QComboBox;
class QFileDialog;
class QLabel;
class QProgressBar;
class QPushButton;
class QToolButton;
class QWidget;

namespace pixoran {

class TPixoranIO;
class TPixoranMIO;
class TPixoranView;
class TPixoranMView;

// Options of the file dialogs, one bit each.
using TOpenOptions = uint32_t;
constexpr TOpenOptions ofReadOnly = 1u << 0, ofOverwritePrompt = 1u << 1, ofHideReadOnly = 1u << 2,
                       ofNoChangeDir = 1u << 3, ofShowHelp = 1u << 4, ofNoValidate = 1u << 5,
                       ofAllowMultiSelect = 1u << 6, ofExtensionDifferent = 1u << 7, ofPathMustExist = 1u << 8,
                       ofFileMustExist = 1u << 9, ofCreatePrompt = 1u << 10, ofShareAware = 1u << 11,
                       ofNoReadOnlyReturn = 1u << 12, ofNoTestFileCreate = 1u << 13, ofNoNetworkButton = 1u << 14,
                       ofNoLongNames = 1u << 15, ofOldStyleDialog = 1u << 16, ofNoDereferenceLinks = 1u << 17,
                       ofEnableIncludeNotify = 1u << 18, ofEnableSizing = 1u << 19, ofDontAddToRecent = 1u << 20,
                       ofForceShowHidden = 1u << 21;

// Preview panel texts (exposed for the tests).
// "n" colours of samples x bits: "16777216" for four 8-bit samples, "2^48"
// for three 16-bit ones, "2^n" whenever 2^n does not fit 64 bits.
PIXORAN_DIALOGS_EXPORT std::string ColourCountText(int32_t bitsPerSample, int32_t samplesPerPixel);
// n div 1024 " Kb" from 1024 bytes up, else n " bytes".
PIXORAN_DIALOGS_EXPORT std::string ByteSizeText(int64_t bytes);
// frames x height x the 32-bit padded row of a 1-bit (1 x 1-bit) or 24-bit
// row; saturates instead of overflowing.
PIXORAN_DIALOGS_EXPORT int64_t PreviewMemorySize(int64_t frames, int64_t width, int64_t height, int32_t bitsPerSample,
                                                 int32_t samplesPerPixel);
// "desc|*.a;*.b|desc2|*.c" -> {"desc (*.a *.b)", "desc2 (*.c)"}.
PIXORAN_DIALOGS_EXPORT QStringList QtNameFilters(const std::string& filter);

// What every library file dialog has.
class PIXORAN_DIALOGS_EXPORT TPXCommonDialog : public TComponent {
 public:
  explicit TPXCommonDialog(TComponent* owner = nullptr) : TComponent(owner) {}
  bool Ctl3D = true;
  int32_t HelpContext = 0;
  std::function<void(TObject*)> OnClose;
  std::function<void(TObject*)> OnShow;
  TMsgLanguage MsgLanguage = msSystem;
  bool ShowPlacesBar = true;
  bool ExtendedDialog = true;
  virtual bool Execute() = 0;
};

// Whether the preview may read the file: a regular file with bytes, within
// the codec memory budget, on a real file system. Files of the kernel's
// pseudo file systems (/proc, /sys) look regular but may block a read for
// good (/proc/kmsg) or change as they are read; devices and pipes are not
// regular. Decided from the file's status alone, without opening it.
PIXORAN_DIALOGS_EXPORT bool PreviewableFile(const std::string& fileName);

class PIXORAN_DIALOGS_EXPORT TOpenPixoranDialog : public TPXCommonDialog {
 public:
  explicit TOpenPixoranDialog(TComponent* owner = nullptr);
  ~TOpenPixoranDialog() override;

  bool Execute() override;
  // Execute in two halves, for callers that show the dialog themselves:
  // Prepare configures it, Finish takes the answer (true when accepted).
  virtual bool Prepare();
  virtual bool Finish(bool accepted);

  // While the dialog is open: what it shows now.
  std::string FileName() const;
  void SetFileName(const std::string& name) { fileName_ = name; }
  const std::vector<std::string>& Files() const { return files_; }
  const std::string& Filter() const { return filter_; }
  void SetFilter(const std::string& filter) { filter_ = filter; }
  // 1-based; 0: taken from the file name's extension when shown.
  int32_t FilterIndex() const;
  void SetFilterIndex(int32_t index);
  const std::string& InitialDir() const { return initialDir_; }
  // Drops one trailing path delimiter unless it follows a drive colon or is
  // the whole path.
  void SetInitialDir(const std::string& dir);
  TOpenOptions Options = ofHideReadOnly;
  std::string DefaultExt;
  std::string Title;
  bool AutoSetFilter = true;
  bool ShowAllFrames = false;
  bool AlwaysAnimate() const { return alwaysAnimate_; }
  void SetAlwaysAnimate(bool value);
  uint8_t PreviewBorderStyle = 0;  // 0 default, 1 cropped, 2 cropped with shadow
  TResampleFilter ZoomFilter() const;
  void SetZoomFilter(TResampleFilter filter);
  bool AutoAdjustDPI = false;
  bool FilteredAdjustDPI = false;
  // Further "description|patterns" entries from the caller.
  std::string ExtraFilter;
  // (Sender, var CanClose).
  std::function<void(TObject*, bool&)> OnCanClose;
  std::function<void(TObject*)> OnFolderChange;
  std::function<void(TObject*)> OnTypeChange;

  // The frame or page chosen among the thumbnails (0 without them).
  int32_t SelectedFrame() const;
  int32_t FrameCount() const { return frames_; }

  // The filter the dialog builds from the format registry.
  std::string BuildFilter() const;

  // ------------------------------------------------------------ the panel
  QFileDialog* Dialog() const;
  TPixoranView* PixoranView() const { return view_.get(); }
  TPixoranMView* PixoranMView() const { return mview_.get(); }
  QWidget* InfoPanel = nullptr;
  QLabel* InfoLabel1 = nullptr;
  QLabel* InfoLabel2 = nullptr;
  QPushButton* AdvancedButton = nullptr;
  QCheckBox* PreviewCheck = nullptr;
  QWidget* PicturePanel = nullptr;
  QLabel* PicLabel1 = nullptr;
  QLabel* PicLabel2 = nullptr;
  QLabel* PicLabel3 = nullptr;
  QComboBox* ZoomCombo = nullptr;
  QToolButton* PreviewButton = nullptr;
  QToolButton* PlayButton = nullptr;
  QProgressBar* ProgressBar = nullptr;

  // The selection-change preview; only of a PreviewableFile.
  void ShowPreview(const std::string& fileName);
  // The file the preview last showed or tried.
  const std::string& PreviewFileName() const { return previewName_; }
  void ApplyZoom();
  // The large preview window (modal).
  void ShowLargePreview();

 protected:
  virtual bool IsSave() const { return false; }
  virtual void TypeChanged() {}
  void ClearPreview();
  void SetLabels(const TIOParamsVals& params, int32_t frames, int64_t fileSize);
  // The extension (without the dot) of the current filter's first pattern.
  std::string FilterExtension() const;
  // The file name typed in the dialog's edit box.
  QString TypedName() const;
  void SetTypedName(const QString& name);

  class TFileDialog;
  std::unique_ptr<TFileDialog> dialog_;
  std::unique_ptr<TPixoranView> view_;
  std::unique_ptr<TPixoranMView> mview_;
  std::unique_ptr<TPixoranIO> io_;
  std::unique_ptr<TPixoranMIO> mio_;
  QStringList qtFilters_;
  std::vector<std::string> firstExt_;  // per filter entry

 private:
  void Closed();
  void Play(bool on);
  std::string fileName_;
  std::vector<std::string> files_;
  std::string filter_;
  int32_t filterIndex_ = 1;
  std::string initialDir_;
  bool alwaysAnimate_ = false;
  bool busy_ = false;
  int32_t frames_ = 0;
  bool thumbs_ = false;
  std::string previewName_;
};

using TSaveDialogOptions = uint8_t;
constexpr TSaveDialogOptions sdShowPreview = 1, sdShowAdvanced = 2;

class PIXORAN_DIALOGS_EXPORT TSavePixoranDialog : public TOpenPixoranDialog {
 public:
  explicit TSavePixoranDialog(TComponent* owner = nullptr);
  ~TSavePixoranDialog() override;

  bool Prepare() override;
  bool Finish(bool accepted) override;
  TSaveDialogOptions ExOptions = sdShowPreview | sdShowAdvanced;
  // An I/O component, multi-image component, thumbnail view or viewer;
  // anything else (nullptr too) is ignored.
  void SetAttachedPixoranIO(TComponent* component);
  TComponent* AttachedPixoranIO() const { return attached_; }
  // The fixed filter used when AutoSetFilter is off.
  static std::string DefaultFilter();
  void AdvancedClick();
  // Writes the chosen format's type into the attached record and enables
  // "Advanced" for formats with a page.
  void UpdateFileType();

 protected:
  bool IsSave() const override { return true; }
  void TypeChanged() override;
  void ComponentRemoved(TComponent* component) override;

 private:
  // The attached component's record (frame 0's for the multi-image ones).
  TIOParamsVals* AttachedParams() const;
  TComponent* attached_ = nullptr;
  TIOParamsVals saved_;
};

}  // namespace pixoran
