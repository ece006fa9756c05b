#include "io/pxformats.h"

#include <algorithm>
#include <cstring>
#include <deque>
#include <mutex>
#include <shared_mutex>
#include <string_view>
#include <tuple>
#include <vector>

#include "io/pixoranio_codecs.h"

namespace pixoran {

namespace {

// The marks of built-in records: reading and writing are the component's own.
void BuiltinRead(TStream&, TPXBitmap&, TIOParamsVals&, TPXProgressRec&, bool) {}
void BuiltinWrite(TStream&, TPXBitmap&, TIOParamsVals&, TPXProgressRec&) {}

// One table, two views of it: the registered formats (what registration
// and unregistering change) and the format records with the extension
// routes built from them (what SetFormatCodec changes; unregistering leaves
// them). Readers (workers among them) take the lock shared; changes take it
// alone. Nothing is changed or freed once listed, for a reader may still
// hold it: a change keeps a new version and lists it in its place.
struct TRegistry {
  std::shared_mutex Lock;
  std::vector<TPXFileFormatInfo*> Records;    // registered, in registry order
  std::vector<const TPXFormatCodec*> Codecs;  // one per file type, in registry order
  const std::vector<TPXExtensionRoute>* Routes = nullptr;
  // Every version ever listed; a deque keeps its elements in place as it grows.
  std::tuple<std::deque<TPXFileFormatInfo>, std::deque<TPXFormatCodec>, std::deque<std::vector<TPXExtensionRoute>>>
      Kept;

  template <class T>
  T* Keep(T version) {
    return &std::get<std::deque<T>>(Kept).emplace_back(std::move(version));
  }
};

void AddBuiltinFormats(TRegistry& r);
void RebuildRoutes(TRegistry& r);

TRegistry& Registry() {
  // Filled on first use, so no unit depends on another's start-up order.
  static TRegistry registry;
  static std::once_flag filled;
  std::call_once(filled, [] {
    for (const TPXFormatCodec& c : BuiltinFormatCodecs()) registry.Codecs.push_back(registry.Keep(c));
    RebuildRoutes(registry);
    AddBuiltinFormats(registry);
  });
  return registry;
}

using TReadLock = std::shared_lock<std::shared_mutex>;
using TWriteLock = std::unique_lock<std::shared_mutex>;

// Cuts a UTF-8 text to at most max bytes without splitting a character.
std::string CutName(const std::string& s, size_t max) {
  if (s.size() <= max) return s;
  size_t n = max;
  while (n > 0 && (static_cast<unsigned char>(s[n]) & 0xC0) == 0x80) --n;
  return s.substr(0, n);
}

// The registry's marks of a built-in record.
void SetMarks(TPXFileFormatInfo& info, const TPXFormatCodec& codec) {
  // A format is offered only when its filter is in the library, so no
  // caller is told a file can be opened that every load would refuse.
  // Metafiles have no stream filter: the component imports them from their
  // files (by extension or type), so they are readable all the same.
  const bool imported = codec.WholeFile != wfNone;
  const bool canRead = (codec.Read || imported) && (!codec.Ready || codec.Ready(false));
  const bool canWrite = codec.Write && (!codec.Ready || codec.Ready(true));
  info.ReadFunction = canRead ? BuiltinRead : nullptr;
  info.WriteFunction = canWrite ? BuiltinWrite : nullptr;
}

// The caller holds the lock.
void AddBuiltinFormats(TRegistry& r) {
  r.Records.clear();
  for (const TPXFormatCodec* codec : r.Codecs) {
    if (!codec->FullName) continue;  // known to the component, not offered by name
    TPXFileFormatInfo info;
    info.FileType = codec->FileType;
    info.FullName = CutName(codec->FullName, kPXFormatNameMax);
    info.Extensions = CutName(codec->Extensions ? codec->Extensions : "", kPXFormatNameMax);
    info.DialogPage = codec->DialogPage;
    SetMarks(info, *codec);
    r.Records.push_back(r.Keep(std::move(info)));
  }
}

// The slot of a file type's format record, or nullptr; the caller holds the lock.
const TPXFormatCodec** CodecSlot(TRegistry& r, int32_t fileType) {
  for (const TPXFormatCodec*& c : r.Codecs)
    if (c->FileType == fileType) return &c;
  return nullptr;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

// Hands the ";"-separated items of a list to visit from the left, empty
// ones too, until visit answers false.
template <class Visit>
void ForEachItem(std::string_view list, Visit visit) {
  for (size_t start = 0;;) {
    const size_t semi = list.find(';', start);
    const size_t end = semi == std::string_view::npos ? list.size() : semi;
    if (!visit(list.substr(start, end - start)) || semi == std::string_view::npos) return;
    start = semi + 1;
  }
}

// The index-th item (from 0); empty when there are fewer items.
std::string ItemAt(std::string_view list, int32_t index) {
  std::string_view found;
  int32_t i = 0;
  ForEachItem(list, [&](std::string_view item) {
    if (i++ != index) return true;
    found = item;
    return false;
  });
  return std::string(found);
}

// Adds a record's routes; the first record that lists an extension keeps it.
void AddRoutes(std::vector<TPXExtensionRoute>& routes, const char* list, int32_t fileType, bool save) {
  if (!list) return;
  ForEachItem(list, [&](std::string_view item) {
    if (item.empty()) return true;
    const std::string ext = "." + std::string(item);
    auto route = std::find_if(routes.begin(), routes.end(), [&](const auto& r) { return r.Extension == ext; });
    if (route == routes.end()) route = routes.insert(routes.end(), TPXExtensionRoute{ext, ioUnknown, ioUnknown});
    int32_t& slot = save ? route->SaveType : route->LoadType;
    if (slot == ioUnknown) slot = fileType;
    return true;
  });
}

// The caller holds the lock.
void RebuildRoutes(TRegistry& r) {
  std::vector<TPXExtensionRoute> routes;
  for (const TPXFormatCodec* c : r.Codecs) {
    AddRoutes(routes, c->LoadRoutes, c->FileType, false);
    AddRoutes(routes, c->SaveRoutes, c->FileType, true);
  }
  r.Routes = r.Keep(std::move(routes));
}

// Puts the stream back at a position whatever happens on the way out.
class TPositionGuard {
 public:
  TPositionGuard(TStream& s, int64_t pos) : s_(s), pos_(pos) {}
  ~TPositionGuard() {
    try {
      s_.SetPosition(pos_);
    } catch (...) {}
  }
  TPositionGuard(const TPositionGuard&) = delete;
  TPositionGuard& operator=(const TPositionGuard&) = delete;

 private:
  TStream& s_;
  int64_t pos_;
};

bool AskProbe(TPXCodecProbe probe, TStream& stream, int64_t pos) {
  if (!probe) return false;
  stream.SetPosition(pos);
  const bool yes = probe(stream);
  stream.SetPosition(pos);
  return yes;
}

int32_t DetectBuiltin(TStream& stream, int64_t pos, int64_t left) {
  // The signatures look at most this far; what the stream lacks reads as 0.
  uint8_t head[129] = {};
  stream.SetPosition(pos);
  const int64_t want = std::min<int64_t>(left, static_cast<int64_t>(sizeof head));
  if (want > 0) stream.Read(head, want);
  stream.SetPosition(pos);

  std::vector<int32_t> named;
  for (int32_t i = 0; const TPXDetectStep* step = DetectStepAt(i); ++i) {
    named.push_back(step->FileType);
    if (left <= step->MoreThan) continue;
    if (step->Signature) {
      if (step->Signature(head)) return step->FileType;
    } else if (const TPXFormatCodec* c = FindFormatCodec(step->FileType); c && AskProbe(c->Probe, stream, pos)) {
      return step->FileType;
    }
  }
  // Formats the steps do not name (added at start-up) come last.
  for (int32_t i = 0; const TPXFormatCodec* c = FormatCodecAt(i); ++i) {
    if (std::find(named.begin(), named.end(), c->FileType) != named.end()) continue;
    if (AskProbe(c->Probe, stream, pos)) return c->FileType;
  }
  return ioUnknown;
}

}  // namespace

const TPXFormatCodec* CodecOfRegistryEntry(const TPXFileFormatInfo* info, TPXFormatCodec& wrapped) {
  if (!info) return nullptr;
  // A built-in entry's filters are only marks; its record does the work.
  const bool builtinRead = info->ReadFunction == BuiltinRead, builtinWrite = info->WriteFunction == BuiltinWrite;
  if (builtinRead || builtinWrite) {
    const TPXFormatCodec* codec = FindFormatCodec(info->FileType);
    if (!codec) return nullptr;
    wrapped = *codec;
    // The entry still says what can be done (UpdateGIFFormatAvailability).
    if (!builtinRead) wrapped.Read = nullptr;
    if (!builtinWrite) wrapped.Write = nullptr;
    return &wrapped;
  }
  wrapped = TPXFormatCodec{};
  wrapped.FileType = info->FileType;
  wrapped.FullName = info->FullName.c_str();
  wrapped.AppRead = info->ReadFunction;
  wrapped.AppWrite = info->WriteFunction;
  wrapped.Probe = info->TryFunction;
  return &wrapped;
}

bool IsBuiltinReadPlaceholder(TPXReadFunction f) { return f == BuiltinRead; }
bool IsBuiltinWritePlaceholder(TPXWriteFunction f) { return f == BuiltinWrite; }

int32_t RegisterFileFormat(const TPXFileFormatInfo& info) {
  TPXFileFormatInfo copy = info;
  copy.FullName = CutName(copy.FullName, kPXFormatNameMax);
  copy.Extensions = CutName(copy.Extensions, kPXFormatNameMax);
  TRegistry& r = Registry();
  TWriteLock lock(r.Lock);
  r.Records.push_back(r.Keep(std::move(copy)));
  return static_cast<int32_t>(r.Records.size()) - 1;
}

void RegisterBuiltinFileFormats() {
  TRegistry& r = Registry();
  TWriteLock lock(r.Lock);
  AddBuiltinFormats(r);
}

void UnregisterFileFormats() {
  TRegistry& r = Registry();
  TWriteLock lock(r.Lock);
  r.Records.clear();
}

int32_t FileFormatCount() {
  TRegistry& r = Registry();
  TReadLock lock(r.Lock);
  return static_cast<int32_t>(r.Records.size());
}

TPXFileFormatInfo* FileFormatAt(int32_t index) {
  TRegistry& r = Registry();
  TReadLock lock(r.Lock);
  if (index < 0 || index >= static_cast<int32_t>(r.Records.size())) return nullptr;
  return r.Records[static_cast<size_t>(index)];
}

TPXFileFormatInfo* FindFileFormatInfo(int32_t fileType) {
  TRegistry& reg = Registry();
  TReadLock lock(reg.Lock);
  for (TPXFileFormatInfo* r : reg.Records)
    if (r->FileType == fileType) return r;
  return nullptr;
}

TPXFileFormatInfo* FindFileFormatInfoByExtension(const std::string& ext) {
  if (ext.empty()) return nullptr;
  TRegistry& reg = Registry();
  TReadLock lock(reg.Lock);
  for (TPXFileFormatInfo* r : reg.Records) {
    bool match = false;
    ForEachItem(r->Extensions, [&](std::string_view item) { return !(match = EqualsNoCase(item, ext)); });
    if (match) return r;
  }
  return nullptr;
}

std::string FileFormatExtension(int32_t fileType, int32_t index) {
  const TPXFileFormatInfo* info = FindFileFormatInfo(fileType);
  if (!info) return {};
  return ItemAt(info->Extensions, index);
}

int32_t FileFormatExtensionCount(int32_t fileType) {
  int32_t n = 0;
  while (!FileFormatExtension(fileType, n).empty()) ++n;
  return n;
}

bool IsReadableFileName(const std::string& fileName) {
  std::string ext = LowerCaseASCII(ExtractFileExt(fileName));
  if (!ext.empty()) ext.erase(0, 1);
  const TPXFileFormatInfo* info = FindFileFormatInfoByExtension(ext);
  return info != nullptr && info->ReadFunction != nullptr;
}

bool IsAVIStream(TStream& stream) {
  try {
    const int64_t pos = stream.Position();
    TPositionGuard back(stream, pos);
    char riff[4] = {}, skip[4] = {}, avi[4] = {};
    if (!stream.ReadExact(riff, 4) || !stream.ReadExact(skip, 4) || !stream.ReadExact(avi, 4)) return false;
    return std::memcmp(riff, "RIFF", 4) == 0 && std::memcmp(avi, "AVI ", 4) == 0;
  } catch (...) {
    return false;
  }
}

int32_t FindStreamFormat(TStream& stream) {
  int32_t result = ioUnknown;
  try {
    const int64_t pos = stream.Position();
    TPositionGuard back(stream, pos);
    // Registered probes first: callers may claim content the built-in
    // signatures would give to another format. They run outside the lock.
    std::vector<std::pair<TPXTryFunction, int32_t>> probes;
    {
      TRegistry& reg = Registry();
      TReadLock lock(reg.Lock);
      for (const TPXFileFormatInfo* r : reg.Records)
        if (r->TryFunction) probes.emplace_back(r->TryFunction, r->FileType);
    }
    for (const auto& [probe, type] : probes) {
      stream.SetPosition(pos);
      if (probe(stream)) return type;
    }
    // The signatures look at what follows the position, not at the whole stream.
    const int64_t left = std::max<int64_t>(0, stream.Size() - pos);
    result = DetectBuiltin(stream, pos, left);
  } catch (...) {
    // A failing probe or read ends detection with what was found so far.
  }
  return result;
}

int32_t FindFileFormat(const std::string& fileName, bool verifyExtension) {
  int32_t found = ioUnknown;
  try {
    TFileStream fs(fileName, fmOpenRead);
    found = FindStreamFormat(fs);
  } catch (...) {
    return ioUnknown;
  }
  if (!verifyExtension || found == ioUnknown) return found;
  std::string ext = ExtractFileExt(fileName);
  if (!ext.empty()) ext.erase(0, 1);
  const TPXFileFormatInfo* info = FindFileFormatInfoByExtension(ext);
  if (!info) return ioUnknown;
  if (found == ioICO || found == ioCUR) {
    // Icons and cursors share their layout: either name is believed, no other.
    return (info->FileType == ioICO || info->FileType == ioCUR) ? info->FileType : ioUnknown;
  }
  return found == info->FileType ? found : ioUnknown;
}

void UpdateGIFFormatAvailability() {
  TRegistry& reg = Registry();
  TWriteLock lock(reg.Lock);
  const TPXFormatCodec* const* codec = CodecSlot(reg, ioGIF);
  if (!codec) return;
  for (TPXFileFormatInfo*& r : reg.Records) {
    if (r->FileType != ioGIF) continue;
    // A changed copy: a reader may be looking at the listed record.
    TPXFileFormatInfo copy = *r;
    SetMarks(copy, **codec);
    r = reg.Keep(std::move(copy));
    return;
  }
}

std::string FileFormatDescription(const TIOParamsVals& params) {
  std::string text;
  if (const TPXFileFormatInfo* info = FindFileFormatInfo(params.FileType)) {
    text = info->FullName + " (" + UpperCaseASCII(ItemAt(info->Extensions, 0)) + ")";
  }
  if (const TPXFormatCodec* codec = FindFormatCodec(params.FileType); codec && codec->Describe)
    codec->Describe(params, text);
  return text;
}

const TPXFormatCodec* FindFormatCodec(int32_t fileType) {
  TRegistry& r = Registry();
  TReadLock lock(r.Lock);
  const TPXFormatCodec* const* slot = CodecSlot(r, fileType);
  return slot ? *slot : nullptr;
}

TPXFormatCodec SetFormatCodec(const TPXFormatCodec& codec) {
  TPXFormatCodec old{};
  if (codec.FileType == ioUnknown) return old;
  TRegistry& r = Registry();
  TWriteLock lock(r.Lock);
  const TPXFormatCodec* fresh = r.Keep(codec);
  if (const TPXFormatCodec** slot = CodecSlot(r, codec.FileType)) {
    old = **slot;
    *slot = fresh;
  } else {
    r.Codecs.push_back(fresh);
  }
  RebuildRoutes(r);
  return old;
}

const TPXFormatCodec* FormatCodecAt(int32_t index) {
  TRegistry& r = Registry();
  TReadLock lock(r.Lock);
  if (index < 0 || index >= static_cast<int32_t>(r.Codecs.size())) return nullptr;
  return r.Codecs[static_cast<size_t>(index)];
}

const TPXDetectStep* DetectStepAt(int32_t index) {
  const std::span<const TPXDetectStep> steps = BuiltinDetectSteps();
  if (index < 0 || index >= static_cast<int32_t>(steps.size())) return nullptr;
  return &steps[static_cast<size_t>(index)];
}

const TPXExtensionRoute* FindExtensionRoute(const std::string& ext) {
  TRegistry& r = Registry();
  TReadLock lock(r.Lock);
  for (const auto& route : *r.Routes)
    if (ext == route.Extension) return &route;
  return nullptr;
}

std::string ExtractFileName(const std::string& fileName) {
  const size_t slash = fileName.find_last_of('/');
  return slash == std::string::npos ? fileName : fileName.substr(slash + 1);
}

std::string ExtractFileExt(const std::string& fileName) {
  // Only the last path component: a dot in a folder name is no extension.
  const std::string name = ExtractFileName(fileName);
  const size_t dot = name.find_last_of('.');
  return dot == std::string::npos ? std::string() : name.substr(dot);
}

std::string LowerCaseASCII(std::string text) {
  for (char& c : text)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return text;
}

std::string UpperCaseASCII(std::string text) {
  for (char& c : text)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return text;
}

}  // namespace pixoran
