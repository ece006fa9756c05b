#pragma once
// A format module: everything one format folder gives the library. Its
// records (TPXFormatCodec: entry points, names, extensions, routes, stream
// header, steps around a read or write), its content-detection steps with
// their ranks, and the save-dialog pages that edit its options. Each module
// answers one function returning a record built on first use, so no module
// depends on another's start-up order; formats.cpp declares and orders them.
#include <span>

#include "platform/pxexport.h"
#include "io/pixoranio_codecs.h"
#include "io/pxsavepages.h"

namespace pixoran {

struct PIXORAN_IO_EXPORT TPXFormatModule {
  std::span<const TPXFormatCodec> Codecs;
  std::span<const TPXDetectStep> Steps;
  std::span<const TSavePageInfo> Pages;
};

// Every built-in module, each once.
PIXORAN_IO_EXPORT std::span<const TPXFormatModule* const> BuiltinFormatModules();

// Ranks of the built-in detection steps. Where two steps accept the same
// bytes the lower rank wins, so this order decides the type stored files
// load as: the component's own stream headers and long signatures first,
// short signatures next, probes that can only judge header fields last.
enum TPXDetectRank : int32_t {
  drJPEGStreamHeader = 100,  // "JFIF" and a zero: the component's own 12-byte header, exact
  drGIF = 200,               // "GIF": three bytes no other format starts with
  drPCXStreamHeader = 300,   // "PCX2" and a zero: the component's own header
  drPCXOldHeader = 400,      // "PCX" and a zero: the component's older header, without a length
  drBMP = 500,               // "BM": two bytes, but before the PCX pair, as files were always detected
  drPCX = 600,               // 0x0A and a version up to 5: two bytes and 128 behind them
  drTIFFStreamHeader = 700,  // "TIFF" and a zero: the component's own header
  drTIFF = 800,              // "II*\0" or "MM\0*"
  drPNG = 900,               // the probe checks the 8-byte signature
  drICO = 1000,              // probes of a directory's fields: no signature of their own
  drCUR = 1100,
  drTGA = 1200,   // header fields only: after every format with a signature
  drPXM = 1300,   // the netpbm magic number and a header
  drJPEG = 1400,  // SOI and a marker, without the component's header
  drJP2 = 1500,   // the signature box
  drJ2K = 1600,   // SOC and SIZ
  drAVI = 1700,   // "RIFF" ... "AVI "
  drDCX = 1800,   // the DCX magic number, then a page table checked entry by entry
};

}  // namespace pixoran
