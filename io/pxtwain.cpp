#include "io/pxtwain.h"

#include <dlfcn.h>

#include <ctime>
#include <fstream>

namespace pixoran {

std::string TWainLogFileName;

void TwainLog(const std::string& message) {
  if (TWainLogFileName.empty()) return;
  std::ofstream f(TWainLogFileName, std::ios::app | std::ios::binary);
  if (!f) return;
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
  f << stamp << " : " << message << '\n';
  f.flush();
}

void InitTwainLink(TPXTwainLink& link) {
  // No active window is known to the I/O layer here; a parent is optional
  // for the source manager.
  link = TPXTwainLink{};
}

bool PXTW_UnloadSourceManager(TPXTwainLink& link, bool force) {
  TwainLog("PXTW_UnloadSourceManager");
  if (force && link.EntryPoint) {
    if (link.SourceManagerModule) dlclose(link.SourceManagerModule);
    // The handle goes with the module: keeping it would leave it dangling.
    link.SourceManagerModule = nullptr;
    link.EntryPoint = nullptr;
    link.SourceManagerState = 1;
    TwainLog("  PXTW_UnloadSourceManager : Unload OK");
  } else if (link.SourceManagerState == 2) {
    link.SourceManagerModule = nullptr;
    link.EntryPoint = nullptr;
    link.SourceManagerState = 1;
    TwainLog("  PXTW_UnloadSourceManager not Unloaded, for future uses");
  }
  return link.SourceManagerState == 1;
}

void DestroyProxyWindow(TPXTwainLink& link, bool force) {
  TwainLog("DestroyProxyWindow");
  if (!force) {
    TwainLog("  DestroyProxyWindow : not destroyed, for future uses");
    return;
  }
  // No native proxy window is ever made on this platform: destroying it is
  // forgetting it.
  link.ProxyWindow = 0;
  TwainLog("  DestroyProxyWindow : destroyed");
}

void CloseTwainLink(TPXTwainLink& link) {
  if (link.ProxyWindow != 0) DestroyProxyWindow(link, true);
  if (link.SourceManagerState == 2 || link.EntryPoint) PXTW_UnloadSourceManager(link, true);
  InitTwainLink(link);
}

TPXTWainParams::TPXTWainParams(TComponent* owner, bool ownerTakesManyImages)
    : owner_(owner), manyImages_(ownerTakesManyImages) {
  Reset();
}

TPXTWainParams::~TPXTWainParams() {
  CloseSession();
  Reset();
}

void TPXTWainParams::Reset() {
  ImageCount = 1;
  ShowSettingsOnly = VisibleDialog = false;
  HeapRecords.clear();
  for (auto* list : {&XResolutions, &YResolutions, &XScalings, &YScalings, &CapabilityDoubles}) list->clear();
  CapabilityIntegers.clear();
  Gamma = 2.2;
  AcquireFrame.fill(0);
  Threshold = 128;
  FeederEnabled = AutoFeed = DuplexEnabled = manyImages_;
  AutoBrightness = false;
  PixelTypeMask = 1;
  BitDepths.fill(0);
  TransferMode = 1;
  Orientation = 0;
  Rotation = 0;
  SelectedSource.clear(), Manufacturer.clear(), ProductFamily.clear(), ProductName.clear();
  LastConditionCode = 0;
  LastError.clear();
}

void TPXTWainParams::CloseSession() {
  if (Session.State != 0) TwainLog("CloseSession");
  CloseTwainLink(Link);
  Session = TSession{};
}

}  // namespace pixoran
