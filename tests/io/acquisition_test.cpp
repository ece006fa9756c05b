// The acquisition objects: creation and teardown with and without their
// owners in both orders, and the TWAIN link's teardown state machine with
// the lines it logs.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "io/pixoranio.h"
#include "io/pxds.h"
#include "io/pxtwain.h"
#include "io/pxwia.h"
#include "testsupport.h"

using namespace pixoran;

namespace {

void DummyEntry() {}

// The log lines without their date and time, after checking their shape.
std::vector<std::string> LogLines(const std::string& path) {
  static const std::regex shape(R"(^\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2} : (.*)$)");
  std::vector<std::string> lines;
  std::ifstream f(path);
  for (std::string line; std::getline(f, line);) {
    std::smatch m;
    EXPECT_TRUE(std::regex_match(line, m, shape)) << line;
    lines.push_back(m.size() > 1 ? m[1].str() : line);
  }
  return lines;
}

struct LogFile {
  std::string path;
  LogFile() : path(pixoran::testing::MakeTempDir("twainlog") + "/twain.log") { TWainLogFileName = path; }
  ~LogFile() { TWainLogFileName.clear(); }
  std::vector<std::string> Take() {
    auto lines = LogLines(path);
    std::remove(path.c_str());
    return lines;
  }
};

}  // namespace

TEST(TwainLink, UnloadSourceManagerStates) {
  const std::string head = "PXTW_UnloadSourceManager";
  const std::string ok = "  PXTW_UnloadSourceManager : Unload OK";
  const std::string kept = "  PXTW_UnloadSourceManager not Unloaded, for future uses";
  struct Case {
    int32_t state;
    bool entry, force;
    bool result;
    std::vector<std::string> lines;
    int32_t stateAfter;
    bool entryAfter;
  } cases[] = {
      {2, true, true, true, {head, ok}, 1, false},
      {1, true, true, true, {head, ok}, 1, false},
      {2, true, false, true, {head, kept}, 1, false},
      {2, false, true, true, {head, kept}, 1, false},
      {1, false, true, true, {head}, 1, false},
      {1, true, false, true, {head}, 1, true},
      // A record in no known state is left alone and reported.
      {0, false, false, false, {head}, 0, false},
  };
  LogFile log;
  for (const Case& c : cases) {
    TPXTwainLink link;
    InitTwainLink(link);
    link.SourceManagerState = c.state;
    if (c.entry) link.EntryPoint = DummyEntry;
    EXPECT_EQ(PXTW_UnloadSourceManager(link, c.force), c.result) << c.state << c.entry << c.force;
    EXPECT_EQ(log.Take(), c.lines) << c.state << c.entry << c.force;
    EXPECT_EQ(link.SourceManagerState, c.stateAfter);
    EXPECT_EQ(link.EntryPoint != nullptr, c.entryAfter);
  }
}

TEST(TwainLink, ForcedUnloadFreesTheModule) {
  TPXTwainLink link;
  InitTwainLink(link);
  link.SourceManagerModule = dlopen("libz.so.1", RTLD_NOW);
  ASSERT_NE(link.SourceManagerModule, nullptr);
  link.EntryPoint = DummyEntry;
  link.SourceManagerState = 2;
  EXPECT_TRUE(PXTW_UnloadSourceManager(link, true));
  EXPECT_EQ(link.SourceManagerModule, nullptr);
}

TEST(TwainLink, ProxyWindowAndClose) {
  LogFile log;
  TPXTwainLink link;
  InitTwainLink(link);
  EXPECT_EQ(link.AppId.Language, 13);
  EXPECT_EQ(link.AppId.ProtocolMinor, 9);
  EXPECT_EQ(link.AppId.SupportedGroups, 3u);
  link.ProxyWindow = 42;
  DestroyProxyWindow(link, false);
  EXPECT_EQ(link.ProxyWindow, 42u);
  EXPECT_EQ(log.Take(), (std::vector<std::string>{"DestroyProxyWindow",
                                                   "  DestroyProxyWindow : not destroyed, for future uses"}));
  DestroyProxyWindow(link, true);
  EXPECT_EQ(link.ProxyWindow, 0u);
  EXPECT_EQ(log.Take(), (std::vector<std::string>{"DestroyProxyWindow", "  DestroyProxyWindow : destroyed"}));

  // Closing tears down what the record holds, in this order, and leaves
  // it fresh; a fresh record closes without a line.
  link.ProxyWindow = 7;
  link.SourceManagerState = 2;
  link.EntryPoint = DummyEntry;
  CloseTwainLink(link);
  EXPECT_EQ(log.Take(),
            (std::vector<std::string>{"DestroyProxyWindow", "  DestroyProxyWindow : destroyed",
                                      "PXTW_UnloadSourceManager", "  PXTW_UnloadSourceManager : Unload OK"}));
  EXPECT_EQ(link.SourceManagerState, 1);
  EXPECT_EQ(link.ProxyWindow, 0u);
  CloseTwainLink(link);
  EXPECT_TRUE(log.Take().empty());
}

TEST(TwainLink, LogOnlyWhenNamedAndWritable) {
  TWainLogFileName.clear();
  TwainLog("nowhere");  // no file, no failure
  TWainLogFileName = "/nonexistent-dir/twain.log";
  TwainLog("cannot open");  // unwritable: nothing, no failure
  LogFile log;
  TwainLog("one");
  TwainLog("two");
  EXPECT_EQ(log.Take(), (std::vector<std::string>{"one", "two"}));
}

TEST(Acquisition, ObjectsReportNoDeviceAndGoInEitherOrder) {
  for (bool ownerFirst : {false, true}) {
    auto io = std::make_unique<TPixoranIO>();
    auto wia = std::make_unique<TPXWia>(io.get());
    auto ds = std::make_unique<TPXDirectShow>();
    EXPECT_EQ(wia->DeviceManager(), nullptr);
    EXPECT_EQ(wia->DeviceCount(), 0);
    EXPECT_EQ(wia->Owner(), io.get());
    EXPECT_FALSE(ds->Connected());
    EXPECT_FALSE(ds->IsRunning());
    EXPECT_TRUE(ds->VideoInputs().empty());
    ds->SetNotify(99, 0x1F59, 0x1F5A);
    EXPECT_EQ(ds->NewFrameMessage(), 0x1F59u);
    ds->Disconnect();
    ds->Disconnect();
    EXPECT_FALSE(ds->Connected());
    wia->ClearDevices();
    if (ownerFirst) {
      io.reset();
      wia.reset();
      ds.reset();
    } else {
      ds.reset();
      wia.reset();
      io.reset();
    }
  }
}
