// The built-in formats in order: the registry's order of the records, the
// detection steps by rank and the save-dialog pages by page, all assembled
// from the format modules.
//
// Adding a format: make a folder io/formats/<format>/ with its filter files
// (a reader and a writer of the TPXCodecReader and TPXCodecWriter shapes,
// named <FORMAT>FormatRead and <FORMAT>FormatWrite, plus a probe and a counter
// when it has them) and one record unit, <format>_format.cpp, holding its
// TPXFormatCodec record(s) (Read, Write, WriterFormats: the pixel formats the
// writer takes, the save core giving it a pxBGR24 copy of any other; Probe,
// Count for multi-image files, AfterRead/BeforeWrite and Describe when it has
// them; WholeFile when it loads from its file without a stream filter), its
// detection steps (a rank, the size that must follow and a signature, or no
// signature to ask the record's probe), and its save-dialog pages (their
// fields and colour lists; a new page also needs a TIOPreviewPage value and
// the dialog's controls). Declare its module function and put its records
// in kRegistryOrder below; a new file type also needs a number in
// pxformats.h and its fields in pixoranio_params_fields.h. Nothing else in the library changes:
// the registry offers the format once Read or Write is set (and takes its
// dialog page from the pages), and loads and saves by extension, type and
// content reach it. A program that brings its own filter at run time uses
// SetFormatCodec instead.
//
// A format without a filter has no reader, writer or probe: its loads and
// saves end with Aborting set, detection never names it from a probe, and
// the registry does not offer it.
#include "io/formats/formats.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <vector>

#include "io/pxformats.h"

namespace pixoran {

// Each module's function, defined in its folder. Declared here, where the
// modules are ordered, so a format is added in this one place.
const TPXFormatModule& TIFFFormatModule();
const TPXFormatModule& GIFFormatModule();
const TPXFormatModule& JPEGFormatModule();
const TPXFormatModule& PCXFormatModule();  // PCX and DCX
const TPXFormatModule& BMPFormatModule();
const TPXFormatModule& ICOFormatModule();  // ICO and CUR
const TPXFormatModule& PNGFormatModule();
const TPXFormatModule& MetafileFormatModule();  // WMF and EMF
const TPXFormatModule& TGAFormatModule();
const TPXFormatModule& PNMFormatModule();    // PXM and WBMP
const TPXFormatModule& J2000FormatModule();  // JP2 and J2K
const TPXFormatModule& PSPDFFormatModule();  // PostScript and PDF
const TPXFormatModule& AVIFormatModule();

namespace {

using TModuleFn = const TPXFormatModule& (*)();

// The registry's order, which is also the modules' order (each module's
// first record). A module may hold several records that sit apart (DCX
// comes after PDF).
struct TOrderEntry {
  TModuleFn Module;
  int32_t FileType;
};
constexpr TOrderEntry kRegistryOrder[] = {
    {TIFFFormatModule, ioTIFF},
    {GIFFormatModule, ioGIF},
    {JPEGFormatModule, ioJPEG},
    {PCXFormatModule, ioPCX},
    {BMPFormatModule, ioBMP},
    {ICOFormatModule, ioICO},
    {ICOFormatModule, ioCUR},
    {PNGFormatModule, ioPNG},
    {MetafileFormatModule, ioWMF},
    {MetafileFormatModule, ioEMF},
    {TGAFormatModule, ioTGA},
    {PNMFormatModule, ioPXM},
    {PNMFormatModule, ioWBMP},
    {J2000FormatModule, ioJP2},
    {J2000FormatModule, ioJ2K},
    {PSPDFFormatModule, ioPS},
    {PSPDFFormatModule, ioPDF},
    {PCXFormatModule, ioDCX},
    // Not registered: it has no name.
    {AVIFormatModule, ioAVI},
};

[[noreturn]] void BadTable() { std::abort(); }

const std::vector<TPXFormatCodec>& Codecs() {
  static const std::vector<TPXFormatCodec> codecs = [] {
    std::vector<TPXFormatCodec> list;
    for (const TOrderEntry& e : kRegistryOrder) {
      const std::span<const TPXFormatCodec> own = e.Module().Codecs;
      const auto it =
          std::find_if(own.begin(), own.end(), [&](const TPXFormatCodec& c) { return c.FileType == e.FileType; });
      if (it == own.end()) BadTable();
      TPXFormatCodec c = *it;
      // The pages say which page edits a type; the record repeats it for the registry.
      c.DialogPage = SavePageFlagOfFileType(c.FileType);
      list.push_back(c);
    }
    return list;
  }();
  return codecs;
}

}  // namespace

std::span<const TPXFormatModule* const> BuiltinFormatModules() {
  static const std::vector<const TPXFormatModule*> modules = [] {
    std::vector<const TPXFormatModule*> list;
    for (const TOrderEntry& e : kRegistryOrder)
      if (std::find(list.begin(), list.end(), &e.Module()) == list.end()) list.push_back(&e.Module());
    return list;
  }();
  return modules;
}

std::span<const TPXFormatCodec> BuiltinFormatCodecs() { return Codecs(); }

std::span<const TPXDetectStep> BuiltinDetectSteps() {
  static const std::vector<TPXDetectStep> steps = [] {
    std::vector<TPXDetectStep> list;
    for (const TPXFormatModule* m : BuiltinFormatModules()) list.insert(list.end(), m->Steps.begin(), m->Steps.end());
    std::stable_sort(list.begin(), list.end(),
                     [](const TPXDetectStep& a, const TPXDetectStep& b) { return a.Rank < b.Rank; });
    return list;
  }();
  return steps;
}

std::span<const TSavePageInfo> SavePages() {
  static const std::array<TSavePageInfo, ppgCount> pages = [] {
    std::array<TSavePageInfo, ppgCount> table{};
    for (const TPXFormatModule* m : BuiltinFormatModules())
      for (const TSavePageInfo& p : m->Pages) {
        if (p.Page < 0 || p.Page >= ppgCount || table[p.Page].Name) BadTable();
        table[p.Page] = p;
      }
    for (const TSavePageInfo& p : table)
      if (!p.Name) BadTable();
    return table;
  }();
  return pages;
}

}  // namespace pixoran
