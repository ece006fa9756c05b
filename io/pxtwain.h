#pragma once
// The TWAIN link helpers: the link record, its teardown state machine and
// the optional log file. No TWAIN source manager exists on this platform,
// so nothing ever loads one; the teardown still runs for whatever a link
// record holds.
#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/pxexport.h"
#include "platform/classes.h"

namespace pixoran {

// The application's identity as the source manager is told it.
struct PIXORAN_IO_EXPORT TPXTwainIdentity {
  uint16_t MajorNum = 1, MinorNum = 0;
  uint16_t Language = 13, Country = 1;
  std::string Info = " ", Manufacturer = " ", ProductFamily = " ", ProductName = " ";
  uint16_t ProtocolMajor = 1, ProtocolMinor = 9;
  uint32_t SupportedGroups = 3;  // control and image
};

using TPXTwainEntryPoint = void (*)();

struct PIXORAN_IO_EXPORT TPXTwainLink {
  int32_t SourceManagerState = 1;       // 1 not loaded, 2 loaded and kept
  void* SourceManagerModule = nullptr;  // a dlopen handle
  TPXTwainEntryPoint EntryPoint = nullptr;
  TPXTwainIdentity AppId;
  uint64_t ParentWindow = 0;
  uint64_t ProxyWindow = 0;
};

// When not empty, TWAIN steps append their lines to this file.
extern PIXORAN_IO_EXPORT std::string TWainLogFileName;

// Appends "date time : message" (date YYYY-MM-DD, time HH:MM:SS, local) to
// TWainLogFileName when it is set.
PIXORAN_IO_EXPORT void TwainLog(const std::string& message);

// A fresh record: nothing loaded, no windows, the default identity.
PIXORAN_IO_EXPORT void InitTwainLink(TPXTwainLink& link);

// Frees (force with an entry point) or forgets (state 2) the source
// manager; true when the state is 1 afterwards.
PIXORAN_IO_EXPORT bool PXTW_UnloadSourceManager(TPXTwainLink& link, bool force);

// With force, destroys and clears the proxy window; without, keeps it.
PIXORAN_IO_EXPORT void DestroyProxyWindow(TPXTwainLink& link, bool force);

// Tears the link down (proxy window and source manager, forced) and leaves
// the record fresh.
PIXORAN_IO_EXPORT void CloseTwainLink(TPXTwainLink& link);

// The scan settings an acquiring component keeps for the TWAIN layer. Only
// the session record is read here (by the teardown); the rest is what a
// source would be asked for.
class PIXORAN_IO_EXPORT TPXTWainParams {
 public:
  // The three feeder flags start true for a multi-image owner, which can
  // take a stack of pages.
  TPXTWainParams(TComponent* owner, bool ownerTakesManyImages);
  // Closes the session, then resets and frees the lists.
  ~TPXTWainParams();
  TPXTWainParams(const TPXTWainParams&) = delete;
  TPXTWainParams& operator=(const TPXTWainParams&) = delete;

  // Back to the defaults; frees the heap records and clears every list.
  void Reset();
  // Ends an open session with the owner's parent window and tears its link
  // down (CloseTwainLink). No source manager exists here, so there is never
  // one to tell: the session record is cleared.
  void CloseSession();

  struct TSession {
    int32_t State = 0, SourceId = 0, ParentWindow = 0;
  };

  TComponent* Owner() const { return owner_; }
  std::vector<std::unique_ptr<std::vector<uint8_t>>> HeapRecords;  // capability containers
  std::vector<double> XResolutions, YResolutions, XScalings, YScalings;
  std::vector<int32_t> CapabilityIntegers;
  std::vector<double> CapabilityDoubles;
  TSession Session;
  // The session's link to the source manager.
  TPXTwainLink Link;
  int32_t ImageCount = 1;
  bool ShowSettingsOnly = false, VisibleDialog = false;
  double Gamma = 2.2;
  std::array<uint8_t, 16> AcquireFrame{};  // left, top, right, bottom as four floats
  int32_t Threshold = 128;
  bool FeederEnabled = false, AutoFeed = false, DuplexEnabled = false;
  bool AutoBrightness = false;
  uint8_t PixelTypeMask = 1;
  std::array<uint8_t, 16> BitDepths{};
  uint8_t TransferMode = 1;
  uint8_t Orientation = 0;
  int32_t Rotation = 0;
  std::string SelectedSource, Manufacturer, ProductFamily, ProductName;
  int32_t LastConditionCode = 0;
  std::string LastError;

 private:
  TComponent* owner_;
  bool manyImages_;
};

}  // namespace pixoran
