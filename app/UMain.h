#pragma once
// The program's main window: the picture viewer, the frame catalogue's
// category box, thumbnail strip and preview, opening a picture into the
// working file, the one-step undo snapshot, and applying a frame as layers
// over the picture.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include <QMainWindow>
#include <QRect>
#include <QSize>

#include "core/pxprogress.h"
#include "platform/controls.h"
#include "view/pxvect.h"

class QAction;
class QComboBox;
class QDialog;
class QIcon;
class QUrl;
class QFrame;
class QLabel;
class QStatusBar;
class QToolBar;
class QToolButton;
class QTranslator;

namespace pixoran {
class TObject;
class TPixoranIO;
class TPixoranMView;
class TPixoranView;
}  // namespace pixoran

namespace tolvaren {

using pixoran::TPixoranMView;
using pixoran::TPixoranView;

// The hourglass over every window while a step runs.
struct TBusyCursor {
  TBusyCursor() { pixoran::SetOverrideCursor(pixoran::crHourGlass); }
  ~TBusyCursor() { pixoran::RestoreOverrideCursor(); }
  TBusyCursor(const TBusyCursor&) = delete;
  TBusyCursor& operator=(const TBusyCursor&) = delete;
};

// The window's caption: the product name followed by the version.
inline constexpr const char* kMainCaption = "Tolvaren4.60";

// The folder of the running program, with a trailing "/".
std::string ProgramDirectory();
// Where the working and snapshot files go: the program's folder when files
// can be made there, else the user's data folder for the program (an
// installed copy). Always with a trailing "/".
std::string WorkingFolderFor(const std::string& programDir);

// A load or save through an I/O component that reports any failure (a file
// that cannot be opened raises) as false, without a message.
bool LoadThrough(pixoran::TPixoranIO& io, const std::string& fileName);
bool SaveThrough(pixoran::TPixoranIO& io, const std::string& fileName);
// The cause of a failed load or save as the program tells it, one text per
// result kind of the I/O component.
QString ResultCauseText(pixoran::TPXIOResult kind);
// The message of a save that failed (a full disk, a folder without write
// access): the file it could not write, then why.
std::string SaveFailedMessage(const std::string& fileName, pixoran::TPXIOResult kind);
// SaveThrough with that message raised on failure, for the commands, whose
// guard shows it.
void SaveOrRaise(pixoran::TPixoranIO& io, const std::string& fileName);

// The program's message (titled "提示") about one file: what happened,
// then the file's full path on a line of its own, then the cause on its own
// line when one is given.
QString FileMessageText(const QString& what, const std::string& fileName, const QString& cause = QString());
void ShowFileMessage(QWidget* parent, const QString& what, const std::string& fileName,
                     const QString& cause = QString());

// Loads Qt's own Simplified Chinese texts (the file, colour and print
// dialogs, the standard buttons) from folder, whatever the locale: the
// program speaks Chinese. The translator belongs to the application
// (deleting it takes the texts back out); nullptr when the translation is
// not there, and the program goes on in Qt's English.
QTranslator* InstallQtTranslation(const QString& folder);

// The maker's web page the web-site command opens.
inline constexpr const char* kWebSiteAddress = "https://tolvaren.example.org/";
// Opens a web page in the desktop's browser; tests replace it so that no
// browser starts. False when nothing could open it.
using TOpenWebPageHook = std::function<bool(const QUrl& url)>;
TOpenWebPageHook& OpenWebPageHook();
void OpenWebPage(const QString& address);

// Runs a modal command dialog and answers its modal result (1 for OK);
// tests replace it to set the dialog's controls and answer without a loop.
using TModalHook = std::function<int(QDialog& dialog)>;
TModalHook& ModalHook();
int ShowModal(QDialog& dialog);

// The tool-bar image of an action: the desktop icon theme's where it has
// one, else drawn here. Empty for a name it does not know.
QIcon ActionIcon(const QString& actionName);

class TfrmMain : public QMainWindow {
  Q_OBJECT
 public:
  // programDir holds "frames/" (with a trailing "/"; added when missing).
  // Runs the start-up (FormCreate) before returning.
  explicit TfrmMain(const std::string& programDir, QWidget* parent = nullptr);
  ~TfrmMain() override;

  // ---------------------------------------------------------------- components
  QToolBar* ToolBar_Main = nullptr;
  QFrame* Panel_Main = nullptr;
  std::unique_ptr<pixoran::TPixoranVect> PixoranView_Main;  // the picture and its added texts
  QWidget* Panel_Bottom = nullptr;
  QWidget* Panel_BottomTop = nullptr;
  QLabel* Label1 = nullptr;
  QToolButton* SpeedButton1 = nullptr;
  QToolButton* SpeedButton2 = nullptr;
  QLabel* Label2 = nullptr;
  QComboBox* ComboBox1 = nullptr;
  std::unique_ptr<TPixoranMView> PixoranMViewMain;
  std::unique_ptr<TPixoranView> PixoranViewPreView;
  QStatusBar* StatusBar_Main = nullptr;
  // The action list, in the order of the tool bar and menus.
  QAction* acOpenFile = nullptr;
  QAction* acSaveAs = nullptr;    // "保存": writes the file last loaded or saved
  QAction* acSaveFile = nullptr;  // "保存为...": asks for a name
  QAction* acPrint = nullptr;
  QAction* acPrintArea = nullptr;
  QAction* acExit = nullptr;
  QAction* acFullImage = nullptr;
  QAction* acFitImage = nullptr;
  QAction* acGoBack = nullptr;
  QAction* acCrop = nullptr;
  QAction* acResize = nullptr;
  QAction* acRemoveRedEye = nullptr;
  QAction* acLightDarkness = nullptr;
  QAction* acAddText = nullptr;
  QAction* acRotate = nullptr;
  QAction* acFlip = nullptr;
  QAction* acGray = nullptr;
  QAction* acWave = nullptr;
  QAction* acShadow = nullptr;
  QAction* acBlur = nullptr;
  QAction* acLens = nullptr;
  QAction* acRoundConer = nullptr;
  QAction* acTile = nullptr;
  QAction* acMosac = nullptr;
  QAction* acTwist = nullptr;
  QAction* acEdgeDelect = nullptr;
  QAction* acWebSite = nullptr;
  QAction* acApply = nullptr;

  // ---------------------------------------------------------------- handlers
  // Fills the thumbnail strip from one category folder, files sorted by
  // name. False when a newer scan (a category chosen meanwhile) took over.
  bool LoadFrameFolder(std::string folder);
  void ComboBox1Change();
  void PixoranMViewMainImageSelect(pixoran::TObject* sender, int32_t index);
  void acOpenFileExecute();
  void acApplyExecute();
  void acGoBackExecute();
  // The first step of every edit: flattens the composition and writes it
  // to the snapshot file that going back reads. The snapshot it replaces is
  // kept aside until the command ends: confirmed, it goes; cancelled, it
  // comes back, so a cancelled command does not use up the undo step.
  void SaveUndoSnapshot();
  void ConfirmSnapshot();
  void RestoreKeptSnapshot();
  // Shows a command's modal dialog: true for OK; otherwise the snapshot
  // this command replaced comes back.
  bool Confirmed(QDialog& dialog);
  // For a prompt that ends the command later: called with true when it was
  // confirmed, false when cancelled; a later command's snapshot wins.
  std::function<void(bool confirmed)> SnapshotEnder();
  // Every layer and the text objects drawn into one opaque picture, as the
  // snapshot, saving and printing need it: what they keep is what is shown.
  void FlattenComposition();
  // The same composition made in scratch from copies, the picture itself
  // unchanged: what printing a selected area prints from.
  void ComposeInto(pixoran::TPixoranVect& scratch);
  // The selected area of that composition (its bounding box, unselected
  // pixels in the background colour) as a 24-bit bitmap; false without a
  // selection.
  bool CopyComposedSelection(pixoran::TBitmap& area);

  // Saving, printing and the view (no snapshot).
  void acSaveAsExecute();
  void acSaveFileExecute();
  void acPrintExecute();
  void acPrintAreaExecute();
  // After a print preview closed with printed (1): where the pages went
  // when they went to a PDF file; with a failed print (-1), that it failed
  // and which file or printer could not be opened.
  void ReportPdfPrint(int32_t printed);
  void acExitExecute();
  void acFullImageExecute();
  void acFitImageExecute();
  // Edits and effects (each writes the snapshot first).
  void acCropExecute();
  void acResizeExecute();
  void acRemoveRedEyeExecute();
  void acLightDarknessExecute();
  void acAddTextExecute();
  void acRotateExecute();
  void acFlipExecute();
  void acGrayExecute();
  void acWaveExecute();
  void acShadowExecute();
  void acBlurExecute();
  void acLensExecute();
  void acRoundConerExecute();
  void acTileExecute();
  void acMosacExecute();
  void acTwistExecute();
  void acEdgeDelectExecute();
  void acWebSiteExecute();

  // ---------------------------------------------------------------- files
  const std::string& ProgramDir() const { return programDir_; }
  const std::string& WorkFolder() const { return workFolder_; }
  const std::string& CurrentPictureName() const { return currentPictureName_; }
  // "workfile" plus the extension of the current picture.
  std::string WorkingFileName() const;
  // Always PNG, whatever the picture's format: a lossy or paletted writer
  // (JPEG, GIF) would make going back return another picture than the one
  // before the edit, and a format that can only be read (metafiles, movies,
  // PDF) could not hold a snapshot, so no edit could run.
  std::string SnapshotFileName() const;
  // Where the snapshot a running command replaced waits until it ends.
  std::string KeptSnapshotFileName() const;
  // The file "保存" writes: the working file until "保存为..." saved
  // elsewhere (the I/O record names only the file last read).
  const std::string& SaveFileName() const { return saveName_; }
  // The file the preview shows; empty when it shows none.
  const std::string& PreviewFileName() const { return previewFile_; }

  // The status bar's progress line: a task shown (empty hides it), then its
  // percent from the components' progress events. While the line shows, the
  // window keeps painting (the picture from its last drawn state) between
  // progress steps of work on the UI thread.
  void ShowStatus(const QString& task);
  const QString& StatusTask() const { return task_; }
  void ReportProgress(int percent);
  QLabel* ProgressLabel() const { return progressLabel_; }

  // Milliseconds the last start-up took (FormCreate, without showing).
  int64_t FormCreateMs() const { return formCreateMs_; }

 protected:
  // FormResize: the window keeps the rectangle start-up gave it.
  void resizeEvent(QResizeEvent* event) override;
  // The vector layer's part of the snapshot: ends text editing, unselects
  // the text objects, draws them into the picture with antialiasing and
  // then removes them, so a later snapshot never draws them again.
  virtual void FlattenVectorObjects();
  // The add-text step after the snapshot: opens the add-text window and
  // switches the main viewer to inserting text objects.
  virtual void StartAddText();

 private:
  void BuildComponents();
  // The action list, the main menu and the tool bar.
  void BuildActions();
  // Runs a command from a Qt slot. An exception never leaves it: it is
  // shown as the program's message, and when the command had written its
  // snapshot the picture goes back to the snapshot's state.
  // The command's caption shows in the status bar while it runs. A
  // command that ends normally confirms its snapshot unless a prompt took
  // it over.
  void RunCommand(void (TfrmMain::*handler)(), const QString& caption);
  // The centred half-size preselection of cropping and printing an area.
  void PreselectCentre();
  // Places a non-modal prompt and shows it.
  void ShowPrompt(QDialog* prompt, int left, int top);
  void FormCreate();
  void FormResize();
  // Loads the working file into a fresh layer, leaving one layer.
  void LoadWorkingFile();
  // Leaves one layer, filled with the background and 1 x 1.
  void EmptyMainView();
  void LoadPreview(const std::string& fileName);
  bool AddAlphaFromRedLayer(const std::string& frame, bool inverted);
  bool AddKeyColourLayer(const std::string& frame);

  std::string programDir_;
  std::string workFolder_;
  std::string currentPictureName_;
  std::string previewFile_;
  uint64_t scanGeneration_ = 0;
  bool destroying_ = false;
  bool snapshotTaken_ = false;    // set by SaveUndoSnapshot, read by RunCommand
  bool snapshotPending_ = false;  // a command's snapshot not yet confirmed
  bool hadKeptSnapshot_ = false;  // an earlier snapshot waits to come back
  uint64_t snapshotId_ = 0;
  bool snapshotHandedOff_ = false;  // a prompt ends the running command
  std::string saveName_;
  QLabel* progressLabel_ = nullptr;
  QString task_;
  int lastPercent_ = -1;
  int64_t formCreateMs_ = 0;

  // FormResize's state: the rectangle to keep, a guard against re-entry and
  // the size last corrected away from (when the window manager answers our
  // correction with that same size again, it is kept, so no loop starts).
  QRect targetRect_;
  bool placed_ = false;
  bool inFormResize_ = false;
  QSize correctedFrom_;

  // Reads and writes the snapshot, so neither changes the file name the
  // main viewer's own component saves to. Goes before the viewer does.
  std::unique_ptr<pixoran::TPixoranIO> snapshotIO_;
};

// Shows a task in the status bar for one scope, then the one it covered.
class TStatusScope {
 public:
  TStatusScope(TfrmMain& form, const QString& task) : form_(form), outer_(form.StatusTask()) { form.ShowStatus(task); }
  ~TStatusScope() { form_.ShowStatus(outer_); }
  TStatusScope(const TStatusScope&) = delete;
  TStatusScope& operator=(const TStatusScope&) = delete;

 private:
  TfrmMain& form_;
  QString outer_;
};

}  // namespace tolvaren
