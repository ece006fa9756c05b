// The acquisition objects: creation and teardown with and without their
// owners in both orders, and the TWAIN link's teardown state machine with
// the lines it logs.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "io/pixoranio.h"
#include "io/pxmio.h"
#include "io/formats/pspdf/pspdffilt.h"
#include "io/pxds.h"
#include "io/pxtwain.h"
#include "io/pxwia.h"
#include "std_regex.h"
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
  EXPECT_EQ(log.Take(),
            (std::vector<std::string>{"DestroyProxyWindow", "  DestroyProxyWindow : not destroyed, for future uses"}));
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

// The component's acquisition hooks: an acquired bitmap lands in the working
// bitmap unless the event handles it; the objects are made once and wired.
TEST(Acquisition, ComponentHooks) {
  TPixoranIO io;
  TPXBitmap scanned;
  ASSERT_TRUE(scanned.Allocate(5, 3, pxBGR24));
  scanned.Fill(0x808080);
  bool handle = true;
  int events = 0;
  io.OnAcquireBitmap = [&](TPixoranIO* sender, TPXBitmap* b, bool& handled) {
    EXPECT_EQ(sender, &io);
    EXPECT_EQ(b, &scanned);
    ++events;
    handled = handle;
  };
  TIOParamsVals* params = nullptr;
  io.AcquireBitmap(&scanned, params);
  EXPECT_EQ(params, nullptr);
  EXPECT_EQ(io.PXBitmap()->Width(), 0);
  handle = false;
  io.AcquireBitmap(&scanned, params);
  EXPECT_EQ(events, 2);
  EXPECT_EQ(params, &io.Params());
  EXPECT_EQ(io.PXBitmap()->Width(), 5);
  EXPECT_EQ(io.PXBitmap()->Scanline(2)[4], 0x80);
  io.SetAcquireCount(3);
  io.ClearAcquireState();
  EXPECT_EQ(io.AcquireCount(), 0);

  TPXWia* wia = io.GetWIA();
  EXPECT_EQ(io.GetWIA(), wia);
  EXPECT_EQ(wia->Owner(), &io);
  std::vector<int> percents;
  io.OnProgress = [&](TObject*, int p) { percents.push_back(p); };
  EXPECT_TRUE(wia->OnProgress(40));
  io.SetAborting(true);
  EXPECT_FALSE(wia->OnProgress(60));
  EXPECT_EQ(percents, (std::vector<int>{40, 60}));
  TPXDirectShow* ds = io.GetDirectShow();
  EXPECT_EQ(io.GetDirectShow(), ds);
  EXPECT_FALSE(ds->Connected());
  EXPECT_EQ(ds->NotifyWindow(), 0u);  // no viewer attached

  TBitmap platform;
  platform.SetSize(3, 3);
  io.SetAttachedBitmap(&platform);
  EXPECT_EQ(io.GetTBitmap(), &platform);

  QWidget* seen = reinterpret_cast<QWidget*>(1);
  io.OnIOPreview = [&](TPixoranIO*, QWidget* form) { seen = form; };
  io.DoIOPreview(nullptr);
  EXPECT_EQ(seen, nullptr);
}

TEST(Acquisition, TwainParamsResetAndTeardown) {
  TPixoranIO io;
  TPXTWainParams& p = io.TWainParams();
  EXPECT_EQ(p.Owner(), &io);
  p.XResolutions = {100, 200};
  p.CapabilityIntegers = {1};
  p.HeapRecords.push_back(std::make_unique<std::vector<uint8_t>>(8));
  p.Gamma = 1, p.Threshold = 3, p.ImageCount = 9, p.SelectedSource = "x", p.AcquireFrame[3] = 7;
  p.Reset();
  EXPECT_TRUE(p.XResolutions.empty() && p.CapabilityIntegers.empty() && p.HeapRecords.empty());
  EXPECT_EQ(p.ImageCount, 1);
  EXPECT_DOUBLE_EQ(p.Gamma, 2.2);
  EXPECT_EQ(p.Threshold, 128);
  EXPECT_EQ(p.AcquireFrame[3], 0);
  EXPECT_TRUE(p.SelectedSource.empty());
  EXPECT_FALSE(p.FeederEnabled);
  TPXTWainParams many(&io, true);
  EXPECT_TRUE(many.FeederEnabled && many.AutoFeed && many.DuplexEnabled);
  many.Session.State = 4;
  many.CloseSession();
  EXPECT_EQ(many.Session.State, 0);
}

// The TWAIN settings' teardown closes their link: the proxy window goes and
// the source manager is let go, for the I/O component's settings and for
// the multi-image component's (whose feeder flags start on).
TEST(Acquisition, TwainParamsTeardownClosesTheLink) {
  LogFile log;
  auto links = [](TPXTWainParams& p) {
    p.Link.ProxyWindow = 7;
    p.Link.SourceManagerState = 2;
  };
  {
    TPixoranIO io;
    links(io.TWainParams());
  }
  const std::vector<std::string> expected = {"DestroyProxyWindow", "  DestroyProxyWindow : destroyed",
                                             "PXTW_UnloadSourceManager",
                                             "  PXTW_UnloadSourceManager not Unloaded, for future uses"};
  EXPECT_EQ(log.Take(), expected);
  {
    TPixoranMIO mio;
    EXPECT_TRUE(mio.TWainParams().FeederEnabled);
    links(mio.TWainParams());
  }
  EXPECT_EQ(log.Take(), expected);
}

// A multi-page document left open on the component is finished by its close.
TEST(Acquisition, ClosePSAndPDFFilesFinishTheDocuments) {
  const std::string dir = pixoran::testing::MakeTempDir("closeps");
  TPixoranIO io;
  TPXBitmap page;
  ASSERT_TRUE(page.Allocate(8, 8, pxBGR24));
  page.Fill(0x40);
  std::atomic<bool> aborting{false};
  TPXProgressRec progress;
  progress.Aborting = &aborting;
  {
    auto stream = std::make_unique<TFileStream>(dir + "/doc.ps", fmCreate);
    auto state = WritePSHeader(*stream, io.Params());
    WritePSPage(*state, *stream, page, progress, io.Params());
    io.AdoptPSFile(std::move(state), std::move(stream));
  }
  EXPECT_TRUE(io.PSFileOpen());
  io.ClosePSFile();
  EXPECT_FALSE(io.PSFileOpen());
  io.ClosePSFile();  // nothing open: nothing happens
  {
    auto stream = std::make_unique<TFileStream>(dir + "/doc.pdf", fmCreate);
    auto doc = CreatePDFDocument();
    AddPDFPage(*doc, page, io.Params(), progress);
    io.AdoptPDFFile(std::move(doc), std::move(stream));
  }
  io.ClosePDFFile();
  EXPECT_FALSE(io.PDFFileOpen());
  EXPECT_FALSE(io.Aborting());
  std::ifstream ps(dir + "/doc.ps"), pdf(dir + "/doc.pdf", std::ios::binary);
  const std::string psText((std::istreambuf_iterator<char>(ps)), std::istreambuf_iterator<char>());
  const std::string pdfText((std::istreambuf_iterator<char>(pdf)), std::istreambuf_iterator<char>());
  EXPECT_NE(psText.find("%%Pages: 1"), std::string::npos);
  EXPECT_NE(psText.find("%%EOF"), std::string::npos);
  EXPECT_EQ(pdfText.rfind("%PDF", 0), 0u);
  EXPECT_NE(pdfText.find("%%EOF"), std::string::npos);

  // Still open when the component goes: its destructor finishes both.
  {
    TPixoranIO owner;
    auto psStream = std::make_unique<TFileStream>(dir + "/left.ps", fmCreate);
    auto state = WritePSHeader(*psStream, owner.Params());
    WritePSPage(*state, *psStream, page, progress, owner.Params());
    owner.AdoptPSFile(std::move(state), std::move(psStream));
    auto pdfStream = std::make_unique<TFileStream>(dir + "/left.pdf", fmCreate);
    auto doc = CreatePDFDocument();
    AddPDFPage(*doc, page, owner.Params(), progress);
    owner.AdoptPDFFile(std::move(doc), std::move(pdfStream));
  }
  std::ifstream leftPs(dir + "/left.ps"), leftPdf(dir + "/left.pdf", std::ios::binary);
  const std::string leftPsText((std::istreambuf_iterator<char>(leftPs)), std::istreambuf_iterator<char>());
  const std::string leftPdfText((std::istreambuf_iterator<char>(leftPdf)), std::istreambuf_iterator<char>());
  EXPECT_NE(leftPsText.find("%%EOF"), std::string::npos);
  EXPECT_EQ(leftPdfText.rfind("%PDF", 0), 0u);
  EXPECT_NE(leftPdfText.find("%%EOF"), std::string::npos);
}
