#pragma once
// The start-up check the run script uses where there is no display: waits
// until the sample picture, the first category's thumbnails and the
// preview are in, paints the window and saves it, then applies the
// selected frame and saves the window again.
#include <cstdint>
#include <functional>
#include <string>

namespace tolvaren {

class TfrmMain;

struct TStartupShot {
  bool Ready = false;        // everything loaded before the time limit
  int64_t FirstFrameMs = 0;  // program start to the first painted frame with everything loaded
  std::string Shot;          // the start-up screenshot
  std::string AppliedShot;   // the window after applying the selected frame
};

// True once the picture, every thumbnail on view and the preview are loaded.
bool StartupLoaded(TfrmMain& form);

// Polls form until StartupLoaded (or limitMs after the call), then saves
// shotPath and its "-applied" sibling and calls done. elapsedMs tells the
// milliseconds since the program started.
void RunStartupShot(TfrmMain& form, const std::string& shotPath, std::function<int64_t()> elapsedMs,
                    std::function<void(const TStartupShot&)> done, int limitMs = 20000);

}  // namespace tolvaren
