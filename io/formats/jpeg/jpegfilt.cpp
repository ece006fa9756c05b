#include "io/formats/jpeg/jpegfilt.h"

#include <algorithm>
#include <atomic>
#include <climits>
#include <csetjmp>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <type_traits>
#include <vector>

extern "C" {
#include <jerror.h>
#include <jpeglib.h>
}

#include "core/kopxutils_bitmap.h"
#include "core/kopxutils_colors.h"
#include "core/kopxutils_helpers.h"
#include "core/kopxutils_settings.h"
#include "io/iohooks.h"
#include "io/pixoranio_params.h"
#include "io/pxfiltutil.h"
#include "io/pxmetadata.h"
#include "core/pxprogress.h"

namespace pixoran {

namespace {

// The stream is read and written in blocks of this size.
constexpr size_t kIOBufferSize = 65536;
// Largest marker payload a segment can carry (its length field counts itself).
constexpr int32_t kMaxMarkerPayload = 65533;
// A legitimate progressive file has a few dozen scans at most; thousands of
// tiny scans over a large image are a way to burn time, so they are refused.
constexpr int kMaxScans = 500;
// Codes of our own for the error exit; they lie outside the codec's table.
constexpr int kMsgTooManyScans = 10000;
constexpr int kMsgCancelled = 10001;

// ---------------------------------------------------------------- errors

// The codec's error record with the filter's fields behind it. The codec
// sees only pub; the error exit jumps back to the guard that ran the step,
// whose caller records the failure with its reason.
struct TErrorMgr {
  jpeg_error_mgr pub;
  int32_t warningCount;
  int warningCode;  // code of the last warning
  int damagedCode;  // the first warning that said the coded data is broken, or 0
  jmp_buf jump;
};
static_assert(std::is_standard_layout_v<TErrorMgr>);

TErrorMgr* ErrorMgrOf(j_common_ptr cinfo) { return reinterpret_cast<TErrorMgr*>(cinfo->err); }

[[noreturn]] void ErrorExit(j_common_ptr cinfo) { std::longjmp(ErrorMgrOf(cinfo)->jump, 1); }

void EmitMessage(j_common_ptr cinfo, int msgLevel) {
  if (msgLevel != -1) return;  // trace messages are not counted
  TErrorMgr* err = ErrorMgrOf(cinfo);
  if (err->warningCount < INT32_MAX) ++err->warningCount;
  err->warningCode = err->pub.msg_code;
  switch (err->pub.msg_code) {
    case JWRN_HIT_MARKER:
    case JWRN_HUFF_BAD_CODE:
    case JWRN_MUST_RESYNC:
      if (err->damagedCode == 0) err->damagedCode = err->pub.msg_code;
      break;
    default: break;
  }
  err->pub.num_warnings++;
}

void OutputMessage(j_common_ptr) {}

void FormatMessage(j_common_ptr, char* buffer) {
  if (buffer != nullptr) buffer[0] = '\0';
}

void ResetErrorMgr(j_common_ptr cinfo) {
  TErrorMgr* err = ErrorMgrOf(cinfo);
  err->warningCount = 0;
  err->warningCode = 0;
  err->damagedCode = 0;
  err->pub.num_warnings = 0;
  err->pub.msg_code = 0;
}

void InitErrorMgr(TErrorMgr& err) {
  jpeg_std_error(&err.pub);
  err.pub.error_exit = ErrorExit;
  err.pub.emit_message = EmitMessage;
  err.pub.output_message = OutputMessage;
  err.pub.format_message = FormatMessage;
  err.pub.reset_error_mgr = ResetErrorMgr;
  err.warningCount = 0;
  err.warningCode = 0;
  err.damagedCode = 0;
}

// Raises a codec error with one of our own codes from inside a callback.
[[noreturn]] void RaiseCodecError(j_common_ptr cinfo, int code) {
  cinfo->err->msg_code = code;
  cinfo->err->error_exit(cinfo);
  std::abort();  // error_exit never returns
}

using TCodecStep = void (*)(void* context);

// Runs one codec step. The codec's error exit longjmps back here, skipping
// only the step and codec frames, none of which holds an object with a
// destructor; the caller raises its failure after this returns false. Never
// inlined, so no caller's locals live across the setjmp.
[[gnu::noinline]] bool RunGuarded(TErrorMgr& err, TCodecStep step, void* context) {
  if (setjmp(err.jump) != 0) return false;
  step(context);
  return true;
}

// ---------------------------------------------------------------- progress

struct TProgressMgr {
  jpeg_progress_mgr pub;
  std::atomic<bool>* aborting;
};
static_assert(std::is_standard_layout_v<TProgressMgr>);

// Called by the decoder while it works, also inside jpeg_start_decompress,
// which takes in the whole of a progressive file: this is where a scan flood
// is stopped and a cancel is heard before the first row comes out.
void MonitorProgress(j_common_ptr cinfo) {
  auto* prog = reinterpret_cast<TProgressMgr*>(cinfo->progress);
  if (cinfo->is_decompressor && reinterpret_cast<j_decompress_ptr>(cinfo)->input_scan_number > kMaxScans)
    RaiseCodecError(cinfo, kMsgTooManyScans);
  if (prog->aborting != nullptr && prog->aborting->load(std::memory_order_relaxed))
    RaiseCodecError(cinfo, kMsgCancelled);
}

// ---------------------------------------------------------------- source

struct TSourceMgr {
  jpeg_source_mgr pub;
  TStream* stream;
  JOCTET* buffer;  // kIOBufferSize bytes, owned by the decoder
  bool startOfFile;
  bool empty;             // the stream yielded nothing at all
  bool endedEarly;        // the data ran out before the image's end
  JDIMENSION endedAtRow;  // the output row being decoded when it did
  int endedInScan;        // the scan being read when it did
};
static_assert(std::is_standard_layout_v<TSourceMgr>);

TSourceMgr* SourceOf(j_decompress_ptr cinfo) { return reinterpret_cast<TSourceMgr*>(cinfo->src); }

void InitSource(j_decompress_ptr cinfo) { SourceOf(cinfo)->startOfFile = true; }

boolean FillInputBuffer(j_decompress_ptr cinfo) {
  TSourceMgr* src = SourceOf(cinfo);
  int64_t got = 0;
  bool failed = false;
  try {
    got = src->stream->Read(src->buffer, static_cast<int64_t>(kIOBufferSize));
  } catch (...) {
    failed = true;
  }
  // Raised only here, outside the handler, so the jump leaves no exception alive.
  if (failed) RaiseCodecError(reinterpret_cast<j_common_ptr>(cinfo), JERR_FILE_READ);
  if (got <= 0) {
    // A stream that yields nothing at all is a failure; a short one is a
    // truncated file, which the codec finishes with an end-of-image marker.
    if (src->startOfFile) src->empty = true;
    if (!src->endedEarly) {
      src->endedEarly = true;
      src->endedAtRow = cinfo->output_scanline;
      src->endedInScan = cinfo->input_scan_number;
    }
    src->buffer[0] = 0xFF;
    src->buffer[1] = JPEG_EOI;
    got = 2;
  }
  src->pub.next_input_byte = src->buffer;
  src->pub.bytes_in_buffer = static_cast<size_t>(got);
  src->startOfFile = false;
  return TRUE;
}

void SkipInputData(j_decompress_ptr cinfo, long count) {
  if (count < 1) return;
  TSourceMgr* src = SourceOf(cinfo);
  size_t n = static_cast<size_t>(count);
  while (n > src->pub.bytes_in_buffer) {
    n -= src->pub.bytes_in_buffer;
    FillInputBuffer(cinfo);
  }
  src->pub.next_input_byte += n;
  src->pub.bytes_in_buffer -= n;
}

void TermSource(j_decompress_ptr) {}

// ---------------------------------------------------------------- destination

struct TDestMgr {
  jpeg_destination_mgr pub;
  TStream* stream;
  const TPXProgressRec* progress;
  JOCTET* buffer;  // kIOBufferSize bytes, owned by the encoder
};
static_assert(std::is_standard_layout_v<TDestMgr>);

TDestMgr* DestOf(j_compress_ptr cinfo) { return reinterpret_cast<TDestMgr*>(cinfo->dest); }

void WriteOut(TDestMgr* dest, size_t count) {
  bool failed = false;
  SafeStreamWrite(*dest->stream, failed, dest->buffer, static_cast<int64_t>(count));
  if (!failed) return;
  // Called from the codec: nothing may be thrown through it.
  try {
    dest->progress->Fail(iorWriteFailed, "JPEG: " + WriteFailureText(*dest->stream));
  } catch (...) {
    dest->progress->Abort();
  }
}

void InitDestination(j_compress_ptr cinfo) {
  TDestMgr* dest = DestOf(cinfo);
  dest->pub.next_output_byte = dest->buffer;
  dest->pub.free_in_buffer = kIOBufferSize;
}

boolean EmptyOutputBuffer(j_compress_ptr cinfo) {
  TDestMgr* dest = DestOf(cinfo);
  WriteOut(dest, kIOBufferSize);
  dest->pub.next_output_byte = dest->buffer;
  dest->pub.free_in_buffer = kIOBufferSize;
  return TRUE;
}

void TermDestination(j_compress_ptr cinfo) {
  TDestMgr* dest = DestOf(cinfo);
  WriteOut(dest, kIOBufferSize - dest->pub.free_in_buffer);
}

// ---------------------------------------------------------------- rows

// pxCMYK rows hold the file's bytes as they are (Adobe files store them
// inverted). Rows shown as, or made from, blue-green-red go through the
// process-wide row converter, so a program that replaces it (colour
// management) sees every CMYK row of JPEG loads and saves.
void CMYKRowToBGRHooked(const uint8_t* src, uint8_t* dst, int32_t width, TIOParamsVals& params) {
  ConvertColorHook().load()(src, pxcsCMYK, dst, &params, width, pxcsBGR);
}
void BGRRowToCMYKHooked(const uint8_t* src, uint8_t* dst, int32_t width, TIOParamsVals& params) {
  ConvertColorHook().load()(src, pxcsBGR, dst, &params, width, pxcsCMYK);
}

// ---------------------------------------------------------------- memory

// The codec's working memory (a progressive file keeps every coefficient of
// the image) is held to the library's memory budget.
long JPEGMemoryLimit() { return static_cast<long>(std::min<int64_t>(CodecMemoryLimit(), LONG_MAX)); }

// Bytes of the whole-image coefficient buffer the decoder keeps for a
// progressive or multi-scan file (0 when it decodes row by row). Known once
// the header, up to the first scan, has been read.
int64_t CoefficientBufferBytes(const jpeg_decompress_struct& ci) {
  if (!ci.progressive_mode && ci.comps_in_scan >= ci.num_components) return 0;
  int64_t total = 0;
  for (int i = 0; i < ci.num_components; ++i) {
    const jpeg_component_info& c = ci.comp_info[i];
    const int64_t h = std::max(1, c.h_samp_factor), v = std::max(1, c.v_samp_factor);
    const int64_t wide = (int64_t{c.width_in_blocks} + h - 1) / h * h;
    const int64_t high = (int64_t{c.height_in_blocks} + v - 1) / v * v;
    total += wide * high * static_cast<int64_t>(sizeof(JBLOCK));
  }
  return total;
}

// ---------------------------------------------------------------- decoder

struct TReadContext {
  jpeg_decompress_struct cinfo;
  TErrorMgr err;
  TSourceMgr src;
  TProgressMgr progress;
  // arguments and results of the row step
  JSAMPROW row;
  JDIMENSION linesRead;
};
static_assert(std::is_standard_layout_v<TReadContext>);

void StepCreateDecompress(void* p) { jpeg_create_decompress(&static_cast<TReadContext*>(p)->cinfo); }

// A table-only datastream leaves its tables in the decompressor; an image it
// may hold is dropped, so the image stream's header is read from the start.
void StepReadTables(void* p) {
  auto* c = static_cast<TReadContext*>(p);
  jpeg_read_header(&c->cinfo, FALSE);
  jpeg_abort_decompress(&c->cinfo);
}

void StepReadHeader(void* p) {
  auto* c = static_cast<TReadContext*>(p);
  jpeg_save_markers(&c->cinfo, JPEG_COM, 0xFFFF);
  for (int m = 0; m < 16; ++m) jpeg_save_markers(&c->cinfo, JPEG_APP0 + m, 0xFFFF);
  jpeg_read_header(&c->cinfo, TRUE);
}

void StepCalcOutput(void* p) { jpeg_calc_output_dimensions(&static_cast<TReadContext*>(p)->cinfo); }
void StepStartDecompress(void* p) { jpeg_start_decompress(&static_cast<TReadContext*>(p)->cinfo); }

void StepReadRow(void* p) {
  auto* c = static_cast<TReadContext*>(p);
  c->linesRead = jpeg_read_scanlines(&c->cinfo, &c->row, 1);
}

void StepFinishDecompress(void* p) { jpeg_finish_decompress(&static_cast<TReadContext*>(p)->cinfo); }
void StepDestroyDecompress(void* p) { jpeg_destroy_decompress(&static_cast<TReadContext*>(p)->cinfo); }

// Owns one decompressor with its managers and input buffer; destroys them on
// every path out of the reader.
class TDecoder {
 public:
  explicit TDecoder(std::atomic<bool>* aborting)
      : ctx_(std::make_unique<TReadContext>()), buffer_(std::make_unique<JOCTET[]>(kIOBufferSize)) {
    InitErrorMgr(ctx_->err);
    ctx_->cinfo.err = &ctx_->err.pub;
    ctx_->src.buffer = buffer_.get();
    ctx_->progress.aborting = aborting;
    ctx_->progress.pub.progress_monitor = MonitorProgress;
  }
  ~TDecoder() {
    if (created_) RunGuarded(ctx_->err, StepDestroyDecompress, ctx_.get());
  }
  TDecoder(const TDecoder&) = delete;
  TDecoder& operator=(const TDecoder&) = delete;

  bool Create() {
    if (!RunGuarded(ctx_->err, StepCreateDecompress, ctx_.get())) {
      // A half-made object still owns what it allocated.
      created_ = ctx_->cinfo.mem != nullptr;
      return false;
    }
    created_ = true;
    ctx_->cinfo.mem->max_memory_to_use = JPEGMemoryLimit();
    ctx_->cinfo.progress = &ctx_->progress.pub;
    return true;
  }
  bool Created() const { return created_; }

  // Binds the source manager to a stream; nothing buffered from an earlier
  // stream is carried over.
  void Attach(TStream& stream) {
    TSourceMgr& s = ctx_->src;
    s.pub.init_source = InitSource;
    s.pub.fill_input_buffer = FillInputBuffer;
    s.pub.skip_input_data = SkipInputData;
    s.pub.resync_to_restart = jpeg_resync_to_restart;
    s.pub.term_source = TermSource;
    s.pub.next_input_byte = nullptr;
    s.pub.bytes_in_buffer = 0;
    s.stream = &stream;
    s.startOfFile = true;
    s.empty = false;
    s.endedEarly = false;
    s.endedAtRow = 0;
    s.endedInScan = 0;
    ctx_->cinfo.src = &s.pub;
  }

  bool Run(TCodecStep step) { return RunGuarded(ctx_->err, step, ctx_.get()); }

  // One row into dest; 0 when the codec failed.
  JDIMENSION ReadRow(uint8_t* dest) {
    ctx_->row = dest;
    ctx_->linesRead = 0;
    if (!Run(StepReadRow)) return 0;
    return ctx_->linesRead;
  }

  // From here on a codec error neither sets the caller's flag nor stops the
  // decoder from hearing it: the image is complete.
  void DetachAborting() { ctx_->progress.aborting = nullptr; }

  jpeg_decompress_struct& cinfo() { return ctx_->cinfo; }
  const TErrorMgr& err() const { return ctx_->err; }
  const TSourceMgr& src() const { return ctx_->src; }
  int ErrorCode() const { return ctx_->err.pub.msg_code; }

 private:
  std::unique_ptr<TReadContext> ctx_;
  std::unique_ptr<JOCTET[]> buffer_;
  bool created_ = false;
};

// Denominator of the decoding scale. Automatic: the largest reduction that
// still covers the requested size.
int ScaleDenominator(uint8_t scale, int32_t imageW, int32_t imageH, int32_t wantW, int32_t wantH) {
  switch (scale) {
    case 1: return 1;
    case 2: return 2;
    case 3: return 4;
    case 4: return 8;
    case 0:
      if (wantW > 0 && wantH > 0) {
        for (int n = 3; n >= 0; --n)
          if ((imageW >> n) >= wantW && (imageH >> n) >= wantH) return 1 << n;
      }
      return 1;
    default: return 1;
  }
}

void SetDctMethod(uint8_t method, J_DCT_METHOD& target) {
  switch (method) {
    case 0: target = JDCT_ISLOW; break;
    case 1: target = JDCT_IFAST; break;
    case 2: target = JDCT_FLOAT; break;
    default: break;
  }
}

// Resolution from the density fields. A density of 0 means the file gives
// none, so the library default applies.
void ReadDensity(const jpeg_decompress_struct& ci, TIOParamsVals& params) {
  int32_t x = 0, y = 0;
  switch (ci.density_unit) {
    case 0:
    case 1:
      x = ci.X_density;
      y = ci.Y_density;
      break;
    case 2:
      x = TruncToInt32(ci.X_density * 2.54);
      y = TruncToInt32(ci.Y_density * 2.54);
      break;
    default: return;
  }
  params.SetDpiX(x != 0 ? x : PXSettings().DefaultDpiX);
  params.SetDpiY(y != 0 ? y : PXSettings().DefaultDpiY);
}

// The kind of failure a codec message code stands for.
TPXIOResult KindOfCodecError(int code) {
  switch (code) {
    case kMsgTooManyScans:
    case JERR_IMAGE_TOO_BIG:
    case JERR_WIDTH_OVERFLOW: return iorTooLarge;
    case kMsgCancelled: return iorCancelled;
    case JERR_OUT_OF_MEMORY: return iorNoMemory;
    case JERR_SOF_UNSUPPORTED:
    case JERR_NOT_COMPILED:
    case JERR_NOTIMPL:
    case JERR_CONVERSION_NOTIMPL:
    case JERR_BAD_PRECISION: return iorUnsupported;
    default: return iorCorrupt;
  }
}

std::string CodecErrorText(int code) {
  if (code == kMsgTooManyScans) return "more than " + std::to_string(kMaxScans) + " scans";
  return JpegMessageText(code);
}

// Records why a codec step failed; where says what was being read.
void FailCodecStep(TDecoder& dec, TPXProgressRec& progress, const std::string& where) {
  const int code = dec.ErrorCode();
  progress.Fail(KindOfCodecError(code), "JPEG: " + CodecErrorText(code) + " " + where);
}

// Whether the scans read so far brought every coefficient of a progressive
// image to full precision.
bool ProgressionComplete(const jpeg_decompress_struct& ci) {
  if (ci.coef_bits == nullptr) return false;
  for (int c = 0; c < ci.num_components; ++c)
    for (int k = 0; k < DCTSIZE2; ++k)
      if (ci.coef_bits[c][k] != 0) return false;
  return true;
}

// Tables, header, record fields and rows. Failure is set on the progress record.
void ReadBody(TDecoder& dec, TStream& stream, TStream* tablesStream, TPXBitmap& bitmap, TIOParamsVals& params,
              TPXProgressRec& progress, bool paramsOnly, bool rgbComponents, int64_t dataBytes) {
  if (tablesStream != nullptr && tablesStream != &stream) {
    dec.Attach(*tablesStream);
    if (!dec.Run(StepReadTables)) {
      FailCodecStep(dec, progress, "in the tables");
      return;
    }
  }
  dec.Attach(stream);
  if (!dec.Run(StepReadHeader)) {
    FailCodecStep(dec, progress, "in the header");
    return;
  }
  jpeg_decompress_struct& ci = dec.cinfo();

  // Colour: three-channel output comes out blue-green-red straight from the
  // codec; CMYK stays four bytes per pixel until the row conversion.
  // Components marked as RGB by the caller are told to the codec as RGB,
  // which then applies no colour transform.
  if (rgbComponents && ci.num_components == 3) ci.jpeg_color_space = JCS_RGB;
  bool cmykOut = false;
  switch (ci.jpeg_color_space) {
    case JCS_GRAYSCALE:
      params.JPEGColorSpace = 1;
      params.SamplesPerPixel = 1;
      break;
    case JCS_RGB:
      params.JPEGColorSpace = 0;
      params.SamplesPerPixel = 3;
      break;
    case JCS_YCbCr:
      params.JPEGColorSpace = 2;
      params.SamplesPerPixel = 3;
      break;
    case JCS_CMYK:
      params.JPEGColorSpace = 3;
      params.SamplesPerPixel = 4;
      cmykOut = true;
      break;
    case JCS_YCCK:
      params.JPEGColorSpace = 4;
      params.SamplesPerPixel = 4;
      cmykOut = true;
      break;
    default:  // two or five components and other unknown spaces
      progress.Fail(iorUnsupported,
                    "JPEG: " + std::to_string(ci.num_components) + " components in a colour space that is not read");
      return;
  }
  params.BitsPerSample = 8;
  ci.out_color_space = cmykOut ? JCS_CMYK : JCS_EXT_BGR;
  SetDctMethod(params.JPEGDCTMethod, ci.dct_method);
  ReadDensity(ci, params);

  params.FreePalette();
  params.JPEGProgressive = ci.progressive_mode ? 1 : 0;
  params.JPEGOriginalWidth = static_cast<int32_t>(ci.image_width);
  params.JPEGOriginalHeight = static_cast<int32_t>(ci.image_height);

  const int denom = ScaleDenominator(params.JPEGScale, params.JPEGOriginalWidth, params.JPEGOriginalHeight,
                                     params.Width, params.Height);
  ci.scale_num = 1;
  ci.scale_denom = static_cast<unsigned>(denom);
  params.JPEGScaleDenom = denom;

  if (paramsOnly) {
    // The output size comes from the header alone; nothing is decoded.
    if (!dec.Run(StepCalcOutput)) {
      FailCodecStep(dec, progress, "in the header");
      return;
    }
    params.Width = static_cast<int32_t>(ci.output_width);
    params.Height = static_cast<int32_t>(ci.output_height);
    return;
  }

  // A file of a few bytes that claims a huge picture would be decoded,
  // padded, at full size (seconds of work and gigabytes of rows). Huffman
  // coding stores no more than a few hundred pixels a byte even for a flat
  // progressive image, so such a claim is refused. Arithmetic coding has no
  // such limit (a flat picture of any size codes in about 200 bytes), so
  // there the same ratio holds only above a size that decodes in a fraction
  // of a second whatever the file: 16 megapixels.
  constexpr int64_t kMaxPixelsPerByte = 1024;
  constexpr int64_t kArithmeticFreePixels = int64_t{1} << 24;
  const int64_t pixels = int64_t{ci.image_width} * ci.image_height;
  const int32_t outBits = cmykOut ? 32 : 24;
  const bool unbounded = ci.arith_code && pixels <= kArithmeticFreePixels;
  if (!CheckDeclaredImage("JPEG", ci.image_width, ci.image_height, outBits, dataBytes,
                          unbounded ? 0.0 : static_cast<double>(kMaxPixelsPerByte * (outBits / 8)), progress))
    return;
  // Refused before the codec allocates anything, whichever memory manager
  // the library was built with (with a backing store, max_memory_to_use
  // would send the buffer to disk instead of failing).
  if (!CheckWorkBuffer("JPEG", CoefficientBufferBytes(ci), progress)) return;
  if (!dec.Run(StepStartDecompress)) {
    FailCodecStep(dec, progress, "in the first scans");
    return;
  }
  const int32_t width = static_cast<int32_t>(ci.output_width);
  const int32_t height = static_cast<int32_t>(ci.output_height);
  params.Width = width;
  params.Height = height;

  const bool keepCmyk = cmykOut && params.KeepNativeFormat != 0;
  if (!bitmap.Allocate(width, height, keepCmyk ? pxCMYK : pxBGR24)) {
    progress.Fail(iorNoMemory,
                  "JPEG: no storage for a " + std::to_string(width) + " x " + std::to_string(height) + " image");
    return;
  }
  // Rows go straight into the bitmap except CMYK shown as blue-green-red.
  const bool convertCmyk = cmykOut && !keepCmyk;
  std::vector<uint8_t> buffer(convertCmyk ? static_cast<size_t>(width) * 4 : 0);

  progress.Start(height);
  int32_t y = 0;
  while (y < height) {
    uint8_t* row = bitmap.Scanline(y);
    if (row == nullptr) {
      progress.Fail(iorNoMemory, "JPEG: the image's storage failed at row " + std::to_string(y));
      return;
    }
    const JDIMENSION got = dec.ReadRow(convertCmyk ? buffer.data() : row);
    if (got == 0) {
      FailCodecStep(dec, progress, "at row " + std::to_string(y) + " of " + std::to_string(height));
      return;
    }
    if (convertCmyk) CMYKRowToBGRHooked(buffer.data(), row, width, params);
    y += static_cast<int32_t>(got);
    progress.Advance(static_cast<int32_t>(got));
    if (progress.Aborted()) return;
  }
  // A truncated file is kept: the codec filled its missing rows. Data that
  // only lacks its end-of-image marker ends early too, but the codec needed
  // nothing more of it. A progressive file cut between two scans leaves the
  // codec wanting no bits either, yet the scans that refine the picture are
  // missing.
  if (!dec.src().endedEarly) return;
  const bool cutInScan = dec.err().damagedCode == JWRN_HIT_MARKER;
  if (!cutInScan && !(ci.progressive_mode && !ProgressionComplete(ci))) return;
  const std::string where = ci.progressive_mode
                                ? (cutInScan ? "in scan " : "after scan ") + std::to_string(dec.src().endedInScan)
                                : "at row " + std::to_string(dec.src().endedAtRow) + " of " + std::to_string(height);
  progress.Note(iorCorrupt, "JPEG: data ends early " + where + "; the rest of the image is filled");
}

// What happens on every path once the decompressor exists: markers, the
// finish that reads the file's tail, warnings.
void ReadEnd(TDecoder& dec, TIOParamsVals& params, TPXProgressRec& progress, bool paramsOnly) {
  jpeg_decompress_struct& ci = dec.cinfo();
  if (TPXMarkerList* markers = params.JPEGMarkers.get()) {
    markers->Clear();
    // The codec writes the first APP0 (JFIF) itself, so it is not kept.
    bool first = true;
    for (jpeg_saved_marker_ptr m = ci.marker_list; m != nullptr; m = m->next) {
      if (!(first && m->marker == JPEG_APP0))
        markers->AddMarker(m->marker, m->data, static_cast<int32_t>(m->data_length));
      first = false;
    }
  }
  if (!progress.Aborted() && !paramsOnly) {
    // A fault in the file's tail neither aborts nor escapes.
    dec.DetachAborting();
    dec.Run(StepFinishDecompress);
    // The codec decoded past broken data: the image is kept, with its faults.
    if (dec.err().damagedCode != 0) progress.Note(iorCorrupt, "JPEG: " + JpegMessageText(dec.err().damagedCode));
  }
  if (dec.err().warningCount > 0) {
    params.JPEGWarningCount = dec.err().warningCount;
    params.JPEGWarningCode = dec.err().warningCode;
  }
}

// ---------------------------------------------------------------- encoder

struct TWriteContext {
  jpeg_compress_struct cinfo;
  TErrorMgr err;
  TDestMgr dest;
  // settings applied by StepSetup
  J_COLOR_SPACE inSpace;
  int inComponents;
  J_COLOR_SPACE outSpace;
  int quality;
  int smoothing;
  uint8_t dctMethod;
  bool optimize;
  bool progressive;
  bool adobeMarker;  // for CMYK and YCCK output
  uint16_t dpiX, dpiY;
  int32_t width, height;
  // arguments of the marker and row steps
  int markerType;
  const JOCTET* markerData;
  unsigned markerLength;
  JSAMPROW row;
};
static_assert(std::is_standard_layout_v<TWriteContext>);

void StepCreateCompress(void* p) { jpeg_create_compress(&static_cast<TWriteContext*>(p)->cinfo); }

void StepSetup(void* p) {
  auto* c = static_cast<TWriteContext*>(p);
  jpeg_compress_struct& ci = c->cinfo;
  ci.image_width = static_cast<JDIMENSION>(c->width);
  ci.image_height = static_cast<JDIMENSION>(c->height);
  ci.input_components = c->inComponents;
  ci.in_color_space = c->inSpace;
  jpeg_set_defaults(&ci);
  jpeg_set_colorspace(&ci, c->outSpace);
  ci.density_unit = 1;
  ci.X_density = c->dpiX;
  ci.Y_density = c->dpiY;
  SetDctMethod(c->dctMethod, ci.dct_method);
  ci.optimize_coding = c->optimize ? TRUE : FALSE;
  ci.smoothing_factor = c->smoothing;
  jpeg_set_quality(&ci, c->quality, TRUE);
  if (c->progressive) jpeg_simple_progression(&ci);
  if (!c->adobeMarker) ci.write_Adobe_marker = FALSE;
}

void StepStartCompress(void* p) { jpeg_start_compress(&static_cast<TWriteContext*>(p)->cinfo, TRUE); }

void StepWriteMarker(void* p) {
  auto* c = static_cast<TWriteContext*>(p);
  jpeg_write_marker(&c->cinfo, c->markerType, c->markerData, c->markerLength);
}

void StepWriteRow(void* p) {
  auto* c = static_cast<TWriteContext*>(p);
  jpeg_write_scanlines(&c->cinfo, &c->row, 1);
}

void StepFinishCompress(void* p) { jpeg_finish_compress(&static_cast<TWriteContext*>(p)->cinfo); }
void StepDestroyCompress(void* p) { jpeg_destroy_compress(&static_cast<TWriteContext*>(p)->cinfo); }

// Owns one compressor with its destination manager and output buffer.
class TEncoder {
 public:
  TEncoder(TStream& stream, const TPXProgressRec& progress)
      : ctx_(std::make_unique<TWriteContext>()), buffer_(std::make_unique<JOCTET[]>(kIOBufferSize)) {
    InitErrorMgr(ctx_->err);
    ctx_->cinfo.err = &ctx_->err.pub;
    TDestMgr& d = ctx_->dest;
    d.pub.init_destination = InitDestination;
    d.pub.empty_output_buffer = EmptyOutputBuffer;
    d.pub.term_destination = TermDestination;
    d.stream = &stream;
    d.progress = &progress;
    d.buffer = buffer_.get();
  }
  ~TEncoder() {
    if (created_) RunGuarded(ctx_->err, StepDestroyCompress, ctx_.get());
  }
  TEncoder(const TEncoder&) = delete;
  TEncoder& operator=(const TEncoder&) = delete;

  bool Create() {
    if (!RunGuarded(ctx_->err, StepCreateCompress, ctx_.get())) {
      created_ = ctx_->cinfo.mem != nullptr;
      return false;
    }
    created_ = true;
    ctx_->cinfo.dest = &ctx_->dest.pub;
    return true;
  }

  bool Run(TCodecStep step) { return RunGuarded(ctx_->err, step, ctx_.get()); }

  bool WriteMarker(uint8_t type, const uint8_t* data, int32_t length) {
    ctx_->markerType = type;
    ctx_->markerData = data;
    ctx_->markerLength = static_cast<unsigned>(length);
    return Run(StepWriteMarker);
  }

  bool WriteRow(const uint8_t* row) {
    // The codec only reads input rows; its prototype just lacks the const.
    ctx_->row = const_cast<uint8_t*>(row);
    return Run(StepWriteRow);
  }

  TWriteContext& ctx() { return *ctx_; }
  int ErrorCode() const { return ctx_->err.pub.msg_code; }

 private:
  std::unique_ptr<TWriteContext> ctx_;
  std::unique_ptr<JOCTET[]> buffer_;
  bool created_ = false;
};

// How a source row reaches the codec.
enum class TRowSource { Direct, CmykToBgr, BgrToCmyk, Expand };

uint16_t DensityOf(int32_t dpi, int32_t fallback) {
  if (dpi <= 0) dpi = fallback;
  return static_cast<uint16_t>(std::clamp(dpi, 1, 65535));
}

// Markers the codec could only write as a broken file (a payload beyond the
// 16-bit length, a type that is not an APPn or COM segment) fail the save.
bool MarkersWritable(const TPXMarkerList* markers) {
  if (markers == nullptr) return true;
  for (int32_t i = 0; i < markers->Count(); ++i) {
    const uint8_t type = markers->MarkerType(i);
    if (type == JPEG_APP0 + 14) continue;  // never written, see WriteBody
    const bool appOrCom = (type >= JPEG_APP0 && type <= JPEG_APP0 + 15) || type == JPEG_COM;
    if (!appOrCom || markers->MarkerLength(i) > kMaxMarkerPayload) return false;
  }
  return true;
}

// The writer without its exception. Returns true when the codec failed, with
// its message code in errorCode; other failures only set Aborting.
bool WriteBody(TStream& stream, TPXBitmap& bitmap, TIOParamsVals& params, TPXProgressRec& progress, bool tiffInk,
               int& errorCode) {
  const int32_t width = bitmap.Width();
  const int32_t height = bitmap.Height();
  if (width <= 0 || height <= 0) {
    progress.Fail(iorFailed, "JPEG: there is no image to write");
    return false;
  }

  J_COLOR_SPACE outSpace;
  switch (params.JPEGColorSpace) {
    case 1: outSpace = JCS_GRAYSCALE; break;
    case 2: outSpace = JCS_YCbCr; break;
    case 3: outSpace = JCS_CMYK; break;
    case 4: outSpace = JCS_YCCK; break;
    default: outSpace = JCS_RGB; break;
  }
  const bool cmykOut = outSpace == JCS_CMYK || outSpace == JCS_YCCK;

  const TPXPixelFormat format = bitmap.PixelFormat();
  TRowSource source;
  switch (format) {
    case pxBGR24: source = cmykOut ? TRowSource::BgrToCmyk : TRowSource::Direct; break;
    case pxCMYK: source = cmykOut ? TRowSource::Direct : TRowSource::CmykToBgr; break;
    case pxBW1:
    case pxGray8:
    case pxGray16:
    case pxPal8: source = TRowSource::Expand; break;
    default:  // no row form the codec can take
      progress.Fail(iorUnsupported, "JPEG: pixel format " + std::to_string(format) + " cannot be written");
      return false;
  }
  if (!MarkersWritable(params.JPEGMarkers.get())) {
    progress.Fail(iorTooLarge, "JPEG: a marker is too long for one segment or not an APPn or COM segment");
    return false;
  }

  TEncoder enc(stream, progress);
  if (!enc.Create()) {
    errorCode = enc.ErrorCode();
    return true;
  }
  TWriteContext& c = enc.ctx();
  c.width = width;
  c.height = height;
  c.inSpace = cmykOut ? JCS_CMYK : JCS_EXT_BGR;
  c.inComponents = cmykOut ? 4 : 3;
  c.outSpace = outSpace;
  c.quality = std::clamp<int32_t>(params.JPEGQuality, 0, 100);
  c.smoothing = std::clamp<int32_t>(params.JPEGSmooth, 0, 100);
  c.dctMethod = params.JPEGDCTMethod;
  c.optimize = params.JPEGOptimalHuffman != 0;
  c.progressive = params.JPEGProgressive != 0;
  c.dpiX = DensityOf(params.DpiX, PXSettings().DefaultDpiX);
  c.dpiY = DensityOf(params.DpiY, PXSettings().DefaultDpiY);
  c.adobeMarker = !tiffInk;
  if (!enc.Run(StepSetup)) {
    errorCode = enc.ErrorCode();
    return true;
  }
  if (progress.Aborted()) return false;
  if (!enc.Run(StepStartCompress)) {
    errorCode = enc.ErrorCode();
    return true;
  }
  if (const TPXMarkerList* markers = params.JPEGMarkers.get()) {
    for (int32_t i = 0; i < markers->Count(); ++i) {
      const uint8_t type = markers->MarkerType(i);
      // The codec writes APP14 itself for CMYK and YCCK output.
      if (type == JPEG_APP0 + 14) continue;
      if (!enc.WriteMarker(type, markers->MarkerData(i), markers->MarkerLength(i))) {
        errorCode = enc.ErrorCode();
        return true;
      }
    }
  }

  std::vector<uint8_t> bgr(
      source == TRowSource::Expand || source == TRowSource::CmykToBgr ? static_cast<size_t>(width) * 3 : 0);
  // Ink as TIFF holds it is the complement of the rows made here.
  const bool invertInk = cmykOut && tiffInk;
  std::vector<uint8_t> cmyk(cmykOut && (source != TRowSource::Direct || invertInk) ? static_cast<size_t>(width) * 4
                                                                                   : 0);
  const TBGR* palette = bitmap.Palette();
  const int32_t paletteCount = bitmap.PaletteCount();

  progress.Start(height);
  for (int32_t y = 0; y < height; ++y) {
    const uint8_t* row = bitmap.Scanline(y);
    if (row == nullptr) {
      progress.Fail(iorNoMemory, "JPEG: the image's storage failed at row " + std::to_string(y));
      break;
    }
    const uint8_t* input = row;
    switch (source) {
      case TRowSource::Direct: break;
      case TRowSource::CmykToBgr:
        CMYKRowToBGRHooked(row, bgr.data(), width, params);
        input = bgr.data();
        break;
      case TRowSource::BgrToCmyk:
        BGRRowToCMYKHooked(row, cmyk.data(), width, params);
        input = cmyk.data();
        break;
      case TRowSource::Expand:
        RowToBGR24(format, row, bgr.data(), width, palette, paletteCount);
        input = bgr.data();
        if (cmykOut) {
          BGRRowToCMYKHooked(bgr.data(), cmyk.data(), width, params);
          input = cmyk.data();
        }
        break;
    }
    if (invertInk) {
      for (int32_t i = 0; i < width * 4; ++i) cmyk[i] = static_cast<uint8_t>(~input[i]);
      input = cmyk.data();
    }
    if (!enc.WriteRow(input)) {
      errorCode = enc.ErrorCode();
      return true;
    }
    progress.Advance(1);
    if (progress.Aborted()) break;
  }
  if (!progress.Aborted() && !enc.Run(StepFinishCompress)) {
    errorCode = enc.ErrorCode();
    return true;
  }
  return false;
}

// Copies a message with each printf conversion replaced by "?".
std::string WithPlaceholders(const char* text) {
  std::string out;
  for (const char* p = text; *p != '\0'; ++p) {
    if (*p != '%') {
      out += *p;
      continue;
    }
    if (p[1] == '%') {
      out += '%';
      ++p;
      continue;
    }
    ++p;
    while (*p != '\0' && std::strchr("-+ #0123456789.hlLqjzt", *p) != nullptr) ++p;
    if (*p == '\0') break;
    out += '?';
  }
  return out;
}

}  // namespace

// ---------------------------------------------------------------- public

int64_t FindJPEGStart(TStream& stream) {
  const int64_t start = stream.Position();
  uint8_t head[102];
  const int64_t got = stream.Read(head, sizeof head);
  stream.SetPosition(start);
  for (int64_t i = 0; i < 100 && i + 2 < got; ++i)
    if (head[i] == 0xFF && head[i + 1] == 0xD8 && head[i + 2] == 0xFF) return start + i;
  return -1;
}

void ReadJPEGStream(TStream& stream, TStream* tablesStream, TPXBitmap& bitmap, TIOParamsVals& params,
                    TPXProgressRec& progress, bool paramsOnly, bool rgbComponents) {
  if (progress.Aborted()) return;
  try {
    params.JPEGWarningCount = 0;
    params.JPEGWarningCode = 0;
    const int64_t start = FindJPEGStart(stream);
    if (start < 0) {
      progress.Fail(iorCorrupt, "JPEG: no start-of-image marker within the first 100 bytes");
      return;
    }
    stream.SetPosition(start);

    TDecoder dec(progress.Aborting);
    if (!dec.Create()) {
      progress.Fail(iorNoMemory, "JPEG: the decoder could not be created");
      return;
    }
    try {
      ReadBody(dec, stream, tablesStream, bitmap, params, progress, paramsOnly, rgbComponents, StreamBytesLeft(stream));
    } catch (...) {
      FailFromException(progress, std::current_exception(), "JPEG");
    }
    if (dec.src().empty) progress.Fail(iorCorrupt, "JPEG: the stream holds no data");
    ReadEnd(dec, params, progress, paramsOnly);
  } catch (...) {
    // Storage or stream failures of our own side.
    FailFromException(progress, std::current_exception(), "JPEG");
  }
}

void WriteJPEGStream(TStream& stream, TPXBitmap& bitmap, TIOParamsVals& params, TPXProgressRec& progress,
                     bool tiffInk) {
  if (progress.Aborted()) return;
  int code = 0;
  bool codecError = false;
  try {
    codecError = WriteBody(stream, bitmap, params, progress, tiffInk, code);
  } catch (...) {
    FailFromException(progress, std::current_exception(), "JPEG");
  }
  // Raised only now that the compressor and its buffers are gone.
  if (codecError) {
    progress.Fail(KindOfCodecError(code) == iorNoMemory ? iorNoMemory : iorFailed, "JPEG: " + JpegMessageText(code));
    throw EPXJpegException(JpegMessageText(code), code);
  }
}

std::string JpegMessageText(int code) {
  jpeg_error_mgr table;
  jpeg_std_error(&table);
  if (code < 0 || code > table.last_jpeg_message || table.jpeg_message_table[code] == nullptr) return "Corrupted";
  return WithPlaceholders(table.jpeg_message_table[code]);
}

}  // namespace pixoran
