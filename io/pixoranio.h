#pragma once
// The I/O component: reads and writes images in every supported format, on
// its own bitmap or on one borrowed from a viewer, a platform bitmap or the
// caller; chooses the filter by extension, file type or content; wraps
// JPEG, PCX and TIFF data in stream headers on request; and ends every
// operation with OnProgress(100) and OnFinishWork.
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/pxexport.h"
#include "core/kopxdefs.h"
#include "core/kopxutils_bitmap.h"
#include "core/pxviewlink.h"
#include "io/iohooks.h"
#include "io/pixoranio_codecs.h"
#include "io/pixoranio_params.h"
#include "io/pixoranio_thread.h"
#include "io/pxds.h"
#include "io/pxformats.h"
#include "io/pxprint.h"
#include "core/pxprogress.h"
#include "io/formats/pspdf/pspdffilt.h"
#include "io/pxtwain.h"
#include "io/pxwia.h"
#include "platform/classes.h"
#include "platform/graphics.h"
#include "platform/streams.h"
#include "platform/uithread.h"

class QWidget;

namespace pixoran {

class TPrinter;
class TImage;
class TAVIReader;
class TSiblingTempFile;

using TPXNotifyEvent = std::function<void(TObject* sender)>;

// ---------------------------------------------------------------- stream headers

// The 12-byte record in front of JPEG, PCX and TIFF data written with
// StreamHeaders on: magic, 0, number of data bytes (little-endian).
constexpr int32_t kPXStreamHeaderSize = 12;

// ---------------------------------------------------------------- counts for the dialogs

// Frames, pages or images of a file; 0 when the file cannot be read or its
// filter is not in the library.
PIXORAN_IO_EXPORT int32_t GIFFileFrameCount(const std::string& fileName);
PIXORAN_IO_EXPORT int32_t TIFFFilePageCount(const std::string& fileName);
PIXORAN_IO_EXPORT int32_t DCXFilePageCount(const std::string& fileName);
PIXORAN_IO_EXPORT int32_t ICOFileImageCount(const std::string& fileName);

// Threads. With AsyncMode on, a load or save on a bitmap the component does
// not own, called from outside the component's own workers, goes to a worker
// thread (TPXIOThread) and the call returns at once (file loads with a result
// return -1). The worker runs the same operation; OnProgress and OnFinishWork
// fire on it. What the operation does to an attached viewer or image control
// (resolution, refresh, repaint) is handed to the UI thread in order, and
// dropped when the control or the component is gone by then. The caller
// leaves the component, its bitmap and its parameter record alone until
// OnFinishWork or WaitThreads: the working bitmap belongs to the worker
// meanwhile (a bitmap is used by one thread at a time). A viewer that
// changes its bitmap meanwhile is followed once the worker is done; a viewer
// or image control that goes meanwhile stops the worker (Aborting) and is
// waited for, and so is a viewer about to free or replace the bitmap the
// worker uses (it tells its subscribers first, CallBitmapReleaseEvents). Streams handed to a stream operation must
// outlive it. LoadFromBuffer runs on the caller's thread. The component may be freed from its own worker's finishing
// event (it then waits only for the others), but not while a viewer is attached.
class PIXORAN_IO_EXPORT TPixoranIO : public TComponent, public TIOParamsOwner {
 public:
  explicit TPixoranIO(TComponent* owner = nullptr);
  // Waits for the workers, then finishes an open PostScript or PDF document.
  ~TPixoranIO() override;
  TPixoranIO(const TPixoranIO&) = delete;
  TPixoranIO& operator=(const TPixoranIO&) = delete;

  // ------------------------------------------------------------ attachment
  //
  // The working bitmap is never nullptr: without an attachment it is one
  // the component owns. A viewer's bitmap is followed through its
  // bitmap-change callbacks; a viewer or image control is dropped when it is
  // destroyed (free notification), and the component falls back to a
  // bitmap of its own. A platform bitmap or TPXBitmap attached by the caller
  // stays the caller's: detach it (attach nullptr) before destroying it.
  // Attaching one of the four clears the others. Attaching waits for a
  // running worker first.

  TPXViewLink* AttachedPixoran() const { return viewer_; }
  // nullptr detaches and gives the component a fresh bitmap of its own.
  void SetAttachedPixoran(TPXViewLink* view);
  TImage* AttachedTImage() const { return image_; }
  // Works on the control's picture through a wrapper the component owns;
  // nullptr detaches and gives the component a fresh bitmap of its own.
  void SetAttachedTImage(TImage* image);
  // Works on a platform bitmap through a wrapper the component owns.
  // nullptr is ignored while a viewer or image control is attached.
  void SetAttachedBitmap(TBitmap* bitmap);
  // Works directly on the caller's bitmap. nullptr is ignored while a viewer
  // or image control is attached; otherwise it gives the component a fresh
  // bitmap of its own.
  void SetAttachedPXBitmap(TPXBitmap* bitmap);
  // The platform bitmap the working bitmap wraps, or nullptr.
  TBitmap* AttachedBitmap() const { return attachedTBitmap_; }
  // The bitmap every operation reads or fills.
  TPXBitmap* PXBitmap() const { return working_; }
  bool OwnsBitmap() const { return owned_ != nullptr; }

  // Re-wraps the attached platform bitmap (its size may have changed); with
  // a non-empty set of PXFormatBit values, false unless the working bitmap's
  // pixel format is in it.
  bool PrepareBitmap(uint32_t allowed = 0);
  // After a load: refreshes the attached viewer, or without one marks the
  // attached platform bitmap modified (an image control repaints).
  void UpdateAttached();
  // A resolution below 2 becomes the library default.
  void FixDefaultDPI();
  // With AutoAdjustDPI, resamples so that both resolutions agree.
  void AdjustBitmapDPI();

  // ------------------------------------------------------------ properties

  // The viewer's background when one is attached (then the setter has no
  // effect), else the component's own.
  TColor Background() const;
  void SetBackground(TColor color);
  uint8_t BWConversion() const { return bwConversion_; }
  void SetBWConversion(uint8_t value);
  bool StreamHeaders() const { return streamHeaders_; }
  void SetStreamHeaders(bool value) { streamHeaders_ = value; }
  bool AutoAdjustDPI() const { return autoAdjustDPI_; }
  void SetAutoAdjustDPI(bool value) { autoAdjustDPI_ = value; }
  bool FilteredAdjustDPI() const { return filteredAdjustDPI_; }
  void SetFilteredAdjustDPI(bool value) { filteredAdjustDPI_ = value; }
  bool NativePixelFormat() const { return params_ && params_->KeepNativeFormat != 0; }
  void SetNativePixelFormat(bool value);
  bool AsyncMode() const { return asyncMode_; }
  void SetAsyncMode(bool value) { asyncMode_ = value; }
  TMsgLanguage MsgLanguage() const { return msgLanguage_; }
  void SetMsgLanguage(TMsgLanguage value) { msgLanguage_ = value; }
  uint8_t PreviewsParams() const { return previewsParams_; }
  void SetPreviewsParams(uint8_t value) { previewsParams_ = value; }
  bool SimplifiedParamsDialogs() const { return simplifiedParamsDialogs_; }
  void SetSimplifiedParamsDialogs(bool value) { simplifiedParamsDialogs_ = value; }
  uint8_t DialogsMeasureUnit() const { return dialogsMeasureUnit_; }
  void SetDialogsMeasureUnit(uint8_t value) { dialogsMeasureUnit_ = value; }
  const TFont& PreviewFont() const { return previewFont_; }
  void SetPreviewFont(const TFont& font) { previewFont_ = font; }
  const std::string& ProxyAddress() const { return proxyAddress_; }
  void SetProxyAddress(const std::string& v) { proxyAddress_ = v; }
  const std::string& ProxyUser() const { return proxyUser_; }
  void SetProxyUser(const std::string& v) { proxyUser_ = v; }
  const std::string& ProxyPassword() const { return proxyPassword_; }
  void SetProxyPassword(const std::string& v) { proxyPassword_ = v; }

  TIOParamsVals& Params() { return *params_; }
  // True after an operation that failed or was cancelled. Setting it while
  // an operation runs cancels that operation.
  bool Aborting() const { return aborting_.load(); }
  void SetAborting(bool value) {
    if (value) cancelRequested_.store(true);
    aborting_.store(value);
  }
  // Why the last operation (load, save, parameter read, web, movie or
  // metafile load, print, acquisition) ended as it did: iorOk when it
  // succeeded, else the failure's kind and a short English sentence naming
  // the cause. A load that kept a partial image ends with Aborting false and
  // a kind other than iorOk. Reset when an operation starts; readable from
  // OnFinishWork, and after WaitThreads for an operation on a worker.
  TPXIOResult LastResult() const { return result_.Kind; }
  const std::string& LastResultText() const { return result_.Text; }
  // For the dialogs that run an operation through a hook (print forms): the
  // reason of a failure they met, kept unless a reason is already recorded.
  void SetLastResult(TPXIOResult kind, const std::string& text) { result_.Set(kind, text); }

  // (Sender, percent); the last call of every operation reports 100.
  TPXProgressEvent OnProgress;
  // (Sender), right after that last progress call, once per operation.
  TPXNotifyEvent OnFinishWork;

  // ------------------------------------------------------------ operations
  //
  // Failure is reported through Aborting. A file that cannot be opened or
  // created raises the framework's EFOpenError (EFCreateError) after the
  // finishing events; so does any exception out of a filter, after Aborting
  // was set. Saves to a file go through a sibling temporary file renamed
  // over the target only on success.

  virtual void LoadFromFile(const std::string& fileName);
  virtual void SaveToFile(const std::string& fileName);
  // Writes the image as program source text: 0 a constant byte array, 1 a
  // list of hexadecimal bytes, 2 Base64 (each of the encoded file of
  // fileType), 3 a character picture of a pxBGR24 image.
  virtual void SaveToSourceText(const std::string& fileName, int32_t fileType, int32_t format);
  virtual void LoadFromFileFormat(const std::string& fileName, int32_t fileType);
  // fileType 0: detect the format from the content.
  virtual void LoadFromBuffer(const void* buffer, int64_t size, int32_t fileType);
  // Parameter reads fill Params without touching the working bitmap;
  // failure leaves FileType 0. They never raise.
  virtual void ParamsFromFile(const std::string& fileName);
  virtual void ParamsFromFileFormat(const std::string& fileName, int32_t fileType);
  virtual void ParamsFromStream(TStream& stream);
  virtual void ParamsFromStreamFormat(TStream& stream, int32_t fileType);
  virtual void LoadFromStream(TStream& stream);
  virtual void LoadFromStreamFormat(TStream& stream, int32_t fileType);
  virtual void SaveToStream(TStream& stream, int32_t fileType);

  // OnProgress(self, 100), then OnFinishWork(self).
  virtual void DoFinishWork();

  // Per-format operations. GIF loads return the file's frame count.
  void LoadFromFileJPEG(const std::string& f) { LoadFileBuiltin(f, ioJPEG); }
  void LoadFromStreamJPEG(TStream& s) { LoadStreamBuiltin(s, ioJPEG); }
  void SaveToFileJPEG(const std::string& f) { SaveFileBuiltin(f, ioJPEG); }
  void SaveToStreamJPEG(TStream& s) { SaveStreamBuiltin(s, ioJPEG); }
  int32_t LoadFromFileGIF(const std::string& f) { return LoadFileBuiltin(f, ioGIF); }
  int32_t LoadFromStreamGIF(TStream& s) { return LoadStreamBuiltin(s, ioGIF); }
  void SaveToFileGIF(const std::string& f) { SaveFileBuiltin(f, ioGIF); }
  void SaveToStreamGIF(TStream& s) { SaveStreamBuiltin(s, ioGIF); }
  void LoadFromFileTIFF(const std::string& f) { LoadFileBuiltin(f, ioTIFF); }
  void LoadFromStreamTIFF(TStream& s) { LoadStreamBuiltin(s, ioTIFF); }
  void SaveToFileTIFF(const std::string& f) { SaveFileBuiltin(f, ioTIFF); }
  void SaveToStreamTIFF(TStream& s) { SaveStreamBuiltin(s, ioTIFF); }
  void LoadFromFilePCX(const std::string& f) { LoadFileBuiltin(f, ioPCX); }
  void LoadFromStreamPCX(TStream& s) { LoadStreamBuiltin(s, ioPCX); }
  void SaveToFilePCX(const std::string& f) { SaveFileBuiltin(f, ioPCX); }
  void SaveToStreamPCX(TStream& s) { SaveStreamBuiltin(s, ioPCX); }
  void LoadFromFileDCX(const std::string& f) { LoadFileBuiltin(f, ioDCX); }
  void LoadFromStreamDCX(TStream& s) { LoadStreamBuiltin(s, ioDCX); }
  void SaveToFileDCX(const std::string& f) { SaveFileBuiltin(f, ioDCX); }
  void SaveToStreamDCX(TStream& s) { SaveStreamBuiltin(s, ioDCX); }
  void LoadFromFileBMP(const std::string& f) { LoadFileBuiltin(f, ioBMP); }
  void LoadFromStreamBMP(TStream& s) { LoadStreamBuiltin(s, ioBMP); }
  void SaveToFileBMP(const std::string& f) { SaveFileBuiltin(f, ioBMP); }
  void SaveToStreamBMP(TStream& s) { SaveStreamBuiltin(s, ioBMP); }
  void LoadFromFileICO(const std::string& f) { LoadFileBuiltin(f, ioICO); }
  void LoadFromStreamICO(TStream& s) { LoadStreamBuiltin(s, ioICO); }
  void SaveToFileICO(const std::string& f) { SaveFileBuiltin(f, ioICO); }
  void SaveToStreamICO(TStream& s) { SaveStreamBuiltin(s, ioICO); }
  void LoadFromFileCUR(const std::string& f) { LoadFileBuiltin(f, ioCUR); }
  void LoadFromStreamCUR(TStream& s) { LoadStreamBuiltin(s, ioCUR); }
  void LoadFromFilePNG(const std::string& f) { LoadFileBuiltin(f, ioPNG); }
  void LoadFromStreamPNG(TStream& s) { LoadStreamBuiltin(s, ioPNG); }
  void SaveToFilePNG(const std::string& f) { SaveFileBuiltin(f, ioPNG); }
  void SaveToStreamPNG(TStream& s) { SaveStreamBuiltin(s, ioPNG); }
  void LoadFromFileTGA(const std::string& f) { LoadFileBuiltin(f, ioTGA); }
  void LoadFromStreamTGA(TStream& s) { LoadStreamBuiltin(s, ioTGA); }
  void SaveToFileTGA(const std::string& f) { SaveFileBuiltin(f, ioTGA); }
  void SaveToStreamTGA(TStream& s) { SaveStreamBuiltin(s, ioTGA); }
  void LoadFromFilePNM(const std::string& f) { LoadFileBuiltin(f, ioPXM); }
  void LoadFromStreamPNM(TStream& s) { LoadStreamBuiltin(s, ioPXM); }
  void SaveToFilePNM(const std::string& f) { SaveFileBuiltin(f, ioPXM); }
  void SaveToStreamPNM(TStream& s) { SaveStreamBuiltin(s, ioPXM); }
  void LoadFromFileWBMP(const std::string& f) { LoadFileBuiltin(f, ioWBMP); }
  void LoadFromStreamWBMP(TStream& s) { LoadStreamBuiltin(s, ioWBMP); }
  void SaveToFileWBMP(const std::string& f) { SaveFileBuiltin(f, ioWBMP); }
  void SaveToStreamWBMP(TStream& s) { SaveStreamBuiltin(s, ioWBMP); }
  void LoadFromFileJP2(const std::string& f) { LoadFileBuiltin(f, ioJP2); }
  void LoadFromStreamJP2(TStream& s) { LoadStreamBuiltin(s, ioJP2); }
  void SaveToFileJP2(const std::string& f) { SaveFileBuiltin(f, ioJP2); }
  void SaveToStreamJP2(TStream& s) { SaveStreamBuiltin(s, ioJP2); }
  void LoadFromFileJ2K(const std::string& f) { LoadFileBuiltin(f, ioJ2K); }
  void LoadFromStreamJ2K(TStream& s) { LoadStreamBuiltin(s, ioJ2K); }
  void SaveToFileJ2K(const std::string& f) { SaveFileBuiltin(f, ioJ2K); }
  void SaveToStreamJ2K(TStream& s) { SaveStreamBuiltin(s, ioJ2K); }
  void SaveToFilePS(const std::string& f) { SaveFileBuiltin(f, ioPS); }
  void SaveToStreamPS(TStream& s) { SaveStreamBuiltin(s, ioPS); }
  void SaveToFilePDF(const std::string& f) { SaveFileBuiltin(f, ioPDF); }
  void SaveToStreamPDF(TStream& s) { SaveStreamBuiltin(s, ioPDF); }

  // ------------------------------------------------------------ threads

  // Waits until no worker runs. With setAborting, keeps Aborting set while
  // waiting, so that a running filter stops at its next row. On one of the
  // component's own workers it waits for the others only.
  void WaitThreads(bool setAborting);
  // The calling thread is one of this component's workers.
  bool IsInsideThread() const;

  // Fetches an "http://" or "https://" address (through ProxyAddress when
  // set) and loads the body by its content. Aborting when the address is not
  // one, the server cannot be reached, the status is an error, or the body
  // exceeds the memory budget.
  void LoadFromURL(const std::string& address);

  // Draws an enhanced metafile into the bitmap (Width or Height 0: nothing;
  // negative: from the other side in proportion; both negative: its own
  // size; at most 16000 a side). Aborting when it has no size or cannot be
  // drawn. WithAlpha: what the picture leaves uncovered becomes transparent.
  void ImportMetafile(const std::string& fileName, int32_t width, int32_t height, bool withAlpha);

  // Opens the first video stream of an AVI file; answers its frame count
  // (0 with Aborting when it cannot be read).
  int32_t OpenAVIFile(const std::string& fileName);
  void CloseAVIFile();
  // Loads one frame of the open AVI (Aborting without one, past the end, or
  // when the frame cannot be decoded).
  void LoadFromAVI(int32_t frame);
  // What LoadFromFile does with ".avi": open, frame 0, close; FileType 15.
  void LoadAVIFileFirstFrame(const std::string& fileName);
  int32_t AVIFrameCount() const { return aviFrameCount_; }
  // Milliseconds per frame, set by LoadFromAVI.
  int32_t AVIFrameDelay() const { return aviFrameDelay_; }

  // ------------------------------------------------------------ printing and dialogs

  // Printing and print preview reach the printer through the hooks the
  // widget part installs (InstallControlHooks, core/kopxutils_controls.h);
  // without them they end unsupported and change nothing, as the dialogs
  // do without their hooks (io/pxprint.h).
  // Lays the image out on the printer's page (canvas nullptr: the printer's
  // own canvas, inside a document the caller began).
  void PrintImage(TCanvas* canvas, const TPrintLayoutArgs& args);
  // Draws the page layout for a printer (nullptr: the framework's) into
  // bitmap, scaled to fit maxWidth x maxHeight, with the margins dashed.
  void PreviewPrintImage(TBitmap& bitmap, int32_t maxWidth, int32_t maxHeight, TPrinter* printer,
                         const TPrintLayoutArgs& args);
  // Style 0 or 1 of the print-preview forms; 1 when closed with OK, -1 when
  // the print failed (its printer or PDF file could not be opened), else 0.
  int32_t DoPrintPreviewDialog(int32_t style, const std::string& title);
  virtual bool DoPreviews(uint32_t pages);
  void ExecuteOpenDialog(const std::string& initialDir, const std::string& s1, const std::string& s2,
                         std::string& fileName, int32_t filterIndex, bool alwaysAnimate);
  void ExecuteSaveDialog(const std::string& initialDir, const std::string& s1, const std::string& s2,
                         std::string& fileName, int32_t filterIndex, bool alwaysAnimate);
  // Printing may resample with a filter when the image is reduced.
  bool PrintFilter() const { return printFilter_; }
  void SetPrintFilter(bool value) { printFilter_ = value; }
  // DoPrintPreviewDialog takes the printer again with its defaults first.
  bool PrinterReset() const { return printerReset_; }
  void SetPrinterReset(bool value) { printerReset_ = value; }
  // (Sender, var Handled): DoPreviews answers true without a dialog when handled.
  std::function<void(TPixoranIO*, bool&)> OnDoPreviews;
  // (Sender, form): a previews dialog or print-preview form is about to be
  // shown. The dialogs layer calls DoIOPreview with the form it created.
  std::function<void(TPixoranIO*, QWidget*)> OnIOPreview;
  void DoIOPreview(QWidget* form);

  // ------------------------------------------------------------ acquisition
  //
  // Scanners and video come through the acquisition layer, which calls these.
  // No scanner or capture device exists on this platform: the WIA and
  // DirectShow objects are made but report no device, so nothing arrives
  // unless the caller hands a bitmap to AcquireBitmap itself.

  // An acquired image: DoAcquireBitmap; unless handled, params receives the
  // component's parameter record, the bitmap is copied into the working
  // bitmap, AutoAdjustDPI runs and the attached control is updated. Nothing
  // when PrepareBitmap fails.
  virtual void AcquireBitmap(TPXBitmap* bitmap, TIOParamsVals*& params);
  // Fires OnAcquireBitmap (Sender, bitmap, var Handled).
  virtual void DoAcquireBitmap(TPXBitmap* bitmap, bool& handled);
  std::function<void(TPixoranIO*, TPXBitmap*, bool&)> OnAcquireBitmap;
  // The acquisition layer's count of images taken in one session.
  int32_t AcquireCount() const { return acquireCount_; }
  void SetAcquireCount(int32_t value) { acquireCount_ = value; }
  virtual void ClearAcquireState() { acquireCount_ = 0; }
  // The working bitmap's own platform bitmap when it lives in one, else the
  // attached platform bitmap (nullptr without either).
  virtual TBitmap* GetTBitmap();
  // Made on first use, owned by the component.
  virtual TPXWia* GetWIA();
  virtual TPXDirectShow* GetDirectShow();
  // The WIA transfer's progress: fires OnProgress; false once Aborting is set.
  bool WIAProgress(int32_t percent);
  // Made on first use, owned by the component.
  TPXTWainParams& TWainParams();

  // ------------------------------------------------------------ multi-page PostScript and PDF
  //
  // A multi-page document written a page at a time stays open on the
  // component until closed. The writer that starts one hands it over here.
  void AdoptPSFile(std::unique_ptr<TPXPSState> state, std::unique_ptr<TStream> stream);
  void AdoptPDFFile(std::unique_ptr<TPXPDFDocument> document, std::unique_ptr<TStream> stream);
  bool PSFileOpen() const { return psState_ != nullptr; }
  bool PDFFileOpen() const { return pdfDocument_ != nullptr; }
  // Writes the trailer (PostScript) or the whole document with Params (PDF),
  // frees the stream and forgets both; nothing when none is open. Aborting
  // when a write fell short.
  void ClosePSFile();
  void ClosePDFFile();

  // ------------------------------------------------------------ TIOParamsOwner
  TBitmap* OwnerTBitmap() override { return attachedTBitmap_; }
  void OwnerDpiXChanged(int32_t dpi) override;
  void OwnerDpiYChanged(int32_t dpi) override;

 protected:
  void ComponentRemoved(TComponent* component) override;

 private:
  struct TSaveSource;
  struct THeaderInfo;
  friend class TPXIOThread;

  // Runs one operation: the finishing events fire exactly once at its end,
  // also when it raises (Aborting is then set and the exception passes on).
  // Nothing of the component is touched after them: a handler may free it.
  void RunOperation(const std::function<void()>& body);
  // Runs an operation as a step of the one running: it stays on this thread
  // and its finishing events stay quiet (the outer operation fires them).
  void RunInner(const std::function<void()>& step);
  // The hand-off test every load and save wrapper makes first: true when
  // the call (holding copies of the wrapper's arguments) went to a worker.
  bool HandOff(std::function<void()> call);
  // On a worker or another non-UI thread the call goes to the UI thread;
  // otherwise it runs now.
  void OnUIThread(std::function<void()> call);
  void TellViewerDpi();
  // Worker side: an exception escaped the operation; the finishing events
  // fire when the operation did not get to fire them.
  void WorkerFailed(bool finishOwed);
  // Worker side, under the thread list's lock, just before it leaves.
  void WorkerLeaving();
  // Waits for the workers (other than the calling one).
  void WaitForWorkers(bool setAborting);
  // Follows a viewer bitmap change that arrived while a worker ran.
  void ApplyDeferredViewerChange();
  // The viewer is about to free or replace bitmap: no worker may use it after.
  void ViewerBitmapReleasing(TPXBitmap* bitmap, bool cancel);
  void FinishOperation();
  // Records why the operation fails (the first reason given wins) and sets Aborting.
  void Fail(TPXIOResult kind, std::string text);
  // The kind and message of a caught exception, through Fail.
  void FailFromException(std::exception_ptr error);
  TPXProgressRec MakeProgress(bool withHandler = true);

  // The one way of every load and save (pixoranio_core.cpp). The typed
  // entry points (LoadFromFileJPEG, ...) and the dispatch by extension, type
  // or content pick a record; these run it.
  int32_t LoadFileBuiltin(const std::string& fileName, int32_t fileType);
  // A file load of a type with a record: a whole-file import (metafile,
  // movie frame) when the record says so, else the built-in load.
  void LoadFileOfType(const std::string& fileName, int32_t fileType);
  // A load by a registry entry's extension.
  void LoadFileOfEntry(const std::string& fileName, const TPXFileFormatInfo* info);
  // A stream load of a type: directly when the record's flags include
  // direct, else through the type's registry entry.
  void LoadStreamOfType(TStream& stream, int32_t fileType, uint16_t direct);
  int32_t LoadStreamBuiltin(TStream& stream, int32_t fileType);
  // What a load of the type returns: the file's image count for multi-image formats, else 0.
  int32_t LoadedImageCount(int32_t fileType) const;
  void SaveFileBuiltin(const std::string& fileName, int32_t fileType);
  void SaveStreamBuiltin(TStream& stream, int32_t fileType);
  // Open and run a file load; viaRegistry: the registry's way (the record
  // reset before the open, no reader ends the load before it).
  void LoadFile(const std::string& fileName, const TPXFormatCodec* codec, int32_t fileType, bool viaRegistry);
  // Prepare, read and finish (fileName: the file the stream reads, nullptr for a stream load).
  void LoadThrough(TStream& stream, const TPXFormatCodec* codec, int32_t fileType, const std::string* fileName);
  void SaveFile(const std::string& fileName, const TPXFormatCodec* codec, int32_t fileType);
  void SaveThrough(TStream& stream, const TPXFormatCodec* codec, int32_t fileType);
  bool HasWriter(const TPXFormatCodec* codec, int32_t fileType, const std::string* fileName);
  bool ReadStreamHeader(TStream& stream, const TPXFormatCodec& codec, bool fromFile, THeaderInfo& header);
  bool PrepareSaveSource(uint32_t writerFormats, bool withAlpha, TSaveSource& source);
  // Renames the written temporary file over the target; the reason when it cannot.
  void CommitSave(TSiblingTempFile& file, const std::string& fileName);
  // A writer failed with no reason given and a write to stream failed: that is the reason.
  void NoteWriteFailure(TStream& stream);
  void WriteCore(TStream& stream, const TPXFormatCodec& codec, TSaveSource& source, bool withHeader,
                 const std::string* fileName);
  void CopyAlphaMask(TPXBitmap& mask);
  void ParamsRead(TStream& stream, int32_t fileType, bool fromFile);

  // Attachment.
  static void ViewerCallback(void* userData, TPXViewLink* view, bool destroying);
  static void ViewerReleaseCallback(void* userData, TPXViewLink* view, TPXBitmap* bitmap, bool cancel);
  void ViewerBitmapChanged(bool destroying);
  void TakeViewerBitmap();
  void DetachViewer();
  void DetachImage();
  void ResetToOwned();
  void WrapTBitmap(TBitmap* bitmap);

  std::unique_ptr<TPXBitmap> owned_;    // the working bitmap when the component owns it
  int64_t storageFailuresAtStart_ = 0;  // PXStorageFailures when the operation began
  int64_t storageWriteFailuresAtStart_ = 0;
  TPXBitmap* working_ = nullptr;
  TBitmap* attachedTBitmap_ = nullptr;
  TPXViewLink* viewer_ = nullptr;
  TComponent* viewerComponent_ = nullptr;  // the viewer, for free notification
  int32_t viewerHandle_ = -1;
  TImage* image_ = nullptr;  // held by pointer only (platform/imagelink.h)
  TComponent* imageComponent_ = nullptr;
  TColor background_ = 0;
  TMsgLanguage msgLanguage_ = msSystem;
  uint8_t previewsParams_ = 0;
  bool simplifiedParamsDialogs_ = true;
  bool streamHeaders_ = false;
  TFont previewFont_;
  uint8_t dialogsMeasureUnit_ = 0;
  bool autoAdjustDPI_ = false;
  bool filteredAdjustDPI_ = false;
  bool asyncMode_ = false;
  std::string proxyAddress_, proxyUser_, proxyPassword_;
  uint8_t bwConversion_ = 1;
  std::unique_ptr<TIOParamsVals> params_;
  std::atomic<bool> aborting_{false};
  std::atomic<bool> cancelRequested_{false};  // the caller set Aborting during the operation
  TPXIOResultRec result_;
  int32_t innerDepth_ = 0;  // steps of a larger operation running (RunInner)
  std::shared_ptr<TPXIOThreadList> threads_ = std::make_shared<TPXIOThreadList>();
  std::unique_ptr<TUIThreadPoster> uiPoster_ = std::make_unique<TUIThreadPoster>();
  bool viewerChangePending_ = false;  // under threads_->Lock
  std::shared_ptr<TAVIReader> avi_;
  int32_t aviFrameCount_ = 0, aviFrameDelay_ = 0;
  bool printFilter_ = true;
  bool printerReset_ = true;
  int32_t acquireCount_ = 0;
  std::unique_ptr<TPXWia> wia_;
  std::unique_ptr<TPXDirectShow> directShow_;
  std::unique_ptr<TPXTWainParams> twainParams_;
  std::unique_ptr<TPXPSState> psState_;
  std::unique_ptr<TStream> psStream_;
  std::unique_ptr<TPXPDFDocument> pdfDocument_;
  std::unique_ptr<TStream> pdfStream_;
  void PrintLayoutInto(TCanvas& canvas, const TPrintDevice& device, const TPrintLayoutArgs& args);
  // False, with the result unsupported, while no printer hooks are installed.
  bool PrinterInstalled();
};

}  // namespace pixoran
