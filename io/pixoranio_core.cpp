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

// ---------------------------------------------------------------- the pipeline
//
// Every load and save takes one way: open, detect (by extension, type or
// content: the dispatch below picks a record), prepare, read or write,
// finish. The record decides every step that differs between formats; an
// application's registered filter comes wrapped in a record of its own
// (CodecOfRegistryEntry), whose steps are the registry's.

int32_t TPixoranIO::LoadFileBuiltin(const std::string& fileName, int32_t fileType) {
  if (HandOff([this, fileName, fileType] { LoadFileBuiltin(fileName, fileType); })) return -1;
  // Counted before the finishing events, after which the component may be gone.
  int32_t count = 0;
  RunOperation([&] {
    LoadFile(fileName, FindFormatCodec(fileType), fileType, false);
    count = LoadedImageCount(fileType);
  });
  return count;
}

int32_t TPixoranIO::LoadStreamBuiltin(TStream& stream, int32_t fileType) {
  if (HandOff([this, s = &stream, fileType] { LoadStreamBuiltin(*s, fileType); })) return -1;
  int32_t count = 0;
  RunOperation([&] {
    LoadThrough(stream, FindFormatCodec(fileType), fileType, nullptr);
    count = LoadedImageCount(fileType);
  });
  return count;
}

int32_t TPixoranIO::LoadedImageCount(int32_t fileType) const {
  const TPXFormatCodec* codec = FindFormatCodec(fileType);
  return codec && codec->ImageCount ? (*params_).*(codec->ImageCount) : 0;
}

void TPixoranIO::LoadFile(const std::string& fileName, const TPXFormatCodec* codec, int32_t fileType,
                          bool viaRegistry) {
  const bool app = codec && codec->AppRead;
  if (viaRegistry) {
    // The registry's way: the record describes nothing of the last image,
    // even when the file then cannot be opened.
    params_->FileName.clear();
    params_->FileType = ioUnknown;
    params_->ResetInfo();
    if (!app && !(codec && codec->Read)) {
      Fail(iorUnknownFormat,
           fileType == ioUnknown ? "no reader for the extension of " + fileName : NoReaderText(fileType));
      return;
    }
  }
  // Set before the open: a file that cannot be opened is a failed load.
  aborting_ = true;
  TFileStream fs(fileName, fmOpenRead);
  LoadThrough(fs, codec, fileType, &fileName);
  if (!app) params_->FileName = fileName;
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
  } else if (required && codec.ShortMagic && got >= 4 && std::memcmp(b, codec.ShortMagic, 3) == 0 && b[3] == 0) {
    // The older header: no length, the data runs to the end of the stream.
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

void TPixoranIO::LoadThrough(TStream& stream, const TPXFormatCodec* codec, int32_t fileType,
                             const std::string* fileName) {
  aborting_ = false;
  const bool app = codec && codec->AppRead;
  if (!codec || !(codec->Read || app)) {
    if (!app) {
      params_->ResetInfo();
      params_->FileName.clear();
      params_->FileType = ioUnknown;
    }
    Fail(iorUnknownFormat,
         fileType == ioUnknown ? std::string("the content is not of a known image format") : NoReaderText(fileType));
    return;
  }
  TPXProgressRec progress = MakeProgress();

  // Prepare. An application's reader by file name is given the bitmap as it is.
  if (app) {
    params_->ResetInfo();
    params_->FileName = fileName ? *fileName : std::string();
    params_->FileType = ioUnknown;
  }
  if (!(app && fileName) && !PrepareBitmap(0)) {
    Fail(iorFailed, "the attached bitmap cannot take the image");
    return;
  }
  THeaderInfo header;
  if (app) {
    params_->FileType = codec->FileType;
  } else {
    params_->ResetInfo();
    if (!ReadStreamHeader(stream, *codec, fileName != nullptr, header)) {
      Fail(iorCorrupt, std::string(codec->FullName ? codec->FullName : "stream") + ": the stream header is missing");
      return;
    }
    working_->RemoveAlphaChannel();
  }

  // Read.
  TPXBitmap mask;
  if (!app) {
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
  } else if (fileName) {
    // A load by file name through the registry never raises.
    try {
      codec->AppRead(stream, *working_, *params_, progress, false);
    } catch (...) {
      FailFromException(std::current_exception());
    }
  } else {
    codec->AppRead(stream, *working_, *params_, progress, false);  // an exception passes to the caller
  }

  // Finish.
  if (!app) {
    if (!aborting_ && (codec->Flags & cfAlphaFromReader)) CopyAlphaMask(mask);
    FixDefaultDPI();
    if (codec->AfterRead) codec->AfterRead(*params_, result_);
    // The reader may have read ahead of its data.
    if (header.Present) stream.SetPosition(header.End);
  }
  if (!aborting_ && autoAdjustDPI_ && !(codec->Flags & cfNoAutoAdjustDPI)) AdjustBitmapDPI();
  if (TBGR c; codec->ViewerBackground && codec->ViewerBackground(*params_, c)) SetBackground(RGBColor(c.r, c.g, c.b));
  if (!app) {
    params_->FileName = fileName ? *fileName : std::string();
    params_->FileType = codec->FileType;
  }
  if (!app || !aborting_) TellViewerDpi();
  UpdateAttached();
}

// ---------------------------------------------------------------- saves

void TPixoranIO::SaveFileBuiltin(const std::string& fileName, int32_t fileType) {
  if (HandOff([this, fileName, fileType] { SaveFileBuiltin(fileName, fileType); })) return;
  RunOperation([&] { SaveFile(fileName, FindFormatCodec(fileType), fileType); });
}

void TPixoranIO::SaveStreamBuiltin(TStream& stream, int32_t fileType) {
  if (HandOff([this, s = &stream, fileType] { SaveStreamBuiltin(*s, fileType); })) return;
  RunOperation([&] { SaveThrough(stream, FindFormatCodec(fileType), fileType); });
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

void TPixoranIO::WriteCore(TStream& stream, const TPXFormatCodec& codec, TSaveSource& source, bool withHeader,
                           const std::string* fileName) {
  TPXProgressRec progress = MakeProgress();
  if (codec.AppWrite) {
    if (fileName) params_->FileName = *fileName;
    params_->FileType = codec.FileType;
    codec.AppWrite(stream, *source.Bitmap, *params_, progress);
    NoteWriteFailure(stream);
    return;
  }
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
  try {
    // A writer only reads the picture: rows of a temporary file are not
    // written back (on a full disk that write would fail the save).
    TPXAccessScope readOnly(*source.Bitmap, pxaRead);
    codec.Write(stream, *source.Bitmap, *params_, progress, source.Alpha);
  } catch (...) {
    // A codec library's own failure raised after a write failed: that write is the reason.
    aborting_ = true;
    NoteWriteFailure(stream);
    throw;
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

bool TPixoranIO::HasWriter(const TPXFormatCodec* codec, int32_t fileType, const std::string* fileName) {
  if (codec && (codec->Write || codec->AppWrite)) return true;
  Fail(iorUnknownFormat,
       fileType == ioUnknown && fileName ? "no writer for the extension of " + *fileName : NoWriterText(fileType));
  return false;
}

void TPixoranIO::SaveFile(const std::string& fileName, const TPXFormatCodec* codec, int32_t fileType) {
  aborting_ = true;
  if (fileName.empty()) {
    Fail(iorNotFound, "no file name given");
    return;
  }
  if (!HasWriter(codec, fileType, &fileName)) return;
  TSaveSource source;
  if (!PrepareSaveSource(codec->WriterFormats, codec->Flags & cfAlphaToWriter, source)) return;
  TSiblingTempFile file(fileName);
  aborting_ = false;
  // Stream headers are for streams only.
  WriteCore(file.Stream(), *codec, source, false, &fileName);
  if (!aborting_) CommitSave(file, fileName);
}

void TPixoranIO::SaveThrough(TStream& stream, const TPXFormatCodec* codec, int32_t fileType) {
  aborting_ = false;
  if (!HasWriter(codec, fileType, nullptr)) return;
  TSaveSource source;
  if (!PrepareSaveSource(codec->WriterFormats, codec->Flags & cfAlphaToWriter, source)) return;
  WriteCore(stream, *codec, source, streamHeaders_ && codec->Magic != nullptr && !codec->AppWrite, nullptr);
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
  RunOperation([&] { LoadFileOfEntry(fileName, FindFileFormatInfoByExtension(ext)); });
}

void TPixoranIO::LoadFileOfEntry(const std::string& fileName, const TPXFileFormatInfo* info) {
  // A built-in entry (e.g. the TGA record naming .pix) loads by its record.
  TPXFormatCodec wrapped;
  const TPXFormatCodec* codec = CodecOfRegistryEntry(info, wrapped);
  LoadFile(fileName, codec, codec ? codec->FileType : ioUnknown, true);
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
  RunOperation([&] {
    TPXFormatCodec wrapped;
    const TPXFormatCodec* codec = CodecOfRegistryEntry(FindFileFormatInfoByExtension(ext), wrapped);
    SaveFile(fileName, codec, ioUnknown);
  });
}

void TPixoranIO::LoadFromFileFormat(const std::string& fileName, int32_t fileType) {
  if (HandOff([this, fileName, fileType] { LoadFromFileFormat(fileName, fileType); })) return;
  const TPXFormatCodec* codec = FindFormatCodec(fileType);
  if (fileName.empty()) {
    RunOperation([&] { Fail(iorNotFound, "no file name given"); });
  } else if (codec && (codec->Flags & cfLoadFile)) {
    LoadFileOfType(fileName, fileType);
  } else {
    RunOperation([&] {
      TPXFormatCodec wrapped;
      LoadFile(fileName, CodecOfRegistryEntry(FindFileFormatInfo(fileType), wrapped), fileType, true);
    });
  }
}

void TPixoranIO::LoadStreamOfType(TStream& stream, int32_t fileType, uint16_t direct) {
  const TPXFormatCodec* codec = FindFormatCodec(fileType);
  if (codec && (codec->Flags & direct)) {
    LoadStreamBuiltin(stream, fileType);
    return;
  }
  RunOperation([&] {
    TPXFormatCodec wrapped;
    LoadThrough(stream, CodecOfRegistryEntry(FindFileFormatInfo(fileType), wrapped), fileType, nullptr);
  });
}

void TPixoranIO::LoadFromStream(TStream& stream) {
  if (HandOff([this, s = &stream] { LoadFromStream(*s); })) return;
  LoadStreamOfType(stream, FindStreamFormat(stream), cfLoadDetected);
}

void TPixoranIO::LoadFromStreamFormat(TStream& stream, int32_t fileType) {
  if (HandOff([this, s = &stream, fileType] { LoadFromStreamFormat(*s, fileType); })) return;
  LoadStreamOfType(stream, fileType, cfLoadStream);
}

void TPixoranIO::SaveToStream(TStream& stream, int32_t fileType) {
  if (HandOff([this, s = &stream, fileType] { SaveToStream(*s, fileType); })) return;
  const TPXFormatCodec* codec = FindFormatCodec(fileType);
  if (codec && (codec->Flags & cfSave)) {
    SaveStreamBuiltin(stream, fileType);
    return;
  }
  RunOperation([&] {
    TPXFormatCodec wrapped;
    SaveThrough(stream, CodecOfRegistryEntry(FindFileFormatInfo(fileType), wrapped), fileType);
  });
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
  TPXFormatCodec wrapped;
  if (!codec || !codec->Read || !(codec->Flags & (cfLoadFile | cfLoadStream)))
    codec = CodecOfRegistryEntry(FindFileFormatInfo(fileType), wrapped);
  if (codec && codec->AppRead) {
    codec->AppRead(stream, scratch, *params_, progress, true);
    return;
  }
  if (!codec || !codec->Read || !(codec->Flags & (cfLoadFile | cfLoadStream))) {
    Fail(iorUnknownFormat,
         fileType == ioUnknown ? std::string("the content is not of a known image format") : NoReaderText(fileType));
    return;
  }
  THeaderInfo header;
  if (!ReadStreamHeader(stream, *codec, fromFile, header)) {
    Fail(iorCorrupt, std::string(codec->FullName ? codec->FullName : "stream") + ": the stream header is missing");
    return;
  }
  TPXBitmap mask;
  codec->Read(stream, scratch, *params_, progress, true, header.DataLength, mask);
  if (codec->AfterRead) codec->AfterRead(*params_, result_);
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
      FailFromException(std::current_exception());
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
      FailFromException(std::current_exception());
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
    if (fileName.empty()) {
      Fail(iorNotFound, "no file name given");
      return;
    }
    if (!PrepareBitmap(0) || EmptyImage(*working_)) {
      Fail(iorFailed, "there is no image to save");
      return;
    }
    std::string text;
    if (format >= 0 && format <= 2) {
      TMemoryStream encoded;
      RunInner([&] { SaveToStream(encoded, fileType); });
      const int64_t n = encoded.Size();
      if (aborting_ || n == 0) {
        Fail(iorFailed, "the image could not be encoded");
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
      if (working_->PixelFormat() != pxBGR24) {
        Fail(iorUnsupported, "the character picture is made of 24-bit images only");
        return;
      }
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
      Fail(iorUnsupported, "source-text format " + std::to_string(format) + " does not exist");
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
