// The built-in formats in order: the registry's order of the records, the
// detection steps by rank and the save-dialog pages by page, all assembled
// from the format modules.
//
// How a format is added: the README, "Adding a format".

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
