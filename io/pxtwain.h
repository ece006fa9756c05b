#pragma once
// The TWAIN link helpers: the link record, its teardown state machine and
// the optional log file. No TWAIN source manager exists on this platform,
// so nothing ever loads one; the teardown still runs for whatever a link
// record holds.
#include <cstdint>
#include <string>

namespace pixoran {

// The application's identity as the source manager is told it.
struct TPXTwainIdentity {
  uint16_t MajorNum = 1, MinorNum = 0;
  uint16_t Language = 13, Country = 1;
  std::string Info = " ", Manufacturer = " ", ProductFamily = " ", ProductName = " ";
  uint16_t ProtocolMajor = 1, ProtocolMinor = 9;
  uint32_t SupportedGroups = 3;  // control and image
};

using TPXTwainEntryPoint = void (*)();

struct TPXTwainLink {
  int32_t SourceManagerState = 1;  // 1 not loaded, 2 loaded and kept
  void* SourceManagerModule = nullptr;  // a dlopen handle
  TPXTwainEntryPoint EntryPoint = nullptr;
  TPXTwainIdentity AppId;
  uint64_t ParentWindow = 0;
  uint64_t ProxyWindow = 0;
};

// When not empty, TWAIN steps append their lines to this file.
extern std::string TWainLogFileName;

// Appends "date time : message" (date YYYY-MM-DD, time HH:MM:SS, local) to
// TWainLogFileName when it is set.
void TwainLog(const std::string& message);

// A fresh record: nothing loaded, no windows, the default identity.
void InitTwainLink(TPXTwainLink& link);

// Frees (force with an entry point) or forgets (state 2) the source
// manager; true when the state is 1 afterwards.
bool PXTW_UnloadSourceManager(TPXTwainLink& link, bool force);

// With force, destroys and clears the proxy window; without, keeps it.
void DestroyProxyWindow(TPXTwainLink& link, bool force);

// Tears the link down (proxy window and source manager, forced) and leaves
// the record fresh.
void CloseTwainLink(TPXTwainLink& link);

}  // namespace pixoran
