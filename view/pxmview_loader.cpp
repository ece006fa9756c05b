// The thumbnail view's loaders: synchronous loads, the placeholder of a
// failed load, and the background loader (a starter thread feeding at most
// ThreadPoolSize jobs, each loading one record's file on a thread of its own).
//
// Jobs and pending entries name records, never list indices, so inserting
// or deleting meanwhile cannot send a thumbnail to another image; deleting
// a record detaches its job under the loader lock. Workers read only the
// snapshot of visible records taken by the UI thread, and hand repainting
// back to the UI thread.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <thread>
#include <unordered_set>

#include "core/kopxutils_bitmap.h"
#include "core/kopxutils_diblist.h"
#include "core/pxresample.h"
#include "io/pixoranio.h"
#include "io/pxmio.h"
#include "proc/pixoranproc.h"
#include "platform/uithread.h"
#include "view/pxmview.h"
#include "view/pxmview_mio.h"

namespace pixoran {

namespace {

// Loads through io (reduced to the box when boxW and boxH are set); the
// file's full size and background colour go into info.
bool LoadWithIO(TPixoranIO& io, const std::string& fileName, TPXBitmap& bitmap, int32_t boxW, int32_t boxH,
                const std::atomic<bool>* cancelled, TPXMLoadInfo& info) {
  io.Params().JPEGScale = 1;
  io.Params().Width = io.Params().Height = 0;
  if (boxW > 0 && boxH > 0) {
    io.Params().JPEGScale = 0;  // decode at the smallest scale still covering the box
    io.Params().Width = boxW;
    io.Params().Height = boxH;
  }
  // A file that names no background keeps the one given.
  io.SetBackground(info.Background);
  io.Params().JPEGScaleDenom = 1;
  if (cancelled) {
    TPXProgressEvent progress = io.OnProgress;
    io.OnProgress = [&io, cancelled, progress](TObject* sender, int percent) {
      if (cancelled->load()) io.SetAborting(true);
      if (progress) progress(sender, percent);
    };
  }
  bool ok = true;
  try {
    io.LoadFromFile(fileName);
  } catch (...) {
    ok = false;
  }
  ok = ok && !io.Aborting() && io.PXBitmap() && io.PXBitmap()->Width() > 0 && io.PXBitmap()->Height() > 0;
  if (!ok) return false;
  bitmap.Assign(io.PXBitmap());
  // A JPEG decoded at a reduced scale tells its full size apart.
  if (io.Params().JPEGScaleDenom > 1 && io.Params().JPEGOriginalWidth > 0) {
    info.OriginalWidth = io.Params().JPEGOriginalWidth;
    info.OriginalHeight = io.Params().JPEGOriginalHeight;
  }
  // Only a colour the file named: the record may have been given another
  // meanwhile.
  const TColor given = info.Background;
  info.Background = io.Background();
  info.HasBackground = info.Background != given;
  return true;
}

// The default job: one TPixoranIO per job, on the job's own thread.
bool LoadThroughIO(const std::string& fileName, TPXBitmap& bitmap, int32_t boxW, int32_t boxH,
                   const std::atomic<bool>& cancelled, TPXMLoadInfo& info) {
  TPixoranIO io;
  return LoadWithIO(io, fileName, bitmap, boxW, boxH, &cancelled, info);
}

}  // namespace

struct TPixoranMView::TLoader {
  struct TJob {
    TPXMViewImage* Record = nullptr;  // nullptr once detached (record deleted, job cancelled)
    std::string FileName;             // copied when queued
    TColor Background = clBtnFace;    // the record's, copied when queued
    std::atomic<bool> Cancelled{false};
    bool Done = false;  // under the lock
    std::thread Thread;
  };

  explicit TLoader(TPixoranMView* view) : View(view) {}

  TPixoranMView* View;
  TLoadJob Job = LoadThroughIO;
  bool Injected = false;  // a job factory other than the default
  struct TPending {
    TPXMViewImage* Record;
    std::string FileName;
    TColor Background;
  };
  std::deque<TPending> Pending;
  std::vector<std::unique_ptr<TJob>> Running;
  std::unordered_set<const TPXMViewImage*> Visible;  // snapshot taken by the UI thread
  std::condition_variable_any Wake;
  bool Terminated = false;
  std::thread Starter;
  TUIThreadPoster Poster;

  int32_t Active() const {
    int32_t n = 0;
    for (auto& j : Running) n += j->Done ? 0 : 1;
    return n;
  }

  // Under the lock: joins finished jobs, cancels those whose image left the
  // view, drops pending entries no longer visible.
  void Tidy() {
    for (auto it = Running.begin(); it != Running.end();) {
      TJob& j = **it;
      if (j.Done) {
        if (j.Thread.joinable()) j.Thread.join();  // it only returns now
        it = Running.erase(it);
        continue;
      }
      if (j.Record && !Visible.count(j.Record)) {
        j.Record = nullptr;
        j.Cancelled = true;
      }
      ++it;
    }
    Pending.erase(std::remove_if(Pending.begin(), Pending.end(),
                                 [this](const auto& p) { return !Visible.count(p.Record); }),
                  Pending.end());
  }

  void Detach(TPXMViewImage* rec) {
    for (auto& j : Running)
      if (j->Record == rec) {
        j->Record = nullptr;
        j->Cancelled = true;
      }
    Pending.erase(std::remove_if(Pending.begin(), Pending.end(), [rec](const auto& p) { return p.Record == rec; }),
                  Pending.end());
  }

  void StartStarter() {
    if (!Starter.joinable()) Starter = std::thread([this] { RunStarter(); });
  }

  void RunStarter() {
    std::unique_lock<std::recursive_mutex> lock(MViewLoaderLock());
    for (;;) {
      Wake.wait(lock, [this] {
        return Terminated || (!Pending.empty() && Active() < View->threadPoolSize_) ||
               std::any_of(Running.begin(), Running.end(), [](auto& j) { return j->Done; });
      });
      if (Terminated) return;
      Tidy();
      while (!Pending.empty() && Active() < View->threadPoolSize_) {
        TPending next = Pending.front();
        Pending.pop_front();
        auto job = std::make_unique<TJob>();
        job->Record = next.Record;
        job->FileName = std::move(next.FileName);
        job->Background = next.Background;
        TJob* raw = job.get();
        const bool thumb = View->storeType_ == pxtThumb;
        const int32_t bw = thumb ? View->thumbWidth_ : 0, bh = thumb ? View->thumbHeight_ : 0;
        job->Thread = std::thread([this, raw, bw, bh] { RunJob(*raw, bw, bh); });
        Running.push_back(std::move(job));
      }
    }
  }

  // The job's thread: decodes without the lock, then finishes under it.
  void RunJob(TJob& job, int32_t boxW, int32_t boxH) {
    TPXBitmap bitmap;
    TPXMLoadInfo info;
    info.Background = job.Background;
    bool ok = false;
    if (!job.Cancelled.load()) {
      try {
        ok = Job(job.FileName, bitmap, boxW, boxH, job.Cancelled, info);
      } catch (...) {
        ok = false;
      }
    }
    const int32_t fullW = info.OriginalWidth > 0 ? info.OriginalWidth : bitmap.Width();
    const int32_t fullH = info.OriginalHeight > 0 ? info.OriginalHeight : bitmap.Height();
    std::unique_ptr<TPXBitmap> reduced;
    TPXMViewImage* failed = nullptr;
    if (ok && !job.Cancelled.load() && boxW > 0) reduced = View->ReduceToBox(bitmap);
    {
      std::lock_guard<std::recursive_mutex> guard(MViewLoaderLock());
      if (job.Record && !job.Cancelled.load()) {
        auto it = std::find_if(View->images_.begin(), View->images_.end(),
                               [&job](auto& r) { return r.get() == job.Record; });
        if (it != View->images_.end()) {
          TPXMViewImage& rec = **it;
          if (!ok) {
            // The placeholder draws text, which only the UI thread may do:
            // the record is marked now and gets its picture there.
            View->FreeRecordStore(rec);
            rec.Wrong = true;
            failed = &rec;
          } else {
            View->StoreBitmap(rec, reduced ? *reduced : bitmap, fullW, fullH, false);
            if (info.HasBackground) rec.Background = info.Background;
          }
        }
      }
      job.Done = true;
      Wake.notify_all();
    }
    // Posted, never run here: the UI thread may be joining this thread
    // under the loader lock.
    Poster.Post([view = View, failed] {
      if (failed) view->ShowWrongRecord(failed);
      view->Invalidate();
    });
  }
};

// ---------------------------------------------------------------------------

std::unique_ptr<TPXBitmap> TPixoranMView::ReduceToBox(TPXBitmap& bitmap) {
  const int32_t w0 = bitmap.Width(), h0 = bitmap.Height();
  if (w0 < 1 || h0 < 1 || (w0 <= thumbWidth_ && h0 <= thumbHeight_ && !fitAlways_)) return nullptr;
  int32_t w = 0, h = 0;
  FitThumbSize(w0, h0, thumbWidth_, thumbHeight_, w, h);
  if (w == w0 && h == h0) return nullptr;
  auto reduced = std::make_unique<TPXBitmap>();
  if (!reduced->Allocate(w, h, pxBGR24)) return nullptr;
  if (bitmap.PixelFormat() == pxBW1 && w <= w0 && h <= h0 && !bitmap.HasAlphaChannel()) {
    // The 1-bit reducer averages the set bits into grey.
    ShrinkBW1ToGray24(bitmap, 0, 0, w0 - 1, h0 - 1, *reduced);
    return reduced;
  }
  const TResampleFilter filter =
      bitmap.PixelFormat() == pxBW1 && thumbFilter_ != rfNone ? rfFastLinear : thumbFilter_;
  ResampleBitmap(bitmap, *reduced, filter);
  // The nearest-pixel copy keeps the source's format; thumbnails are 24-bit.
  if (reduced->PixelFormat() != pxBGR24) reduced->ConvertPixelFormat(pxBGR24);
  return reduced;
}

bool TPixoranMView::StoreBitmap(TPXMViewImage& rec, TPXBitmap& bitmap, int32_t fullW, int32_t fullH, bool wrong) {
  std::lock_guard<std::recursive_mutex> guard(MViewLoaderLock());
  FreeRecordStore(rec);
  rec.Wrong = wrong;
  rec.Cache = store_->AddImage(bitmap);
  if (!rec.Cache) {
    // Not stored: marked as failed so painting does not queue it forever.
    rec.Wrong = true;
    return false;
  }
  store_->SetOriginalWidth(rec.Cache, fullW);
  store_->SetOriginalHeight(rec.Cache, fullH);
  return true;
}

void TPixoranMView::StoreWrongImage(TPXMViewImage& rec, int32_t index) {
  TPXBitmap b;
  b.Allocate(thumbWidth_, thumbHeight_, pxBGR24);
  bool handled = false;
  if (OnWrongImage) OnWrongImage(this, b, index, handled);
  if (!handled) {
    TBitmap tb;
    tb.SetPixelFormat(pf24bit);
    tb.SetSize(thumbWidth_, thumbHeight_);
    TCanvas& c = tb.Canvas();
    c.Brush.Color = clWhite;
    c.Brush.Style = bsSolid;
    c.FillRect(Rect(0, 0, thumbWidth_, thumbHeight_));
    c.Font.Name = "Arial";
    c.Font.Bold = true;
    c.Font.Height = thumbHeight_;
    const int tw = c.TextWidth("?"), th = c.TextHeight("?");
    const int x = (thumbWidth_ - tw) / 2, y = (thumbHeight_ - th) / 2;
    c.Brush.Style = bsClear;
    c.Font.Color = static_cast<TColor>(0x808080);
    c.TextOut(x + 3, y + 3, "?");
    c.Font.Color = static_cast<TColor>(0xFF0000);
    c.TextOut(x, y, "?");
    b.Assign(&tb);
  }
  StoreBitmap(rec, b, thumbWidth_, thumbHeight_, true);
}

void TPixoranMView::ShowWrongRecord(TPXMViewImage* rec) {
  std::lock_guard<std::recursive_mutex> guard(MViewLoaderLock());
  // The record may have gone meanwhile; a new one in its place is not marked.
  for (int32_t i = 0; i < GetImageCount(); ++i)
    if (images_[i].get() == rec && rec->Wrong && !rec->Cache) StoreWrongImage(*rec, i);
}

void TPixoranMView::ShowWrongImage(int32_t index) {
  std::lock_guard<std::recursive_mutex> guard(MViewLoaderLock());
  if (index < 0 || index >= GetImageCount()) return;
  StoreWrongImage(*images_[index], index);
}

bool TPixoranMView::IsWrongImage(int32_t index) {
  std::lock_guard<std::recursive_mutex> guard(MViewLoaderLock());
  return index >= 0 && index < GetImageCount() && images_[index]->Wrong;
}

bool TPixoranMView::LoadThroughOwnIO(int32_t index, const std::string& name, TPXBitmap& b, TPXMLoadInfo& info) {
  const bool thumb = storeType_ == pxtThumb;
  const int32_t bw = thumb ? thumbWidth_ : 0, bh = thumb ? thumbHeight_ : 0;
  info.Background = GetImageBackground(index);
  TLoadJob injected;
  {
    std::lock_guard<std::recursive_mutex> guard(MViewLoaderLock());
    if (loader_->Injected) injected = loader_->Job;
  }
  std::atomic<bool> never{false};
  if (injected) return injected(name, b, bw, bh, never, info);
  TPixoranIO& io = *GetIO();
  io.OnProgress = OnIOProgress;
  return LoadWithIO(io, name, b, bw, bh, nullptr, info);
}

bool TPixoranMView::LoadImageFromFile(int32_t index, const std::string& name) {
  if (index < 0 || index >= GetImageCount()) return false;
  TPXBitmap b;
  TPXMLoadInfo info;
  if (!LoadThroughOwnIO(index, name, b, info)) {
    ShowWrongImage(index);
    Invalidate();
    return false;
  }
  const int32_t fullW = info.OriginalWidth > 0 ? info.OriginalWidth : b.Width();
  const int32_t fullH = info.OriginalHeight > 0 ? info.OriginalHeight : b.Height();
  std::unique_ptr<TPXBitmap> reduced = storeType_ == pxtThumb ? ReduceToBox(b) : nullptr;
  bool ok;
  {
    std::lock_guard<std::recursive_mutex> guard(MViewLoaderLock());
    if (index >= GetImageCount()) return false;
    ok = StoreBitmap(*images_[index], reduced ? *reduced : b, fullW, fullH, false);
    if (ok && info.HasBackground) images_[index]->Background = info.Background;
  }
  if (index == selected_) DropSelectedBitmap();
  Invalidate();
  return ok;
}

bool TPixoranMView::LoadImageNow(int32_t index) {
  const int32_t id = GetImageID(index);
  if (id >= 0 && (OnImageIDRequest || OnImageIDRequestEx)) {
    TPXBitmap b;
    if (OnImageIDRequest)
      OnImageIDRequest(this, id, b);
    else
      OnImageIDRequestEx(this, index, id, b);
    if (b.Width() > 0 && b.Height() > 0 && SetImageBitmap(index, b)) return true;
    ShowWrongImage(index);
    return false;
  }
  const std::string name = GetImageFileName(index);
  if (name.empty()) {
    ShowWrongImage(index);
    return false;
  }
  if (!LoadImageFromFile(index, name)) return false;
  // The attached multi-image component keeps the file's parameters for it.
  bool injected;
  {
    std::lock_guard<std::recursive_mutex> guard(MViewLoaderLock());
    injected = loader_->Injected;
  }
  if (mio_ && !injected)
    if (TIOParamsVals* params = mio_->GetParams(index)) params->Assign(GetIO()->Params());
  return true;
}

TPixoranIO* TPixoranMView::GetIO() {
  if (!io_) io_ = std::make_unique<TPixoranIO>(this);
  return io_.get();
}

TPixoranProc* TPixoranMView::GetProc() {
  if (!proc_) {
    proc_ = std::make_unique<TPixoranProc>(this);
    proc_->OnProgress = onProgress_;
    proc_->SetAttachedPixoran(this);
  }
  return proc_.get();
}

TPixoranMIO* TPixoranMView::GetMIO() {
  if (!mio_) {
    mio_ = std::make_unique<TPixoranMIO>(this);
    mio_->OnProgress = onProgress_;
    AttachMView(*mio_, this);
  }
  return mio_.get();
}

void TPixoranMView::SetOnProgress(TPXProgressEvent handler) {
  onProgress_ = std::move(handler);
  if (proc_) proc_->OnProgress = onProgress_;
  if (mio_) mio_->OnProgress = onProgress_;
}

void TPixoranMView::DropSelectedBitmap() {
  selBitmap_.reset();
  selBitmapRec_ = nullptr;
}

TPXBitmap* TPixoranMView::GetPXBitmap() {
  if (selected_ < 0 || selected_ >= GetImageCount()) return nullptr;
  const TPXMViewImage* rec = images_[selected_].get();
  if (selBitmap_ && selBitmapRec_ == rec) return selBitmap_.get();
  auto b = std::make_unique<TPXBitmap>();
  if (!CopyStoredImage(selected_, *b)) return nullptr;
  selBitmap_ = std::move(b);
  selBitmapRec_ = rec;
  return selBitmap_.get();
}

TBitmap* TPixoranMView::GetTBitmap() {
  TPXBitmap* b = GetPXBitmap();
  return b ? b->VclBitmap() : nullptr;
}

void TPixoranMView::SetLoadJobFactory(TLoadJob job) {
  std::lock_guard<std::recursive_mutex> guard(MViewLoaderLock());
  loader_->Injected = static_cast<bool>(job);
  loader_->Job = job ? std::move(job) : TLoadJob(LoadThroughIO);
}

void TPixoranMView::RefreshVisible() {
  std::lock_guard<std::recursive_mutex> guard(MViewLoaderLock());
  loader_->Visible.clear();
  for (int32_t i = 0; i < GetImageCount(); ++i)
    if (IsImageVisible(i)) loader_->Visible.insert(images_[i].get());
}

bool TPixoranMView::QueueLoad(int32_t index) {
  std::lock_guard<std::recursive_mutex> guard(MViewLoaderLock());
  if (index < 0 || index >= GetImageCount()) return false;
  if (!painting_) RefreshVisible();
  TLoader& l = *loader_;
  TPXMViewImage* rec = images_[index].get();
  bool result = false;
  if (rec->Cache || rec->Wrong) {
    result = true;
  } else {
    l.Tidy();
    const bool pending =
        std::any_of(l.Pending.begin(), l.Pending.end(), [rec](const auto& p) { return p.Record == rec; });
    const bool running =
        std::any_of(l.Running.begin(), l.Running.end(), [rec](auto& j) { return !j->Done && j->Record == rec; });
    if (pending || running) {
      result = true;
    } else if (rec->ImageID >= 0 && OnImageIDRequest) {
      result = false;  // obtained synchronously from the owner
    } else if (!rec->FileName.empty()) {
      l.Pending.push_back({rec, rec->FileName, rec->Background});
      result = true;
    }
  }
  l.StartStarter();
  l.Wake.notify_all();
  return result;
}

int32_t TPixoranMView::PendingCount() {
  std::lock_guard<std::recursive_mutex> guard(MViewLoaderLock());
  return static_cast<int32_t>(loader_->Pending.size());
}

int32_t TPixoranMView::RunningCount() {
  std::lock_guard<std::recursive_mutex> guard(MViewLoaderLock());
  return loader_->Active();
}

void TPixoranMView::CancelLoads() {
  std::unique_lock<std::recursive_mutex> lock(MViewLoaderLock());
  TLoader& l = *loader_;
  l.Pending.clear();
  for (auto& j : l.Running) {
    j->Record = nullptr;
    j->Cancelled = true;
  }
  // Waits (the wait releases the lock) up to about a second for the jobs.
  l.Wake.wait_for(lock, std::chrono::seconds(1), [&l] { return l.Active() == 0; });
}

void TPixoranMView::DetachLoads(TPXMViewImage* rec) {
  std::lock_guard<std::recursive_mutex> guard(MViewLoaderLock());
  if (loader_) loader_->Detach(rec);
}

TPixoranMView::TPixoranMView(TComponent* owner, TWinControl* parent)
    : TPXView(owner, parent),
      wallPaper_(std::make_unique<TBitmap>()),
      transition_(std::make_unique<TPXTransitionEffects>(this)) {
  wallPaper_->SetSize(0, 0);
  RecreateStores();
  CreateLoader();
  SetBounds(Left(), Top(), 180, 90);
}

TPixoranMView::~TPixoranMView() {
  destroying_ = true;
  transition_->Stop();
  CloseLoader();
  mio_.reset();
  proc_.reset();
  io_.reset();
  std::lock_guard<std::recursive_mutex> guard(MViewLoaderLock());
  images_.clear();
  thumbStore_.reset();
  store_.reset();
}

void TPixoranMView::CreateLoader() { loader_ = std::make_unique<TLoader>(this); }

void TPixoranMView::CloseLoader() {
  if (!loader_) return;
  CancelLoads();
  {
    std::lock_guard<std::recursive_mutex> guard(MViewLoaderLock());
    loader_->Terminated = true;
    loader_->Wake.notify_all();
  }
  if (loader_->Starter.joinable()) loader_->Starter.join();
  // Every job is joined before the view goes: their finish handlers use it.
  std::vector<std::unique_ptr<TLoader::TJob>> jobs;
  {
    std::lock_guard<std::recursive_mutex> guard(MViewLoaderLock());
    jobs.swap(loader_->Running);
  }
  for (auto& j : jobs)
    if (j->Thread.joinable()) j->Thread.join();
  loader_.reset();
}

}  // namespace pixoran
