#pragma once
// What the effect and edit dialogs share: the preview viewer (a library
// viewer embedded in the form) with its processing component, the track
// bars and edits built with explicit ranges, the buttons, the copies of the
// main picture a preview starts from, and the guard that turns an
// operation's exception into the program's message.
#include <functional>
#include <memory>
#include <stdexcept>

#include <QDialog>
#include <QString>

#include "platform/graphics.h"

class QBoxLayout;
class QLabel;
class QLineEdit;
class QPushButton;
class QSlider;
class QVBoxLayout;

namespace pixoran {
class TPixoranView;
class TPixoranProc;
}  // namespace pixoran

namespace tolvaren {

using pixoran::TPixoranProc;
using pixoran::TPixoranView;

// Modal results of the dialogs' buttons.
constexpr int mrOk = 1;
constexpr int mrCancel = 2;

// The framework's conversion error of a non-numeric entry.
class EConvertError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};
// The integer an edit holds (blanks around it allowed); EConvertError otherwise.
int StrToInt(const QString& text);

// Shows the program's message (titled "提示"). Tests replace the hook to
// read the messages instead of showing a modal box.
using TMessageHook = std::function<void(QWidget* parent, const QString& text)>;
TMessageHook& MessageHook();
void ShowMessage(QWidget* parent, const QString& text);
// The application's title, which the framework's plain message dialog shows.
inline constexpr const char* kApplicationTitle = "Tolvaren";
// The framework's plain message dialog: titled with the application's
// title, no icon, an OK button. Goes through the same hook as ShowMessage.
void ShowPlainMessage(QWidget* parent, const QString& text);
// Runs an operation from a Qt slot: an exception never leaves it, it is
// shown as the program's message instead. False when one was raised.
bool RunGuarded(QWidget* parent, const std::function<void()>& operation);

// Where the dialogs' preview operations report their progress (the main
// window's status bar); empty when nothing listens. The preview viewer does
// not read its bitmap while the listener runs events.
using TPreviewProgressHook = std::function<void(int percent)>;
TPreviewProgressHook& PreviewProgressHook();

// The picture of a viewer as a 24-bit platform bitmap, and back.
void CopyPictureTo24(TPixoranView& view, pixoran::TBitmap& out);
void ShowBitmapIn(TPixoranView& view, const pixoran::TBitmap& bitmap);

// Preview viewer settings of the parameter dialogs.
enum TPreviewSetting : unsigned {
  psGray = 1,
  psLinearZoom = 2,  // zoom filter rfLinear
  psSelect = 4,      // mouse interaction [miSelect]
  psAlpha = 8,       // alpha channel enabled
  psAutoShrink = 16,
};

class TEffectForm : public QDialog {
  Q_OBJECT
 public:
  // mainView is the main window's viewer whose picture the previews copy;
  // previewSettings 0 makes a form without preview viewer.
  TEffectForm(TPixoranView* mainView, const QString& caption, int clientWidth, int clientHeight, bool sizeable,
              unsigned previewSettings, QWidget* parent);
  ~TEffectForm() override;

  TPixoranView* MainView() const { return mainView_; }
  // The preview viewer (nullptr in forms without one) and its processing
  // component, which keeps no undo entries.
  TPixoranView* PixoranView1() const { return preview_.get(); }
  TPixoranProc& PreviewProc() { return *proc_; }
  // The preview shows a fresh copy of the main picture (after filling it
  // with its background first when asked), so previews never accumulate.
  void CopyPicture(bool fillBackgroundFirst = false);

  QPushButton* OkButton() const { return ok_; }
  QPushButton* CancelButton() const { return cancel_; }
  QPushButton* PreviewButton() const { return previewButton_; }

 protected:
  // Controls go into this layout, between the viewer and the buttons.
  QVBoxLayout* ControlsLayout() const { return controls_; }
  QSlider* AddTrackBar(const QString& label, int minimum, int maximum, int position, QLabel** valueLabel = nullptr);
  QLineEdit* AddEdit(const QString& label, const QString& text = QString());
  QLabel* AddLabel(const QString& text);
  // The buttons row: "确定", optionally "预览", then "取消".
  void AddButtons(bool withPreview);
  // Subclasses connect the preview button to their preview handler.
  virtual void RunPreview() {}

 private:
  TPixoranView* mainView_;
  std::unique_ptr<TPixoranView> preview_;
  std::unique_ptr<TPixoranProc> proc_;
  QVBoxLayout* controls_ = nullptr;
  QPushButton* ok_ = nullptr;
  QPushButton* cancel_ = nullptr;
  QPushButton* previewButton_ = nullptr;
};

}  // namespace tolvaren
