#pragma once
// The framework's single-line edit control: a windowed control holding a
// platform line edit, with the usual text, font, colour, border, undo, a
// change event and key events that run before the edit's own handling.
#include <cstdint>
#include <functional>
#include <string>

#include "platform/pxexport.h"
#include "platform/controls.h"

class QLineEdit;

namespace pixoran {

class PIXORAN_PLATFORM_WIDGETS_EXPORT TEdit : public TWinControl {
 public:
  explicit TEdit(TComponent* owner = nullptr, TWinControl* parent = nullptr);
  ~TEdit() override;

  std::string Text() const;  // UTF-8
  void SetText(const std::string& utf8);
  const TFont& Font() const { return font_; }
  void SetFont(const TFont& font);
  // The fill behind the text.
  void SetEditColor(TColor color);
  void SetBorderStyle(TBorderStyle style);
  // Undoes the last change of the text.
  void Undo();
  // Width in pixels of utf8 in the edit's font.
  int TextWidth(const std::string& utf8) const;

  TNotifyEvent OnChange;
  // Every key first; setting key to 0 keeps it from the edit.
  std::function<void(TObject* sender, int& key, TShiftState shift)> OnKeyDown;

  // For Qt-facing code and tests.
  QLineEdit* LineEdit() const { return edit_; }

 protected:
  // Keys the edit keeps for itself instead of leaving them to focus
  // navigation and shortcuts (Tab, the arrows).
  virtual bool WantsKey(int key) { return false; }
  // Fires OnKeyDown.
  void KeyDown(int& key, TShiftState shift) override;
  // A typed character; setting it to 0 drops it.
  void KeyPress(char32_t& key) override {}
  void Resize() override;

 private:
  class TFilter;
  friend class TFilter;
  QLineEdit* edit_ = nullptr;  // child of the control's widget
  TFilter* filter_ = nullptr;
  TFont font_;
  TColor editColor_ = clWindow;
};

}  // namespace pixoran
