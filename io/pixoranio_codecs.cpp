#include "io/pixoranio_codecs.h"

#include <deque>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <vector>

#include "io/pxformats.h"

// The built-in records come from the format modules (io/formats/); this unit
// keeps the tables that hold their current versions.
namespace pixoran {

namespace {

// Read from any thread under the shared lock, changed under it alone. A
// record or route table is never changed or freed once handed out: a change
// keeps a new version (a deque: appending keeps pointers valid) and points
// the list at it.
struct TFormatTables {
  std::shared_mutex Lock;
  std::deque<TPXFormatCodec> Kept;              // every version of every record
  std::vector<const TPXFormatCodec*> Records;  // the current ones, in registry order
  std::deque<std::vector<TPXExtensionRoute>> RouteVersions;
  const std::vector<TPXExtensionRoute>* Routes = nullptr;
};

void AddRoutes(std::vector<TPXExtensionRoute>& routes, const char* list, int32_t fileType, bool save) {
  if (!list) return;
  const std::string text = list;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find(';', start);
    if (end == std::string::npos) end = text.size();
    if (end > start) {
      const std::string ext = "." + text.substr(start, end - start);
      TPXExtensionRoute* route = nullptr;
      for (auto& r : routes)
        if (r.Extension == ext) route = &r;
      if (!route) route = &routes.emplace_back(TPXExtensionRoute{ext, ioUnknown, ioUnknown});
      // The first record that claims an extension keeps it.
      int32_t& slot = save ? route->SaveType : route->LoadType;
      if (slot == ioUnknown) slot = fileType;
    }
    start = end + 1;
  }
}

void RebuildRoutes(TFormatTables& t) {
  std::vector<TPXExtensionRoute> routes;
  for (const TPXFormatCodec* c : t.Records) {
    AddRoutes(routes, c->LoadRoutes, c->FileType, false);
    AddRoutes(routes, c->SaveRoutes, c->FileType, true);
  }
  t.Routes = &t.RouteVersions.emplace_back(std::move(routes));
}

TFormatTables& Tables() {
  // Filled on first use, so no unit depends on another's start-up order.
  static TFormatTables tables;
  static std::once_flag filled;
  std::call_once(filled, [] {
    for (const TPXFormatCodec& c : BuiltinFormatCodecs()) tables.Records.push_back(&tables.Kept.emplace_back(c));
    RebuildRoutes(tables);
  });
  return tables;
}

}  // namespace

const TPXFormatCodec* FindFormatCodec(int32_t fileType) {
  TFormatTables& t = Tables();
  std::shared_lock<std::shared_mutex> lock(t.Lock);
  for (const TPXFormatCodec* c : t.Records)
    if (c->FileType == fileType) return c;
  return nullptr;
}

TPXFormatCodec SetFormatCodec(const TPXFormatCodec& codec) {
  TFormatTables& t = Tables();
  TPXFormatCodec old{};
  if (codec.FileType == ioUnknown) return old;
  std::unique_lock<std::shared_mutex> lock(t.Lock);
  const TPXFormatCodec* fresh = &t.Kept.emplace_back(codec);
  bool found = false;
  for (const TPXFormatCodec*& c : t.Records)
    if (c->FileType == codec.FileType) {
      old = *c;
      c = fresh;
      found = true;
      break;
    }
  if (!found) t.Records.push_back(fresh);
  RebuildRoutes(t);
  return old;
}

const TPXFormatCodec* FormatCodecAt(int32_t index) {
  TFormatTables& t = Tables();
  std::shared_lock<std::shared_mutex> lock(t.Lock);
  if (index < 0 || index >= static_cast<int32_t>(t.Records.size())) return nullptr;
  return t.Records[static_cast<size_t>(index)];
}

const TPXDetectStep* DetectStepAt(int32_t index) {
  const std::span<const TPXDetectStep> steps = BuiltinDetectSteps();
  if (index < 0 || index >= static_cast<int32_t>(steps.size())) return nullptr;
  return &steps[static_cast<size_t>(index)];
}

const TPXExtensionRoute* FindExtensionRoute(const std::string& ext) {
  TFormatTables& t = Tables();
  std::shared_lock<std::shared_mutex> lock(t.Lock);
  for (const auto& r : *t.Routes)
    if (ext == r.Extension) return &r;
  return nullptr;
}

}  // namespace pixoran
