#include "io/pxsavepages.h"

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>

#include "io/pxformats.h"

using namespace pixoran;

TEST(SavePages, EveryFileTypeFindsItsPage) {
  const std::map<int32_t, uint16_t> pages = {{ioTIFF, ppTIFF}, {ioGIF, ppGIF},   {ioJPEG, ppJPEG},
                                             {ioPCX, ppPCX},   {ioBMP, ppBMP},   {ioPNG, ppPNG},
                                             {ioTGA, ppTGA},   {ioJP2, ppJ2000}, {ioJ2K, ppJ2000}};
  for (int32_t type = -1; type <= ioDCX + 1; ++type) {
    const auto it = pages.find(type);
    EXPECT_EQ(SavePageFlagOfFileType(type), it == pages.end() ? 0 : it->second) << type;
  }
  // What OK stores is a type the page itself serves, and a record of that
  // type is edited on a page that writes the type back.
  for (const TSavePageInfo& p : SavePages()) {
    SCOPED_TRACE(p.Name);
    EXPECT_TRUE(SavePageServes(p, p.FileType));
    EXPECT_EQ(SavePageFlagOfFileType(p.FileType), p.Flag);
    std::set<std::string> names;
    for (const TSaveField& f : p.Fields) EXPECT_TRUE(names.insert(f.Name).second) << f.Name;
  }
}

TEST(SavePages, ColourListShowsTheRecordDepth) {
  const TSaveDepth pairs[] = {{"B/W", 1, 1}, {"16", 4, 1}, {"65536", 5, 3}, {"16M", 8, 3}, {"16M (32bit)", 8, 3}};
  const TSaveDepth bitsOnly[] = {{"B/W", 1, 0}, {"4", 2, 0}, {"8", 3, 0}, {"256", 8, 0}};
  struct Case {
    bool pairList;
    int32_t bits, samples, index;
  };
  const Case cases[] = {
      {true, 1, 1, 0},   {true, 5, 3, 2},  {true, 8, 3, 3},  // the first of two equal entries
      {true, 4, 3, 0},   {true, 0, 0, 0},  {false, 1, 3, 0},
      {false, 3, 1, 2},  {false, 7, 1, 2},  // deepest entry not above the bits
      {false, 16, 1, 3}, {false, 0, 1, 0}, {false, -5, 1, 0},
  };
  for (const Case& c : cases) {
    const std::span<const TSaveDepth> list = c.pairList ? std::span<const TSaveDepth>(pairs) : bitsOnly;
    EXPECT_EQ(SaveDepthIndex(list, c.bits, c.samples), c.index) << c.pairList << " " << c.bits << "x" << c.samples;
  }
}

TEST(SavePages, WritingCopiesTheListedFieldsAndTheFileType) {
  TIOParamsVals from, to;
  from.JPEGQuality = 11;
  from.TIFFDocumentName = "doc";
  from.J2000Rate = 0.25;
  from.GIFTranspColor = TBGR{1, 2, 3};
  from.TIFFCompression = 4;
  from.FileType = ioPXM;
  WriteSaveFields(SavePage(ppgTIFF2), from, to);
  EXPECT_EQ(to.TIFFCompression, 4);
  EXPECT_EQ(to.TIFFDocumentName, "");  // only the full page writes the texts
  EXPECT_EQ(to.FileType, ioTIFF);
  WriteSaveFields(SavePage(ppgTIFF1), from, to);
  EXPECT_EQ(to.TIFFDocumentName, "doc");
  WriteSaveFields(SavePage(ppgJ20001), from, to);
  EXPECT_DOUBLE_EQ(to.J2000Rate, 0.25);
  EXPECT_EQ(to.FileType, ioJ2K);
  EXPECT_NE(to.JPEGQuality, 11);
  WriteSaveFields(SavePage(ppgGIF1), from, to);
  EXPECT_EQ(to.GIFTranspColor, (TBGR{1, 2, 3}));
  WriteSaveFields(SavePage(ppgJPEG2), from, to);
  EXPECT_EQ(to.JPEGQuality, 11);
}
