#pragma once
// GIF files (87a and 89a): one frame read at a time, single-frame files
// written, frames removed from a file (which also counts them), and the
// composition of animation frames over the frames before them, as a viewer
// of the animation sees them. The LZW coding goes through the record's own
// codec fields or the process-wide GIF hooks.
#include <cstdint>
#include <memory>
#include <string>

#include "platform/pxexport.h"
#include "core/kopxutils_bitmap.h"
#include "core/pxmask.h"
#include "io/pixoranio_params.h"
#include "core/pxprogress.h"
#include "platform/streams.h"

namespace pixoran {

// Reads frame params.GIFImageIndex at the stream's position into the bitmap
// (pxBW1 for a black-and-white two-entry table, pxPal8 with
// KeepNativeFormat, else pxBGR24) and, unless noMask, its transparency into
// an 8-bit mask (created in the holder when empty; 0 marks the transparent
// index). frameCount (and GIFImageCount) receive the number of frames in
// the file; GIFComments the comments of all of them. A frame that is not
// there, has no pixels, or would need more memory than the library's budget,
// and data the codec cannot decode, set Aborting. Never throws.
PIXORAN_IO_EXPORT void ReadGIFStream(TStream& stream, TPXBitmap& bitmap, int32_t& frameCount, TIOParamsVals& params,
                                     TPXProgressRec& progress, bool paramsOnly, std::unique_ptr<TPXMask>& mask,
                                     bool noMask);

// Writes the bitmap (never changed) as a one-frame GIF of BitsPerSample
// bits (1..8) at the stream's position. An alpha channel makes the last
// palette entry the transparent one. Failure sets Aborting.
PIXORAN_IO_EXPORT void WriteGIFStream(TStream& stream, TPXBitmap& bitmap, TIOParamsVals& params,
                                      TPXProgressRec& progress);
// The same into a file, through a sibling temporary file: a failed write
// leaves an existing file as it was.
PIXORAN_IO_EXPORT void WriteGIFFile(const std::string& fileName, TPXBitmap& bitmap, TIOParamsVals& params,
                                    TPXProgressRec& progress);

// Copies the GIF at the source's position without frame frameIndex (-1:
// none) into dest (nullptr: nothing is written), with the signature made
// "GIF89a"; returns the number of frames kept, 0 for data that is not GIF.
PIXORAN_IO_EXPORT int32_t CopyGIFWithoutFrame(TStream& source, TStream* dest, int32_t frameIndex);
// Removes a frame from a file and, with save, writes the result over it
// (through a sibling temporary file). Returns the frames kept: 0 for a file
// that is not GIF (left untouched), -1 when the save failed (file untouched).
// Raises EFOpenError when the file cannot be opened.
PIXORAN_IO_EXPORT int32_t DeleteGIFFrame(const std::string& fileName, int32_t frameIndex, bool save);

// Composes animation frames: each frame is drawn through its transparency
// over the canvas, which first loses the previous frame's rectangle to the
// background when that frame asked for it (disposal method 2). The canvas is
// a pxBGR24 bitmap of the logical screen (grown to fit a larger frame) with
// an alpha channel: 0 where no frame has drawn.
class PIXORAN_IO_EXPORT TGIFFrameComposer {
 public:
  // fileBytes: the whole file's length, which bounds the canvas as it
  // bounds the screen; progress receives the reason of a refusal.
  TGIFFrameComposer(int64_t fileBytes, TPXProgressRec& progress) : fileBytes_(fileBytes), progress_(progress) {}
  // Adds a frame read by ReadGIFStream with params; mask is its
  // transparency, or nullptr for an opaque frame. False when the canvas
  // storage cannot be had, or the canvas (the screen grown to the frames'
  // sizes) is more than the file could describe (iorTooLarge told).
  bool AddFrame(TPXBitmap& frame, const TPXMask* mask, const TIOParamsVals& params);
  TPXBitmap& Canvas() { return canvas_; }
  void Reset();

 private:
  int64_t fileBytes_;
  TPXProgressRec& progress_;
  TPXBitmap canvas_;
  bool disposePrevious_ = false;
  int32_t prevX_ = 0, prevY_ = 0, prevWidth_ = 0, prevHeight_ = 0;
};

// What loading a GIF gives: frame params.GIFImageIndex as it shows in the
// animation (frames 0 to it composed when the file has more than one, the
// frame itself otherwise), in bitmap, and its transparency in alpha (pxGray8,
// left empty for an opaque single frame). The composed image has frame
// position 0, 0 and the canvas's size. Returns the file's frame count;
// failure sets Aborting.
PIXORAN_IO_EXPORT int32_t ReadGIFAnimationFrame(TStream& stream, TPXBitmap& bitmap, TPXBitmap& alpha,
                                                TIOParamsVals& params, TPXProgressRec& progress);

// The filter's entries for the I/O component's format table.
PIXORAN_IO_EXPORT void GIFFormatRead(TStream& stream, TPXBitmap& bitmap, TIOParamsVals& params,
                                     TPXProgressRec& progress, bool paramsOnly, int64_t dataLength, TPXBitmap& alpha);
PIXORAN_IO_EXPORT void GIFFormatWrite(TStream& stream, TPXBitmap& bitmap, TIOParamsVals& params,
                                      TPXProgressRec& progress, TPXBitmap* alpha);
// Frames in the GIF at the stream's position.
PIXORAN_IO_EXPORT int32_t CountGIFFrames(TStream& stream);

}  // namespace pixoran
