// The work document: one image (TKvBitmap), its selection, its background colour, and the
// components attached to it: the image processor (TKvProc), created on first use, and the I/O
// component, which the I/O library attaches through the TKvViewComponent seam (this library cannot
// know it). The document has no on-screen view here; its "client" coordinates are image pixels.
//
// Selection rules: Select marks a rectangle (right and bottom edges exclusive) in a fresh mask of
// the image's size. When the image's size changes, Update adjusts the mask: with a selection it is
// resized keeping its top-left part and the bounding box is recomputed; without one it is made new
// and empty at the new size. Operations never remove the selection.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "deskew/kvproc.h"
#include "image/kvbitmap.h"
#include "image/kvevents.h"

// A component that the I/O library (or another later library) attaches to the document.
class TKvViewComponent {
 public:
  virtual ~TKvViewComponent() = default;
};

// Coordinates of Select: kvsbClient those of the on-screen view (the same as image pixels here,
// as there is no view to zoom or scroll), kvsbBitmap image pixels.
enum TKvSelectionBase : uint8_t {
  kvsbClient = 0,
  kvsbBitmap = 1,
};

// Modes of Select: replace the selection, or add the rectangle to it.
constexpr int kvSelectReplace = 0;
constexpr int kvSelectAdd = 1;

class TKvView {
 public:
  TKvView();
  ~TKvView();
  TKvView(const TKvView&) = delete;
  TKvView& operator=(const TKvView&) = delete;

  // The document's image.
  TKvBitmap& Bitmap() { return bitmap_; }
  const TKvBitmap& Bitmap() const { return bitmap_; }

  // Fill colour of the document's operations (0x00BBGGRR).
  TColor Background = clBlack;

  // --- Selection ---
  TKvSelectionBase SelectionBase = kvsbClient;
  // Marks x1 .. x2 - 1 by y1 .. y2 - 1 (pairs ordered, clamped to the image); nothing happens when
  // x1 = x2 or y1 = y2. Mode kvSelectReplace empties the mask first.
  void Select(int x1, int y1, int x2, int y2, int mode = kvSelectReplace);
  // Removes the selection (the mask becomes empty).
  void Deselect();
  bool HasSelection() const { return hasSelection_; }
  TKvSelection& Selection() { return selection_; }
  const TKvSelection& Selection() const { return selection_; }

  // --- Layers: the document has one, layer 0, whose bitmap is the image ---
  int LayersCurrent() const { return 0; }
  int LayersCount() const { return 1; }
  TKvBitmap& LayerBitmap(int /*index*/) { return bitmap_; }

  // Brings the document up to date after its image changed (geometry, selection rules), then
  // raises OnImageChange. Whoever changes the image calls it (the processor does so itself).
  void Update();

  // --- Attached components ---
  // The processor, created on first use with this document as owner (AutoUndo on, UndoLimit 1)
  // and with the document's OnProgress, OnFinishWork and OnSaveUndo handlers.
  TKvProc& Proc();
  bool HasProc() const { return proc_ != nullptr; }
  TKvViewComponent* IOComponent() const { return ioComponent_.get(); }
  void SetIOComponent(std::unique_ptr<TKvViewComponent> component);

  // --- Events ---
  TKvNotifyEvent OnImageChange;
  TKvProgressEvent OnProgress;  // copied into the processor when it is created
  TKvNotifyEvent OnFinishWork;  // likewise
  TKvSaveUndoEvent OnSaveUndo;  // likewise

  // Processors that attach to / detach from this document (they are told when it goes).
  void RegisterProc(TKvProc* proc);
  void UnregisterProc(TKvProc* proc);

 private:
  // Makes the mask match the image's size (the selection rules of Update).
  void FitSelectionToImage();

  TKvBitmap bitmap_;
  TKvSelection selection_;
  bool hasSelection_ = false;
  std::vector<TKvProc*> attached_;
  // Declared after the bitmap so that they go first: they may still look at the image.
  std::unique_ptr<TKvViewComponent> ioComponent_;
  std::unique_ptr<TKvProc> proc_;
};
