#pragma once
// The program on a folder of its own, for tests that drive its commands:
// file dialogs answer nextOpen_ (nextSave_ when saving), messages are
// collected, and every hook is cleared when the test ends.
#include <QDir>
#include <QString>
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "app/UEffectForm.h"
#include "app/UMain.h"
#include "app_pictures.h"
#include "io/pxprint.h"
#include "testsupport.h"

namespace tolvaren::testing {

template <class Form>
class ProgramTest : public ::testing::Test {
 protected:
  void MakeFolder(const char* tag) {
    dir_ = pixoran::testing::MakeTempDir(tag) + "/";
    MessageHook() = [this](QWidget*, const QString& t) { messages_.push_back(t); };
    pixoran::PXDialogHooks().FileDialog = [this](pixoran::TPixoranIO&, const std::string&, const std::string&,
                                                 const std::string&, std::string& name, int32_t filterIndex, bool,
                                                 bool save) {
      name = save ? nextSave_ : nextOpen_;
      lastFilter_ = filterIndex;
    };
    QDir().mkpath(QString::fromStdString(dir_ + "frames/0"));
  }
  // The catalogue's sample, a w x h picture, and the program with it open.
  void OpenPicture(int w, int h, int formWidth = 0, int formHeight = 0) {
    WriteImage(dir_ + "frames/sample.jpg", 40, 30, Picture);
    WriteImage(dir_ + "picture.png", w, h, Picture);
    form_ = std::make_unique<Form>(dir_);
    if (formWidth > 0) form_->resize(formWidth, formHeight);
    nextOpen_ = dir_ + "picture.png";
    form_->acOpenFileExecute();
  }
  void TearDown() override {
    form_.reset();
    MessageHook() = nullptr;
    ModalHook() = nullptr;
    pixoran::PXDialogHooks().FileDialog = nullptr;
  }
  pixoran::TPixoranView& View() { return *form_->PixoranView_Main; }

  std::string dir_, nextOpen_, nextSave_;
  int lastFilter_ = -1;
  std::vector<QString> messages_;
  std::unique_ptr<Form> form_;
};

}  // namespace tolvaren::testing
