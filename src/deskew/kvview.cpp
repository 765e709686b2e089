// The work document: its image, its selection rules and its attached components.
#include "deskew/kvview.h"

#include <algorithm>
#include <utility>

TKvView::TKvView() = default;

TKvView::~TKvView() {
  // The own processor goes first (it unregisters itself); others are told the document is gone.
  proc_.reset();
  ioComponent_.reset();
  const std::vector<TKvProc*> attached = std::move(attached_);
  attached_.clear();
  for (TKvProc* proc : attached) proc->ViewDestroyed(this);
}

void TKvView::Select(int x1, int y1, int x2, int y2, int mode) {
  if (x1 == x2 || y1 == y2) return;
  // Client coordinates are image pixels: there is no on-screen view to zoom or scroll.
  hasSelection_ = true;
  const int width = bitmap_.IsEmpty() ? 0 : bitmap_.Width();
  const int height = bitmap_.IsEmpty() ? 0 : bitmap_.Height();
  if (mode == kvSelectReplace || selection_.Width() != width || selection_.Height() != height)
    selection_.Reset(width, height);
  if (x1 > x2) std::swap(x1, x2);
  if (y1 > y2) std::swap(y1, y2);
  x1 = std::clamp(x1, 0, std::max(width - 1, 0));
  y1 = std::clamp(y1, 0, std::max(height - 1, 0));
  x2 = std::clamp(x2, 0, width);
  y2 = std::clamp(y2, 0, height);
  selection_.MarkRect(x1, y1, x2, y2);
}

void TKvView::Deselect() {
  hasSelection_ = false;
  selection_.Reset(bitmap_.IsEmpty() ? 0 : bitmap_.Width(),
                   bitmap_.IsEmpty() ? 0 : bitmap_.Height());
}

void TKvView::FitSelectionToImage() {
  const int width = bitmap_.IsEmpty() ? 0 : bitmap_.Width();
  const int height = bitmap_.IsEmpty() ? 0 : bitmap_.Height();
  if (selection_.Width() == width && selection_.Height() == height) return;
  if (hasSelection_)
    selection_.ResizeKeepingTopLeft(width, height);
  else
    selection_.Reset(width, height);
}

void TKvView::Update() {
  FitSelectionToImage();
  if (OnImageChange) OnImageChange(this);
}

TKvProc& TKvView::Proc() {
  if (!proc_) {
    proc_ = std::make_unique<TKvProc>(this);
    proc_->SetAttachedView(this);
    proc_->OnProgress = OnProgress;
    proc_->OnFinishWork = OnFinishWork;
    proc_->OnSaveUndo = OnSaveUndo;
  }
  return *proc_;
}

void TKvView::SetIOComponent(std::unique_ptr<TKvViewComponent> component) {
  ioComponent_ = std::move(component);
}

void TKvView::RegisterProc(TKvProc* proc) {
  if (proc != nullptr && std::find(attached_.begin(), attached_.end(), proc) == attached_.end())
    attached_.push_back(proc);
}

void TKvView::UnregisterProc(TKvProc* proc) {
  attached_.erase(std::remove(attached_.begin(), attached_.end(), proc), attached_.end());
}
