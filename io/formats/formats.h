#pragma once
// A format module: everything one format folder gives the library. Its
// records (TPXFormatCodec: entry points, names, extensions, routes, stream
// header, steps around a read or write), its content-detection steps with
// their ranks, and the save-dialog pages that edit its options. Each module
// answers one function returning a record built on first use, so no module
// depends on another's start-up order; formats.cpp declares and orders them.
#include <span>

#include "io/pixoranio_codecs.h"
#include "io/pxsavepages.h"

namespace pixoran {

struct TPXFormatModule {
  std::span<const TPXFormatCodec> Codecs;
  std::span<const TPXDetectStep> Steps;
  std::span<const TSavePageInfo> Pages;
};

// Every built-in module, each once.
std::span<const TPXFormatModule* const> BuiltinFormatModules();

}  // namespace pixoran
