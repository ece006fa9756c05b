// The thumbnail view's loaders: synchronous loads, the placeholder of a
// failed load, and the background loader: a starter thread that hands at
// most ThreadPoolSize loads at a time to asynchronous I/O components, one
// per job, each decoding on its own I/O thread.
//
// Jobs and pending entries name records, never list indices, so inserting
// or deleting meanwhile cannot send a thumbnail to another image; deleting
// a record detaches its job under the loader lock. A job carries the
// settings it was queued with, so its thread reads nothing of the view
// until it stores its result under the lock. The loader's state outlives
// the view while a job that ignored its cancellation still runs: the view
// then gives up waiting after about a second, the late job drops its result,
// and the starter frees it and ends.
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

// Sets io up to load at most the box's size (full size without a box),
// with background as the colour a file that names none keeps.
void PrepareLoad(TPixoranIO& io, const TPXMThumbBox& box, TColor background) {
  io.Params().JPEGScale = 1;
  io.Params().Width = io.Params().Height = 0;
  if (box.Width > 0 && box.Height > 0) {
    io.Params().JPEGScale = 0;  // decode at the smallest scale still covering the box
    io.Params().Width = box.Width;
    io.Params().Height = box.Height;
  }
  io.SetBackground(background);
  io.Params().JPEGScaleDenom = 1;
}

// After a load prepared with given as the background: whether it gave a
// picture, and what it learnt about the file besides.
bool LoadResult(TPixoranIO& io, TColor given, TPXMLoadInfo& info) {
  TPXBitmap* b = io.PXBitmap();
  if (io.Aborting() || !b || b->Width() <= 0 || b->Height() <= 0) return false;
  // A JPEG decoded at a reduced scale tells its full size apart.
  if (io.Params().JPEGScaleDenom > 1 && io.Params().JPEGOriginalWidth > 0) {
    info.OriginalWidth = io.Params().JPEGOriginalWidth;
    info.OriginalHeight = io.Params().JPEGOriginalHeight;
  }
  // Only a colour the file named: the record may have been given another
  // meanwhile.
  info.Background = io.Background();
  info.HasBackground = info.Background != given;
  return true;
}

}  // namespace

std::unique_ptr<TPXBitmap> ReduceToThumbBox(TPXBitmap& bitmap, const TPXMThumbBox& box) {
  const int32_t w0 = bitmap.Width(), h0 = bitmap.Height();
  if (w0 < 1 || h0 < 1 || box.Width < 1 || box.Height < 1 || (w0 <= box.Width && h0 <= box.Height && !box.FitAlways))
    return nullptr;
  int32_t w = 0, h = 0;
  FitThumbSize(w0, h0, box.Width, box.Height, w, h);
  if (w == w0 && h == h0) return nullptr;
  auto reduced = std::make_unique<TPXBitmap>();
  if (!reduced->Allocate(w, h, pxBGR24)) return nullptr;
  if (bitmap.PixelFormat() == pxBW1 && w <= w0 && h <= h0 && !bitmap.HasAlphaChannel()) {
    // The 1-bit reducer averages the set bits into grey.
    ShrinkBW1ToGray24(bitmap, 0, 0, w0 - 1, h0 - 1, *reduced);
    return reduced;
  }
  const TResampleFilter filter = bitmap.PixelFormat() == pxBW1 && box.Filter != rfNone ? rfFastLinear : box.Filter;
  ResampleBitmap(bitmap, *reduced, filter);
  // The nearest-pixel copy keeps the source's format; thumbnails are 24-bit.
  if (reduced->PixelFormat() != pxBGR24) reduced->ConvertPixelFormat(pxBGR24);
  return reduced;
}

// Everything below is guarded by the loader lock unless said otherwise.
struct TPixoranMView::TLoader {
  struct TPending {
    TPXMViewImage* Record;
    std::string FileName;
    TColor Background;
    TPXMThumbBox Box;  // zero size: full size, nothing reduced
  };

  struct TJob {
    TPending What;  // Record becomes nullptr once detached (record deleted, job cancelled)
    std::atomic<bool> Cancelled{false};
    bool Done = false;  // its finishing event has run
    TPXBitmap Bitmap;   // the component's working bitmap, not its own
    // Freed by the starter only, after Done: its destructor waits for the
    // component's worker to leave. Declared after the bitmap it works on.
    std::unique_ptr<TPixoranIO> Io;
  };

  TPixoranMView* View;  // nullptr once the view is going
  int32_t PoolSize = 5;
  std::deque<TPending> Pending;
  std::vector<std::unique_ptr<TJob>> Running;
  std::unordered_set<const TPXMViewImage*> Visible;  // snapshot taken by the UI thread
  std::condition_variable_any Wake;
  bool Terminated = false;
  std::thread Starter;
  std::unique_ptr<TUIThreadPoster> Poster = std::make_unique<TUIThreadPoster>();

  explicit TLoader(TPixoranMView* view) : View(view) {}

  int32_t Active() const {
    int32_t n = 0;
    for (auto& j : Running) n += j->Done ? 0 : 1;
    return n;
  }

  static void Cancel(TJob& j) {
    j.What.Record = nullptr;
    j.Cancelled = true;
    // The component resets it as a load begins; its progress event sets it
    // again from Cancelled.
    j.Io->SetAborting(true);
  }

  // Cancels the jobs whose image left the view and drops the pending
  // entries no longer visible.
  void Tidy() {
    for (auto& j : Running)
      if (!j->Done && j->What.Record && !Visible.count(j->What.Record)) Cancel(*j);
    Pending.erase(
        std::remove_if(Pending.begin(), Pending.end(), [this](const auto& p) { return !Visible.count(p.Record); }),
        Pending.end());
  }

  void Detach(TPXMViewImage* rec) {
    for (auto& j : Running)
      if (!j->Done && j->What.Record == rec) Cancel(*j);
    Pending.erase(std::remove_if(Pending.begin(), Pending.end(), [rec](const auto& p) { return p.Record == rec; }),
                  Pending.end());
  }

  static void StartStarter(const std::shared_ptr<TLoader>& self) {
    if (!self->Starter.joinable() && !self->Terminated) self->Starter = std::thread([self] { self->RunStarter(); });
  }

  TJob& MakeJob(TPending what) {
    auto job = std::make_unique<TJob>();
    job->What = std::move(what);
    job->Io = std::make_unique<TPixoranIO>();
    TJob* raw = job.get();
    TPixoranIO& io = *raw->Io;
    // An attached bitmap: the component hands loads on bitmaps it does not
    // own to its I/O thread.
    io.SetAttachedPXBitmap(&raw->Bitmap);
    io.SetAsyncMode(true);
    PrepareLoad(io, raw->What.Box, raw->What.Background);
    io.OnProgress = [raw](TObject*, int) {
      if (raw->Cancelled.load()) raw->Io->SetAborting(true);
    };
    io.OnFinishWork = [this, raw](TObject*) { Finished(*raw); };
    Running.push_back(std::move(job));
    return *raw;
  }

  // The starter: starts jobs while the pool has room and frees finished
  // ones; once terminated it only frees, until none is left.
  void RunStarter() {
    std::unique_lock<std::recursive_mutex> lock(MViewLoaderLock());
    for (;;) {
      Wake.wait(lock, [this] {
        return std::any_of(Running.begin(), Running.end(), [](auto& j) { return j->Done; }) ||
               (Terminated ? Running.empty() : !Pending.empty() && Active() < PoolSize);
      });
      std::vector<std::unique_ptr<TJob>> finished;
      for (auto it = Running.begin(); it != Running.end();) {
        if ((*it)->Done) {
          finished.push_back(std::move(*it));
          it = Running.erase(it);
        } else {
          ++it;
        }
      }
      std::vector<TJob*> started;
      if (!Terminated) {
        Tidy();
        while (!Pending.empty() && Active() < PoolSize) {
          started.push_back(&MakeJob(std::move(Pending.front())));
          Pending.pop_front();
        }
      }
      const bool last = Terminated && Running.empty();
      // Neither freeing (which waits for the workers to leave) nor starting
      // holds up the painting.
      lock.unlock();
      finished.clear();
      for (TJob* job : started) {
        try {
          job->Io->LoadFromFile(job->What.FileName);
        } catch (...) {
          // Only when no thread could be had and the load ran here: its
          // finishing event has fired all the same.
        }
      }
      if (last) return;
      lock.lock();
    }
  }

  // A job's finishing event, on its I/O thread: reduces without the lock,
  // then stores under it unless cancelled or the view is going.
  void Finished(TJob& job) {
    TPixoranIO& io = *job.Io;
    TPXMLoadInfo info;
    bool ok = false;
    std::unique_ptr<TPXBitmap> reduced;
    if (!job.Cancelled.load()) {
      ok = LoadResult(io, job.What.Background, info);
      if (ok && job.What.Box.Width > 0) reduced = ReduceToThumbBox(job.Bitmap, job.What.Box);
    }
    const int32_t fullW = info.OriginalWidth > 0 ? info.OriginalWidth : job.Bitmap.Width();
    const int32_t fullH = info.OriginalHeight > 0 ? info.OriginalHeight : job.Bitmap.Height();
    std::lock_guard<std::recursive_mutex> guard(MViewLoaderLock());
    job.Done = true;
    Wake.notify_all();
    if (!View || !job.What.Record || job.Cancelled.load()) return;
    TPixoranMView& view = *View;
    auto it =
        std::find_if(view.images_.begin(), view.images_.end(), [&job](auto& r) { return r.get() == job.What.Record; });
    if (it == view.images_.end()) return;
    TPXMViewImage& rec = **it;
    TPXMViewImage* failed = nullptr;
    if (!ok) {
      // The placeholder draws text, which only the UI thread may do: the
      // record is marked now and gets its picture there.
      view.FreeRecordStore(rec);
      rec.Wrong = true;
      failed = &rec;
    } else {
      view.StoreBitmap(rec, reduced ? *reduced : job.Bitmap, fullW, fullH, false);
      if (info.HasBackground) rec.Background = info.Background;
    }
    // Posted, never run here; the poster lives while View is set.
    Poster->Post([v = View, failed] {
      if (failed) v->ShowWrongRecord(failed);
      v->Invalidate();
    });
  }
};

// ---------------------------------------------------------------------------

TPXMThumbBox TPixoranMView::ThumbBox() const {
  TPXMThumbBox box;
  if (storeType_ == pxtThumb) {
    box.Width = thumbWidth_;
    box.Height = thumbHeight_;
  }
  box.FitAlways = fitAlways_;
  box.Filter = thumbFilter_;
  return box;
}

std::unique_ptr<TPXBitmap> TPixoranMView::ReduceToBox(TPXBitmap& bitmap) {
  return ReduceToThumbBox(bitmap, ThumbBox());
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
  const TColor given = GetImageBackground(index);
  TPixoranIO& io = *GetIO();
  io.OnProgress = OnIOProgress;
  PrepareLoad(io, ThumbBox(), given);
  try {
    io.LoadFromFile(name);
  } catch (...) {
    return false;
  }
  if (!LoadResult(io, given, info)) return false;
  b.Assign(io.PXBitmap());
  return true;
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
    if (OnImageIDRequest) OnImageIDRequest(this, id, b);
    else OnImageIDRequestEx(this, index, id, b);
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
  if (mio_)
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
        std::any_of(l.Running.begin(), l.Running.end(), [rec](auto& j) { return !j->Done && j->What.Record == rec; });
    if (pending || running) {
      result = true;
    } else if (rec->ImageID >= 0 && (OnImageIDRequest || OnImageIDRequestEx)) {
      result = false;  // obtained synchronously from the owner
    } else if (!rec->FileName.empty()) {
      l.Pending.push_back({rec, rec->FileName, rec->Background, ThumbBox()});
      result = true;
    }
  }
  TLoader::StartStarter(loader_);
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
  for (auto& j : l.Running)
    if (!j->Done) TLoader::Cancel(*j);
  // Waits (the wait releases the lock) up to about a second for the jobs.
  l.Wake.wait_for(lock, std::chrono::seconds(1), [&l] { return l.Active() == 0; });
}

void TPixoranMView::SetLoaderPoolSize(int32_t size) {
  std::lock_guard<std::recursive_mutex> guard(MViewLoaderLock());
  if (loader_) {
    loader_->PoolSize = size;
    loader_->Wake.notify_all();
  }
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

void TPixoranMView::CreateLoader() {
  loader_ = std::make_shared<TLoader>(this);
  loader_->PoolSize = threadPoolSize_;
}

void TPixoranMView::CloseLoader() {
  if (!loader_) return;
  CancelLoads();
  bool idle;
  std::unique_ptr<TUIThreadPoster> poster;
  {
    // From here no job touches the view: a late one drops its result.
    std::lock_guard<std::recursive_mutex> guard(MViewLoaderLock());
    loader_->View = nullptr;
    loader_->Terminated = true;
    poster = std::move(loader_->Poster);
    idle = loader_->Active() == 0;
    loader_->Wake.notify_all();
  }
  // Outside the lock: a posted call it may be running takes the lock.
  poster.reset();
  // The starter frees what is left and ends. Jobs that ignored the cancel
  // are not waited for: it ends after them, keeping the loader alive.
  if (loader_->Starter.joinable()) {
    if (idle) loader_->Starter.join();
    else loader_->Starter.detach();
  }
  loader_.reset();
}

}  // namespace pixoran
