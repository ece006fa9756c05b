// Load, save and parameter-read cores of the I/O component, and the files
// they write.
#include <algorithm>
#include <cstring>
#include <vector>

#include "core/kopxutils_colors.h"
#include "core/kopxutils_helpers.h"
#include "core/kopxutils_settings.h"
#include "io/pixoranio.h"
#include "io/pixoranio_codecs.h"
#include "io/pxfiltutil.h"
#include "platform/system.h"

namespace pixoran {

namespace {

// A pxBGR24 copy of the bitmap (its alpha channel left out); nullptr when
// the storage for it cannot be had.
std::unique_ptr<TPXBitmap> CopyAsBGR24(TPXBitmap& source) {
  auto copy = std::make_unique<TPXBitmap>();
  try {
    copy->CopyPixelsFrom(source);
    copy->SetPixelFormat(pxBGR24);
  } catch (const EPXBitmapError&) {
    return nullptr;
  }
  return copy->PixelFormat() == pxBGR24 ? std::move(copy) : nullptr;
}

bool EmptyImage(TPXBitmap& b) { return b.Width() <= 0 || b.Height() <= 0 || b.PixelFormat() == pxNone; }

std::string TypeName(int32_t fileType) {
  const TPXFormatCodec* codec = FindFormatCodec(fileType);
  return codec && codec->FullName ? std::string(codec->FullName) : "file type " + std::to_string(fileType);
}

std::string NoReaderText(int32_t fileType) { return "no reader for " + TypeName(fileType); }
std::string NoWriterText(int32_t fileType) { return "no writer for " + TypeName(fileType); }

std::string Hex2(uint8_t v) {
  static const char kDigits[] = "0123456789ABCDEF";
  return std::string{kDigits[v >> 4], kDigits[v & 15]};
}

}  // namespace

struct TPixoranIO::TSaveSource {
  TPXBitmap* Bitmap = nullptr;      // what the writer reads
  std::unique_ptr<TPXBitmap> Copy;  // a converted copy, when one was needed
  TPXBitmap* Alpha = nullptr;       // transparency handed to the writer
};

struct TPixoranIO::THeaderInfo {
  bool Present = false;
  int64_t DataLength = 0;  // bytes of image data after the header
  int64_t End = 0;         // where the image data ends
};

// ---------------------------------------------------------------- built-in loads

int32_t TPixoranIO::LoadFileBuiltin(const std::string& fileName, int32_t fileType) {
  if (HandOff([this, fileName, fileType] { LoadFileBuiltin(fileName, fileType); })) return -1;
  // Counted before the finishing events, after which the component may be gone.
  int32_t count = 0;
  RunOperation([&] {
    LoadFileBody(fileName, fileType);
    count = LoadedImageCount(fileType);
  });
  return count;
}

int32_t TPixoranIO::LoadStreamBuiltin(TStream& stream, int32_t fileType) {
  if (HandOff([this, s = &stream, fileType] { LoadStreamBuiltin(*s, fileType); })) return -1;
  int32_t count = 0;
  RunOperation([&] {
    LoadCore(stream, fileType, false);
    count = LoadedImageCount(fileType);
  });
  return count;
}

int32_t TPixoranIO::LoadedImageCount(int32_t fileType) const {
  const TPXFormatCodec* codec = FindFormatCodec(fileType);
  return codec && codec->ImageCount ? (*params_).*(codec->ImageCount) : 0;
}

void TPixoranIO::LoadFileBody(const std::string& fileName, int32_t fileType) {
  // Set before the open: a file that cannot be opened is a failed load.
  aborting_ = true;
  TFileStream fs(fileName, fmOpenRead);
  LoadCore(fs, fileType, true);
  // After the core, which clears it.
  params_->FileName = fileName;
}

bool TPixoranIO::ReadStreamHeader(TStream& stream, const TPXFormatCodec& codec, bool fromFile, THeaderInfo& header) {
  header = THeaderInfo{};
  const bool required = codec.Header == hrWhenEnabled && streamHeaders_ && !fromFile;
  if (codec.Magic == nullptr || !(codec.Header == hrAlways || required)) return true;
  const int64_t start = stream.Position();
  const int64_t left = std::max<int64_t>(0, stream.Size() - start);
  uint8_t b[kPXStreamHeaderSize] = {};
  const int64_t got = stream.Read(b, std::min<int64_t>(left, kPXStreamHeaderSize));

  int64_t headerSize = 0;
  int64_t length = 0;
  if (got == kPXStreamHeaderSize && std::memcmp(b, codec.Magic, 4) == 0 && b[4] == 0) {
    headerSize = kPXStreamHeaderSize;
    length = GetLE32(b + 8);
  } else if (required && codec.FileType == ioPCX && got >= 4 && std::memcmp(b, "PCX", 3) == 0 && b[3] == 0) {
    // The older PCX header: no length, the data runs to the end of the stream.
    headerSize = 4;
    length = left - headerSize;
  } else {
    stream.SetPosition(start);
    return !required;
  }
  // A length beyond the stream's end names data that is not there.
  length = std::clamp<int64_t>(length, 0, left - headerSize);
  stream.SetPosition(start + headerSize);
  header.Present = true;
  header.DataLength = length;
  header.End = start + headerSize + length;
  return true;
}

void TPixoranIO::CopyAlphaMask(TPXBitmap& mask) {
  if (EmptyImage(mask) || mask.PixelFormat() != pxGray8) return;
  const int32_t w = working_->Width(), h = working_->Height();
  if (mask.Width() != w || mask.Height() != h) return;
  try {
    TPXBitmap* alpha = working_->GetAlphaChannel();
    if (!alpha) return;
    for (int32_t y = 0; y < h; ++y) {
      const uint8_t* s = mask.Scanline(y);
      uint8_t* d = alpha->Scanline(y);
      if (!s || !d) break;
      std::memcpy(d, s, static_cast<size_t>(w));
    }
    alpha->SyncFull();
  } catch (const EPXBitmapError&) {
    // The image is kept without its transparency; the load says why.
    working_->RemoveAlphaChannel();
    std::string text;
    const TPXIOResult kind = IOResultOfException(std::current_exception(), text);
    Fail(kind, "the transparency cannot be kept: " + text);
  }
}

void TPixoranIO::LoadCore(TStream& stream, int32_t fileType, bool fromFile) {
  const TPXFormatCodec* codec = FindFormatCodec(fileType);
  aborting_ = false;
  TPXProgressRec progress = MakeProgress();
  if (!codec || !codec->Read) {
    Fail(iorUnknownFormat, NoReaderText(fileType));
    return;
  }
  if (!PrepareBitmap(0)) {
    Fail(iorFailed, "the attached bitmap cannot take the image");
    return;
  }
  params_->ResetInfo();
  THeaderInfo header;
  if (!ReadStreamHeader(stream, *codec, fromFile, header)) {
    Fail(iorCorrupt, std::string(codec->FullName ? codec->FullName : "stream") + ": the stream header is missing");
    return;
  }
  working_->RemoveAlphaChannel();
  TPXBitmap mask;
  try {
    codec->Read(stream, *working_, *params_, progress, false, header.DataLength, mask);
    // Rows still mapped from a temporary file are written now, so a full
    // disk shows in this load and not in the next reader of the picture.
    working_->FlushRows();
  } catch (const std::exception&) {
    // Storage of the image that failed (no memory, a temporary file that
    // cannot be written) is told like any reader's failure; other
    // exceptions pass to the caller as before.
    std::string text;
    const TPXIOResult kind = IOResultOfException(std::current_exception(), text);
    if (kind != iorNoMemory && kind != iorWriteFailed) throw;
    Fail(kind, std::string(codec->FullName ? codec->FullName : "reader") + ": " + text);
  }
  if (!aborting_ && (codec->Flags & cfAlphaFromReader)) CopyAlphaMask(mask);
  FixDefaultDPI();
  if (codec->AfterRead) codec->AfterRead(*params_);
  // The reader may have read ahead of its data.
  if (header.Present) stream.SetPosition(header.End);
  if (!aborting_ && autoAdjustDPI_ && !(codec->Flags & cfNoAutoAdjustDPI)) AdjustBitmapDPI();
  if (codec->Flags & cfPNGBackground) {
    const TBGR c = params_->PNGBackground;
    SetBackground(RGBColor(c.r, c.g, c.b));
  }
  if (codec->Flags & cfGIFBackground) {
    const TBGR c = params_->GIFTransparent ? params_->GIFTranspColor : params_->GIFBackground;
    SetBackground(RGBColor(c.r, c.g, c.b));
  }
  params_->FileName.clear();
  params_->FileType = fileType;
  TellViewerDpi();
  UpdateAttached();
}

// ---------------------------------------------------------------- built-in saves

void TPixoranIO::SaveFileBuiltin(const std::string& fileName, int32_t fileType) {
  if (HandOff([this, fileName, fileType] { SaveFileBuiltin(fileName, fileType); })) return;
  RunOperation([&] { SaveFileBody(fileName, fileType); });
}

void TPixoranIO::SaveStreamBuiltin(TStream& stream, int32_t fileType) {
  if (HandOff([this, s = &stream, fileType] { SaveStreamBuiltin(*s, fileType); })) return;
  RunOperation([&] { SaveStreamBody(stream, fileType); });
}

bool TPixoranIO::PrepareSaveSource(uint32_t writerFormats, bool withAlpha, TSaveSource& source) {
  if (!PrepareBitmap(0)) {
    Fail(iorFailed, "the attached bitmap cannot be saved");
    return false;
  }
  TPXBitmap& b = *working_;
  // An empty image has nothing to write; no save "succeeds" with it.
  if (EmptyImage(b)) {
    Fail(iorFailed, "there is no image to save");
    return false;
  }
  source.Bitmap = &b;
  const TPXPixelFormat f = b.PixelFormat();
  if ((writerFormats & PXFormatBit(f)) == 0) {
    // The working bitmap stays as it is; the writer gets a converted copy.
    source.Copy = CopyAsBGR24(b);
    if (!source.Copy) {
      Fail(iorNoMemory, "no storage for a 24-bit copy of the image");
      return false;
    }
    source.Bitmap = source.Copy.get();
  }
  source.Alpha = (withAlpha && b.HasAlphaChannel()) ? b.GetAlphaChannel() : nullptr;
  return true;
}

void TPixoranIO::WriteCore(TStream& stream, const TPXFormatCodec& codec, TSaveSource& source, bool withHeader) {
  TPXProgressRec progress = MakeProgress();
  if (codec.BeforeWrite && !codec.BeforeWrite(*params_)) {
    Fail(iorFailed, std::string(codec.FullName ? codec.FullName : "writer") + ": the parameters were refused");
    return;
  }
  int64_t start = 0;
  if (withHeader) {
    start = stream.Position();
    const uint8_t zero[kPXStreamHeaderSize] = {};
    if (stream.Write(zero, kPXStreamHeaderSize) != kPXStreamHeaderSize) {
      Fail(iorWriteFailed, WriteFailureText(stream));
      return;
    }
  }
  {
    // A writer only reads the picture: rows of a temporary file are not
    // written back (on a full disk that write would fail the save).
    TPXAccessScope readOnly(*source.Bitmap, pxaRead);
    codec.Write(stream, *source.Bitmap, *params_, progress, source.Alpha);
  }
  NoteWriteFailure(stream);
  if (!withHeader || ((codec.Flags & cfHeaderOnSuccess) && aborting_)) return;
  const int64_t end = stream.Position();
  const int64_t length = std::clamp<int64_t>(end - start - kPXStreamHeaderSize, 0, 0xFFFFFFFFll);
  uint8_t h[kPXStreamHeaderSize] = {};
  std::memcpy(h, codec.Magic, 4);
  PutLE32(h + 8, static_cast<uint32_t>(length));
  stream.SetPosition(start);
  if (stream.Write(h, kPXStreamHeaderSize) != kPXStreamHeaderSize) Fail(iorWriteFailed, WriteFailureText(stream));
  stream.SetPosition(end);
}

void TPixoranIO::SaveFileBody(const std::string& fileName, int32_t fileType) {
  aborting_ = true;
  if (fileName.empty()) {
    Fail(iorNotFound, "no file name given");
    return;
  }
  const TPXFormatCodec* codec = FindFormatCodec(fileType);
  if (!codec || !codec->Write) {
    Fail(iorUnknownFormat, NoWriterText(fileType));
    return;
  }
  TSaveSource source;
  if (!PrepareSaveSource(codec->WriterFormats, codec->Flags & cfAlphaToWriter, source)) return;
  TSiblingTempFile file(fileName);
  aborting_ = false;
  // Stream headers are for streams only.
  WriteCore(file.Stream(), *codec, source, false);
  if (!aborting_) CommitSave(file, fileName);
}

void TPixoranIO::CommitSave(TSiblingTempFile& file, const std::string& fileName) {
  if (file.Commit()) return;
  const int error = file.LastError();
  Fail(iorWriteFailed,
       "cannot write " + fileName + ": " + (error != 0 ? std::strerror(error) : "the file was not replaced"));
}

void TPixoranIO::NoteWriteFailure(TStream& stream) {
  // Writers that go around the checked writes (the codec libraries' own
  // outputs) fail with no reason: a failed write to the stream is it.
  if (!aborting_ || result_.Kind != iorOk) return;
  if (auto* fs = dynamic_cast<TFileStream*>(&stream); fs && fs->LastWriteError() != 0)
    result_.Set(iorWriteFailed, WriteFailureText(stream));
}

void TPixoranIO::SaveStreamBody(TStream& stream, int32_t fileType) {
  aborting_ = false;
  const TPXFormatCodec* codec = FindFormatCodec(fileType);
  TSaveSource source;
  if (!codec || !codec->Write) {
    Fail(iorUnknownFormat, NoWriterText(fileType));
    return;
  }
  if (!PrepareSaveSource(codec->WriterFormats, codec->Flags & cfAlphaToWriter, source)) {
    aborting_ = true;
    return;
  }
  WriteCore(stream, *codec, source, streamHeaders_ && codec->Magic != nullptr);
}

// ---------------------------------------------------------------- registry formats

void TPixoranIO::LoadFileRegistry(const std::string& fileName, const TPXFileFormatInfo* info) {
  params_->FileName.clear();
  params_->FileType = ioUnknown;
  params_->ResetInfo();
  if (!info || !info->ReadFunction) {
    Fail(iorUnknownFormat, "no reader for the extension of " + fileName);
    return;
  }
  // Built-in records (e.g. the TGA record naming .pix) are read by the
  // component itself: their registry reader is only a mark.
  if (IsBuiltinReadPlaceholder(info->ReadFunction)) {
    LoadFileBody(fileName, info->FileType);
    return;
  }
  const TPXReadFunction read = info->ReadFunction;
  const int32_t fileType = info->FileType;
  aborting_ = true;
  TFileStream fs(fileName, fmOpenRead);
  aborting_ = false;
  TPXProgressRec progress = MakeProgress();
  params_->FileName = fileName;
  params_->FileType = fileType;
  try {
    read(fs, *working_, *params_, progress, false);
  } catch (...) {
    // A load by extension through the registry never raises.
    std::string text;
    const TPXIOResult kind = IOResultOfException(std::current_exception(), text);
    Fail(kind, std::move(text));
  }
  if (!aborting_) {
    if (autoAdjustDPI_) AdjustBitmapDPI();
    TellViewerDpi();
  }
  UpdateAttached();
}

void TPixoranIO::LoadStreamRegistry(TStream& stream, int32_t fileType) {
  params_->ResetInfo();
  params_->FileName.clear();
  params_->FileType = ioUnknown;
  const TPXFileFormatInfo* info = FindFileFormatInfo(fileType);
  if (!info || !info->ReadFunction) {
    Fail(iorUnknownFormat,
         fileType == ioUnknown ? std::string("the content is not of a known image format") : NoReaderText(fileType));
    return;
  }
  if (IsBuiltinReadPlaceholder(info->ReadFunction)) {
    LoadCore(stream, info->FileType, false);
    return;
  }
  const TPXReadFunction read = info->ReadFunction;
  aborting_ = false;
  if (!PrepareBitmap(0)) {
    Fail(iorFailed, "the attached bitmap cannot take the image");
    return;
  }
  TPXProgressRec progress = MakeProgress();
  params_->FileType = info->FileType;
  read(stream, *working_, *params_, progress, false);  // an exception passes to the caller
  if (!aborting_) {
    if (autoAdjustDPI_) AdjustBitmapDPI();
    TellViewerDpi();
  }
  UpdateAttached();
}

void TPixoranIO::SaveFileRegistry(const std::string& fileName, const TPXFileFormatInfo* info) {
  aborting_ = true;
  if (!info || !info->WriteFunction) {
    Fail(iorUnknownFormat, "no writer for the extension of " + fileName);
    return;
  }
  if (IsBuiltinWritePlaceholder(info->WriteFunction)) {
    SaveFileBody(fileName, info->FileType);
    return;
  }
  const TPXWriteFunction write = info->WriteFunction;
  const int32_t fileType = info->FileType;
  TSaveSource source;
  if (!PrepareSaveSource(kPXWriter24, false, source)) return;
  TSiblingTempFile file(fileName);
  aborting_ = false;
  TPXProgressRec progress = MakeProgress();
  params_->FileName = fileName;
  params_->FileType = fileType;
  write(file.Stream(), *source.Bitmap, *params_, progress);
  NoteWriteFailure(file.Stream());
  if (!aborting_) CommitSave(file, fileName);
}

void TPixoranIO::SaveStreamRegistry(TStream& stream, int32_t fileType) {
  const TPXFileFormatInfo* info = FindFileFormatInfo(fileType);
  if (!info || !info->WriteFunction) {
    Fail(iorUnknownFormat, NoWriterText(fileType));
    return;
  }
  if (IsBuiltinWritePlaceholder(info->WriteFunction)) {
    SaveStreamBody(stream, info->FileType);
    return;
  }
  const TPXWriteFunction write = info->WriteFunction;
  aborting_ = false;
  TSaveSource source;
  if (!PrepareSaveSource(kPXWriter24, false, source)) {
    aborting_ = true;
    return;
  }
  TPXProgressRec progress = MakeProgress();
  params_->FileType = info->FileType;
  write(stream, *source.Bitmap, *params_, progress);
  NoteWriteFailure(stream);
}

// ---------------------------------------------------------------- dispatch

void TPixoranIO::LoadFileOfType(const std::string& fileName, int32_t fileType) {
  const TPXFormatCodec* codec = FindFormatCodec(fileType);
  switch (codec ? codec->WholeFile : wfNone) {
    case wfPicture: ImportMetafile(fileName, -1, -1, true); return;
    case wfFirstFrame: LoadAVIFileFirstFrame(fileName); return;
    case wfNone: break;
  }
  LoadFileBuiltin(fileName, fileType);
}

void TPixoranIO::LoadFromFile(const std::string& fileName) {
  // The override, if any, is what runs on the worker.
  if (HandOff([this, fileName] { LoadFromFile(fileName); })) return;
  if (fileName.empty()) {
    RunOperation([&] { Fail(iorNotFound, "no file name given"); });
    return;
  }
  const std::string scheme = LowerCaseASCII(fileName.substr(0, 8));
  if (scheme.compare(0, 7, "http://") == 0 || scheme == "https://") {
    LoadFromURL(fileName);
    return;
  }
  const TPXExtensionRoute* route = FindExtensionRoute(LowerCaseASCII(ExtractFileExt(fileName)));
  if (route && route->LoadType != ioUnknown) {
    LoadFileOfType(fileName, route->LoadType);
    return;
  }
  std::string ext = ExtractFileExt(fileName);
  if (!ext.empty()) ext.erase(0, 1);
  RunOperation([&] { LoadFileRegistry(fileName, FindFileFormatInfoByExtension(ext)); });
}

void TPixoranIO::SaveToFile(const std::string& fileName) {
  if (HandOff([this, fileName] { SaveToFile(fileName); })) return;
  if (fileName.empty()) {
    RunOperation([&] { Fail(iorNotFound, "no file name given"); });
    return;
  }
  const TPXExtensionRoute* route = FindExtensionRoute(LowerCaseASCII(ExtractFileExt(fileName)));
  if (route && route->SaveType != ioUnknown) {
    SaveFileBuiltin(fileName, route->SaveType);
    return;
  }
  std::string ext = ExtractFileExt(fileName);
  if (!ext.empty()) ext.erase(0, 1);
  RunOperation([&] { SaveFileRegistry(fileName, FindFileFormatInfoByExtension(ext)); });
}

void TPixoranIO::LoadFromFileFormat(const std::string& fileName, int32_t fileType) {
  if (HandOff([this, fileName, fileType] { LoadFromFileFormat(fileName, fileType); })) return;
  const TPXFormatCodec* codec = FindFormatCodec(fileType);
  if (fileName.empty()) {
    RunOperation([&] { Fail(iorNotFound, "no file name given"); });
  } else if (codec && (codec->Flags & cfLoadFile)) {
    LoadFileOfType(fileName, fileType);
  } else {
    RunOperation([&] { LoadFileRegistry(fileName, FindFileFormatInfo(fileType)); });
  }
}

void TPixoranIO::LoadFromStream(TStream& stream) {
  if (HandOff([this, s = &stream] { LoadFromStream(*s); })) return;
  const int32_t fileType = FindStreamFormat(stream);
  const TPXFormatCodec* codec = FindFormatCodec(fileType);
  if (codec && (codec->Flags & cfLoadDetected)) LoadStreamBuiltin(stream, fileType);
  else RunOperation([&] { LoadStreamRegistry(stream, fileType); });
}

void TPixoranIO::LoadFromStreamFormat(TStream& stream, int32_t fileType) {
  if (HandOff([this, s = &stream, fileType] { LoadFromStreamFormat(*s, fileType); })) return;
  const TPXFormatCodec* codec = FindFormatCodec(fileType);
  if (codec && (codec->Flags & cfLoadStream)) LoadStreamBuiltin(stream, fileType);
  else RunOperation([&] { LoadStreamRegistry(stream, fileType); });
}

void TPixoranIO::SaveToStream(TStream& stream, int32_t fileType) {
  if (HandOff([this, s = &stream, fileType] { SaveToStream(*s, fileType); })) return;
  const TPXFormatCodec* codec = FindFormatCodec(fileType);
  if (codec && (codec->Flags & cfSave)) SaveStreamBuiltin(stream, fileType);
  else RunOperation([&] { SaveStreamRegistry(stream, fileType); });
}

void TPixoranIO::LoadFromBuffer(const void* buffer, int64_t size, int32_t fileType) {
  // The stream lives on this frame: the load is a step of this operation
  // and runs here, whatever AsyncMode says.
  TReadOnlyMemoryStream ms(buffer, buffer ? size : 0);
  RunOperation([&] {
    RunInner([&] {
      if (fileType != ioUnknown) LoadFromStreamFormat(ms, fileType);
      else LoadFromStream(ms);
    });
  });
}

// ---------------------------------------------------------------- parameter reads

void TPixoranIO::ParamsRead(TStream& stream, int32_t fileType, bool fromFile) {
  // Readers are given a scratch bitmap: the working bitmap keeps its image.
  TPXBitmap scratch;
  TPXProgressRec progress = MakeProgress(false);
  const TPXFormatCodec* codec = FindFormatCodec(fileType);
  if (codec && codec->Read && (codec->Flags & (cfLoadFile | cfLoadStream))) {
    THeaderInfo header;
    if (!ReadStreamHeader(stream, *codec, fromFile, header)) {
      Fail(iorCorrupt, std::string(codec->FullName ? codec->FullName : "stream") + ": the stream header is missing");
      return;
    }
    TPXBitmap mask;
    codec->Read(stream, scratch, *params_, progress, true, header.DataLength, mask);
    if (codec->AfterRead) codec->AfterRead(*params_);
    return;
  }
  const TPXFileFormatInfo* info = FindFileFormatInfo(fileType);
  if (info && info->ReadFunction && !IsBuiltinReadPlaceholder(info->ReadFunction)) {
    info->ReadFunction(stream, scratch, *params_, progress, true);
    return;
  }
  Fail(iorUnknownFormat,
       fileType == ioUnknown ? std::string("the content is not of a known image format") : NoReaderText(fileType));
}

void TPixoranIO::ParamsFromFileFormat(const std::string& fileName, int32_t fileType) {
  RunOperation([&] {
    params_->FileType = fileType;
    params_->ResetInfo();
    aborting_ = true;
    try {
      TFileStream fs(fileName, fmOpenRead);
      aborting_ = false;
      ParamsRead(fs, fileType, true);
    } catch (...) {
      std::string text;
      const TPXIOResult kind = IOResultOfException(std::current_exception(), text);
      Fail(kind, std::move(text));
    }
    if (aborting_) params_->FileType = ioUnknown;
    params_->FileName = fileName;
  });
}

void TPixoranIO::ParamsFromFile(const std::string& fileName) {
  ParamsFromFileFormat(fileName, FindFileFormat(fileName, true));
}

void TPixoranIO::ParamsFromStreamFormat(TStream& stream, int32_t fileType) {
  RunOperation([&] {
    params_->FileType = fileType;
    params_->ResetInfo();
    aborting_ = false;
    try {
      ParamsRead(stream, fileType, false);
    } catch (...) {
      std::string text;
      const TPXIOResult kind = IOResultOfException(std::current_exception(), text);
      Fail(kind, std::move(text));
    }
    if (aborting_) params_->FileType = ioUnknown;
    params_->FileName.clear();
  });
}

void TPixoranIO::ParamsFromStream(TStream& stream) { ParamsFromStreamFormat(stream, FindStreamFormat(stream)); }

// ---------------------------------------------------------------- source text

void TPixoranIO::SaveToSourceText(const std::string& fileName, int32_t fileType, int32_t format) {
  if (HandOff([this, fileName, fileType, format] { SaveToSourceText(fileName, fileType, format); })) return;
  RunOperation([&] {
    aborting_ = true;
    if (fileName.empty() || !PrepareBitmap(0) || EmptyImage(*working_)) return;
    std::string text;
    if (format >= 0 && format <= 2) {
      TMemoryStream encoded;
      RunInner([&] { SaveToStream(encoded, fileType); });
      const int64_t n = encoded.Size();
      if (aborting_ || n == 0) {
        aborting_ = true;
        return;
      }
      const uint8_t* bytes = encoded.Memory();
      std::string ident = ExtractFileName(fileName);
      if (const size_t dot = ident.find('.'); dot != std::string::npos) ident[dot] = '_';
      if (format == 0) {
        text += "const\n";
        text += "  " + ident + "_Size = " + std::to_string(n) + ";\n";
        text += "  " + ident + " : array [0.." + ident + "_Size-1] of byte = (\n";
        std::string line;
        for (int64_t i = 0; i + 1 < n; ++i) {
          line += "$" + Hex2(bytes[i]) + ",";
          if (line.size() > 70) {
            text += "    " + line + "\n";
            line.clear();
          }
        }
        text += "    " + line + "$" + Hex2(bytes[n - 1]) + ");\n";
      } else if (format == 1) {
        text += "\\\\ Size=" + std::to_string(n) + "\n";
        std::string line;
        for (int64_t i = 0; i + 1 < n; ++i) {
          line += "0x" + Hex2(bytes[i]) + ",";
          if (line.size() > 70) {
            text += line + "\n";
            line.clear();
          }
        }
        text += line + "0x" + Hex2(bytes[n - 1]) + "\n";
      } else {
        TMemoryStream base64;
        encoded.SetPosition(0);
        if (!Base64EncodeStreamToText(encoded, base64, 76)) return;
        text.assign(reinterpret_cast<const char*>(base64.Memory()), static_cast<size_t>(base64.Size()));
      }
    } else if (format == 3) {
      if (working_->PixelFormat() != pxBGR24) return;
      static const char kRamp[] = "W@#*+:., ";  // dark to light
      const int32_t w = working_->Width(), h = working_->Height();
      text.reserve(static_cast<size_t>(w + 1) * static_cast<size_t>(h));
      for (int32_t y = 0; y < h; ++y) {
        const uint8_t* row = working_->Scanline(y);
        if (!row) return;
        for (int32_t x = 0; x < w; ++x, row += 3) {
          const int32_t grey = BGRLuminance(TBGR{row[0], row[1], row[2]});
          const int32_t i = std::clamp(TruncToInt32(grey / 255.0 * 9), 0, 8);
          text += kRamp[i];
        }
        text += '\n';
      }
    } else {
      return;
    }
    TSiblingTempFile file(fileName);
    aborting_ = false;
    const auto len = static_cast<int64_t>(text.size());
    if (file.Stream().Write(text.data(), len) != len) Fail(iorWriteFailed, WriteFailureText(file.Stream()));
    if (!aborting_) CommitSave(file, fileName);
  });
}

}  // namespace pixoran
