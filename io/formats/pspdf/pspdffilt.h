#pragma once
// PostScript (Level 2) and PDF (1.4) writers: each page holds one image
// scaled to fit the paper and placed at its top-left corner. Bilevel images
// are written run-length or CCITT coded, colour images run-length (PS),
// uncompressed (PDF) or as JPEG.
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/pxexport.h"
#include "core/kopxutils_bitmap.h"
#include "io/pixoranio_params.h"
#include "core/pxprogress.h"
#include "platform/streams.h"

namespace pixoran {

// ---------------------------------------------------------------- encoders

// Appends the ASCII85 text of count bytes to destination: lines end (CR LF)
// once a group takes them past 74 characters; the text ends with "~>" and
// CR LF. Returns the bytes appended.
PIXORAN_IO_EXPORT int64_t EncodeASCII85(const uint8_t* source, int64_t count, std::vector<uint8_t>& destination);
// Appends the RunLengthDecode form of count bytes, ending with 128. Returns
// the bytes appended.
PIXORAN_IO_EXPORT int64_t EncodeRunLength(const uint8_t* source, int64_t count, std::vector<uint8_t>& destination);

// The fitted size of an image on a paper: the image scaled by
// min(paper height / height, paper width / width), each side truncated and
// at least 1.
PIXORAN_IO_EXPORT std::pair<int32_t, int32_t> FitImageToPaper(int32_t width, int32_t height, int32_t paperWidth,
                                                              int32_t paperHeight);

// ---------------------------------------------------------------- PostScript

// A PostScript document being written: where the "%%Pages:" line starts and
// where the next page or the trailer goes.
struct PIXORAN_IO_EXPORT TPXPSState {
  int64_t PagesPosition = 0;
  int64_t AppendPosition = 0;
  int32_t Pages = 0;
  bool WriteFailed = false;  // a write fell short somewhere
};

PIXORAN_IO_EXPORT std::unique_ptr<TPXPSState> WritePSHeader(TStream& stream, TIOParamsVals& params);
// Appends a page and counts it in the "%%Pages:" line. A short write sets
// Aborting.
PIXORAN_IO_EXPORT void WritePSPage(TPXPSState& state, TStream& stream, TPXBitmap& bitmap, TPXProgressRec& progress,
                                   TIOParamsVals& params);
// Ends the document and frees the state (nullptr is ignored). False when any
// write of the document fell short.
PIXORAN_IO_EXPORT bool WritePSTrailer(std::unique_ptr<TPXPSState> state, TStream& stream);
// A one-page document. Failure sets Aborting.
PIXORAN_IO_EXPORT void WritePSStream(TStream& stream, TPXBitmap& bitmap, TIOParamsVals& params,
                                     TPXProgressRec& progress);

// ---------------------------------------------------------------- PDF objects

class TPXPDFWriter;

// An object of the PDF file: direct (number 0) or indirect (numbered in
// the document).
class PIXORAN_IO_EXPORT TPXPDFObject {
 public:
  virtual ~TPXPDFObject() = default;
  virtual void Write(TPXPDFWriter& out) const = 0;
  int32_t Number = 0;
  int64_t Offset = 0;  // position of the indirect object once written
};

class PIXORAN_IO_EXPORT TPXPDFRefObject : public TPXPDFObject {
 public:
  TPXPDFRefObject(int32_t number, int32_t generation = 0) : RefNumber(number), Generation(generation) {}
  void Write(TPXPDFWriter& out) const override;
  int32_t RefNumber, Generation;
};

class PIXORAN_IO_EXPORT TPXPDFBooleanObject : public TPXPDFObject {
 public:
  explicit TPXPDFBooleanObject(bool value) : Value(value) {}
  void Write(TPXPDFWriter& out) const override;
  bool Value;
};

class PIXORAN_IO_EXPORT TPXPDFNumericObject : public TPXPDFObject {
 public:
  explicit TPXPDFNumericObject(double value) : Value(value) {}
  void Write(TPXPDFWriter& out) const override;
  double Value;
};

// Text in UTF-8: written as is when it is ASCII, else as UTF-16BE with a
// byte-order mark.
class PIXORAN_IO_EXPORT TPXPDFStringObject : public TPXPDFObject {
 public:
  explicit TPXPDFStringObject(std::string value) : Value(std::move(value)) {}
  void Write(TPXPDFWriter& out) const override;
  std::string Value;
};

class PIXORAN_IO_EXPORT TPXPDFNameObject : public TPXPDFObject {
 public:
  explicit TPXPDFNameObject(std::string value) : Value(std::move(value)) {}
  void Write(TPXPDFWriter& out) const override;
  std::string Value;
};

class PIXORAN_IO_EXPORT TPXPDFArrayObject : public TPXPDFObject {
 public:
  void Write(TPXPDFWriter& out) const override;
  TPXPDFArrayObject& Add(std::unique_ptr<TPXPDFObject> item);
  std::vector<std::unique_ptr<TPXPDFObject>> Items;
};

class PIXORAN_IO_EXPORT TPXPDFDictionaryObject : public TPXPDFObject {
 public:
  void Write(TPXPDFWriter& out) const override;
  // Replaces the value of an existing key, else appends the entry.
  TPXPDFDictionaryObject& Set(const std::string& key, std::unique_ptr<TPXPDFObject> value);
  // Puts the entry first (or moves an existing one there).
  TPXPDFDictionaryObject& SetFirst(const std::string& key, std::unique_ptr<TPXPDFObject> value);
  TPXPDFObject* Get(const std::string& key) const;
  std::vector<std::pair<std::string, std::unique_ptr<TPXPDFObject>>> Entries;
};

class PIXORAN_IO_EXPORT TPXPDFStreamObject : public TPXPDFObject {
 public:
  TPXPDFStreamObject();
  void Write(TPXPDFWriter& out) const override;
  std::vector<uint8_t> Data;
  std::unique_ptr<TPXPDFDictionaryObject> Dictionary;  // made with "Length" 0
};

// Gathers the file's bytes, writing them to the stream in blocks; counts
// the position and notes a short write.
class PIXORAN_IO_EXPORT TPXPDFWriter {
 public:
  explicit TPXPDFWriter(TStream& stream) : stream_(stream) {}
  ~TPXPDFWriter() { Flush(); }
  void Put(const std::string& text) { Put(text.data(), static_cast<int64_t>(text.size())); }
  void Put(const void* data, int64_t count);
  int64_t Position() const { return written_ + static_cast<int64_t>(buffer_.size()); }
  // Writes what is gathered; false once any write fell short.
  bool Flush();
  bool Failed() const { return failed_; }

 private:
  TStream& stream_;
  std::string buffer_;
  int64_t written_ = 0;
  bool failed_ = false;
};

// A PDF document being built: its indirect objects in number order, the
// pages, images and contents among them, and the shared resources.
struct PIXORAN_IO_EXPORT TPXPDFDocument {
  std::vector<std::unique_ptr<TPXPDFObject>> Objects;
  std::vector<TPXPDFDictionaryObject*> Pages;
  std::vector<TPXPDFStreamObject*> Images;
  std::vector<TPXPDFStreamObject*> Contents;
  TPXPDFDictionaryObject* Resources = nullptr;
  // Numbers the object as the next indirect one and keeps it.
  TPXPDFObject* AddIndirect(std::unique_ptr<TPXPDFObject> object);
};

PIXORAN_IO_EXPORT std::unique_ptr<TPXPDFDocument> CreatePDFDocument();
// Adds a page holding the bitmap. Failure (a JPEG that could not be
// written) sets Aborting.
PIXORAN_IO_EXPORT void AddPDFPage(TPXPDFDocument& document, TPXBitmap& bitmap, TIOParamsVals& params,
                                  TPXProgressRec& progress);
// Writes the whole file and frees the document (nullptr is ignored). False
// when a write fell short.
PIXORAN_IO_EXPORT bool SavePDFDocument(std::unique_ptr<TPXPDFDocument> document, TStream& stream,
                                       TIOParamsVals& params);
// A one-page document. Failure sets Aborting.
PIXORAN_IO_EXPORT void WritePDFStream(TStream& stream, TPXBitmap& bitmap, TIOParamsVals& params,
                                      TPXProgressRec& progress);

// The writers as the I/O component's descriptors call them.
PIXORAN_IO_EXPORT void PSFormatWrite(TStream& stream, TPXBitmap& bitmap, TIOParamsVals& params,
                                     TPXProgressRec& progress, TPXBitmap* alpha);
PIXORAN_IO_EXPORT void PDFFormatWrite(TStream& stream, TPXBitmap& bitmap, TIOParamsVals& params,
                                      TPXProgressRec& progress, TPXBitmap* alpha);

}  // namespace pixoran
