// Tests of the work document: the selection rules (ordering, clamping, exclusive edges, the mask
// following size changes), the walk of one page through a batch job's calls, the processor made
// on first use, and the component seam.
#include "deskew/kvview.h"

#include <gtest/gtest.h>

#include <memory>

namespace {

TKvRGB Tag(int x, int y) {
  return KvRGB(uint8_t(x & 0xFF), uint8_t(y & 0xFF), uint8_t(((x >> 8) & 0x0F) | ((y >> 8) << 4)));
}

void NewPage(TKvView& view, int width, int height) {
  ASSERT_TRUE(view.Bitmap().AllocateImage(width, height, kv24RGB));
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) view.Bitmap().SetRGB(x, y, Tag(x, y));
  view.Update();
}

int MarkedCount(const TKvSelection& sel) {
  int n = 0;
  for (int y = 0; y < sel.Height(); ++y)
    for (int x = 0; x < sel.Width(); ++x) n += sel.IsMarked(x, y);
  return n;
}

TEST(Selection, RectangleIsOrderedClampedAndExclusiveAtRightAndBottom) {
  TKvView view;
  NewPage(view, 20, 10);
  view.SelectionBase = kvsbBitmap;
  view.Select(15, 8, 4, 2);  // pairs given the wrong way round
  ASSERT_TRUE(view.HasSelection());
  const TKvSelection& sel = view.Selection();
  EXPECT_EQ(sel.X1(), 4);
  EXPECT_EQ(sel.Y1(), 2);
  EXPECT_EQ(sel.X2(), 14);
  EXPECT_EQ(sel.Y2(), 7);
  EXPECT_EQ(MarkedCount(sel), 11 * 6);
  EXPECT_FALSE(sel.IsMarked(15, 5));
  EXPECT_FALSE(sel.IsMarked(10, 8));

  view.Select(-5, -3, 50, 40);  // clamped to the image
  EXPECT_EQ(sel.X1(), 0);
  EXPECT_EQ(sel.Y1(), 0);
  EXPECT_EQ(sel.X2(), 19);
  EXPECT_EQ(sel.Y2(), 9);
  EXPECT_EQ(MarkedCount(sel), 200);

  view.Select(3, 3, 3, 9);  // zero width: nothing happens, the old selection stays
  EXPECT_EQ(MarkedCount(sel), 200);
}

// A new selection of the same page reuses the mask: nothing of the old one may stay marked.
TEST(Selection, ReplacingOnTheSamePageLeavesOnlyTheNewRectangle) {
  TKvView view;
  NewPage(view, 20, 10);
  view.SelectionBase = kvsbBitmap;
  view.Select(0, 0, 8, 6);
  view.Select(14, 1, 16, 9, kvSelectAdd);
  view.Select(10, 5, 12, 8);
  const TKvSelection& sel = view.Selection();
  EXPECT_EQ(MarkedCount(sel), 2 * 3);
  EXPECT_EQ(sel.X1(), 10);
  EXPECT_EQ(sel.Y1(), 5);
  EXPECT_EQ(sel.X2(), 11);
  EXPECT_EQ(sel.Y2(), 7);
}

// The box after size changes of a two-part selection: a cut through one part, a cut that drops
// a part, growth (which keeps every mark, and so the box).
TEST(Selection, BoxFollowsCutsAndGrowthOfATwoPartSelection) {
  TKvView view;
  NewPage(view, 20, 20);
  view.SelectionBase = kvsbBitmap;
  view.Select(2, 2, 6, 6);
  view.Select(10, 8, 14, 18, kvSelectAdd);
  struct TStep {
    int W, H, X1, Y1, X2, Y2, Marked;
  } const steps[] = {{12, 12, 2, 2, 11, 11, 16 + 2 * 4},
                     {30, 30, 2, 2, 11, 11, 16 + 2 * 4},
                     {8, 8, 2, 2, 5, 5, 16}};
  for (const TStep& t : steps) {
    ASSERT_TRUE(view.Bitmap().AllocateImage(t.W, t.H, kv24RGB));
    view.Update();
    const TKvSelection& sel = view.Selection();
    EXPECT_EQ(sel.X1(), t.X1) << t.W;
    EXPECT_EQ(sel.Y1(), t.Y1) << t.W;
    EXPECT_EQ(sel.X2(), t.X2) << t.W;
    EXPECT_EQ(sel.Y2(), t.Y2) << t.W;
    EXPECT_EQ(MarkedCount(sel), t.Marked) << t.W;
  }
}

TEST(Selection, EmptyMaskAndDeselect) {
  TKvView view;
  NewPage(view, 8, 8);
  EXPECT_FALSE(view.HasSelection());
  EXPECT_TRUE(view.Selection().IsEmpty());
  EXPECT_EQ(view.Selection().X1(), TKvSelection::kEmptyLow);
  EXPECT_EQ(view.Selection().X2(), 0);
  view.Select(1, 1, 3, 3);
  view.Deselect();
  EXPECT_FALSE(view.HasSelection());
  EXPECT_TRUE(view.Selection().IsEmpty());
}

TEST(Selection, MaskFollowsSizeChanges) {
  TKvView view;
  NewPage(view, 30, 20);
  view.Select(10, 5, 25, 15);
  ASSERT_TRUE(view.Bitmap().AllocateImage(18, 12, kv24RGB));
  view.Update();
  const TKvSelection& sel = view.Selection();
  EXPECT_EQ(sel.Width(), 18);
  EXPECT_EQ(sel.Height(), 12);
  EXPECT_EQ(sel.X1(), 10);
  EXPECT_EQ(sel.Y1(), 5);
  EXPECT_EQ(sel.X2(), 17);
  EXPECT_EQ(sel.Y2(), 11);
  // Growing again brings no marks back: the new area is unmarked.
  ASSERT_TRUE(view.Bitmap().AllocateImage(30, 20, kv24RGB));
  view.Update();
  EXPECT_EQ(sel.X2(), 17);
  EXPECT_FALSE(sel.IsMarked(20, 8));

  // Without a selection the mask is made new and empty.
  view.Deselect();
  ASSERT_TRUE(view.Bitmap().AllocateImage(9, 7, kv24RGB));
  view.Update();
  EXPECT_EQ(sel.Width(), 9);
  EXPECT_TRUE(sel.IsEmpty());
}

// One page of the image job: select the inner part, crop, measure the part still selected,
// restore the page. The selection outlives every call.
TEST(Selection, WalkOfOnePageThroughTheJobsCalls) {
  TKvView view;
  NewPage(view, 1234, 2000);
  view.SelectionBase = kvsbBitmap;
  view.Select(123, 200, 1111, 1800);
  const TKvSelection& sel = view.Selection();
  EXPECT_EQ(sel.X1(), 123);
  EXPECT_EQ(sel.X2(), 1110);
  EXPECT_EQ(sel.Y1(), 200);
  EXPECT_EQ(sel.Y2(), 1799);

  TKvProc& proc = view.Proc();
  proc.CropSel(false);
  ASSERT_EQ(view.Bitmap().Width(), 988);
  ASSERT_EQ(view.Bitmap().Height(), 1600);
  EXPECT_EQ(view.Bitmap().GetRGB(0, 0), Tag(123, 200));
  EXPECT_EQ(sel.Width(), 988);
  EXPECT_EQ(sel.X1(), 123);
  EXPECT_EQ(sel.Y1(), 200);
  EXPECT_EQ(sel.X2(), 987);
  EXPECT_EQ(sel.Y2(), 1599);

  // What DetectSkew measures: the 865 x 1400 region at (123, 200) of the cropped image, i.e.
  // page columns 246 .. 1110 and rows 400 .. 1799.
  TKvWorkArea area;
  ASSERT_TRUE(proc.BeginAnalysis({kv1g, kv24RGB}, area));
  ASSERT_TRUE(area.IsRegionCopy());
  EXPECT_EQ(area.Bitmap->Width(), 865);
  EXPECT_EQ(area.Bitmap->Height(), 1400);
  EXPECT_EQ(area.Bitmap->GetRGB(0, 0), Tag(246, 400));
  EXPECT_EQ(area.Bitmap->GetRGB(864, 1399), Tag(1110, 1799));
  proc.EndAnalysis(area);

  proc.Undo(false);
  ASSERT_EQ(view.Bitmap().Width(), 1234);
  ASSERT_EQ(view.Bitmap().Height(), 2000);
  EXPECT_EQ(view.Bitmap().GetRGB(1233, 1999), Tag(1233, 1999));
  EXPECT_TRUE(view.HasSelection());
  EXPECT_EQ(sel.Width(), 1234);
  EXPECT_EQ(sel.X1(), 123);
  EXPECT_EQ(sel.Y1(), 200);
  EXPECT_EQ(sel.X2(), 987);
  EXPECT_EQ(sel.Y2(), 1599);
}

TEST(ViewComponents, ProcessorIsMadeOnFirstUseWithTheViewsHandlers) {
  TKvView view;
  int progress = 0, finished = 0;
  view.OnProgress = [&](void*, int32_t) { ++progress; };
  view.OnFinishWork = [&](void*) { ++finished; };
  EXPECT_FALSE(view.HasProc());
  TKvProc& proc = view.Proc();
  EXPECT_EQ(&view.Proc(), &proc);
  EXPECT_EQ(proc.AttachedView(), &view);
  EXPECT_EQ(proc.Image(), &view.Bitmap());
  EXPECT_TRUE(proc.AutoUndo);
  EXPECT_EQ(proc.UndoLimit, 1);
  proc.FinishWork();
  EXPECT_EQ(progress, 1);
  EXPECT_EQ(finished, 1);
  // The processor's Background is the view's.
  view.Background = clWhite;
  EXPECT_EQ(proc.Background(), clWhite);
  proc.SetBackground(0x123456);
  EXPECT_EQ(view.Background, 0x123456u);
}

TEST(ViewComponents, AnotherProcessorLetsGoWhenTheViewGoes) {
  TKvProc proc;
  {
    TKvView view;
    NewPage(view, 4, 4);
    proc.SetAttachedView(&view);
    EXPECT_EQ(proc.Image(), &view.Bitmap());
  }
  EXPECT_EQ(proc.AttachedView(), nullptr);
  ASSERT_NE(proc.Image(), nullptr);
  EXPECT_TRUE(proc.Image()->IsEmpty()) << "a new own bitmap";
}

TEST(ViewComponents, IOComponentSeam) {
  struct TProbe : TKvViewComponent {
    explicit TProbe(bool& gone) : Gone(gone) {}
    ~TProbe() override { Gone = true; }
    bool& Gone;
  };
  bool gone = false;
  {
    TKvView view;
    EXPECT_EQ(view.IOComponent(), nullptr);
    auto probe = std::make_unique<TProbe>(gone);
    TProbe* raw = probe.get();
    view.SetIOComponent(std::move(probe));
    EXPECT_EQ(view.IOComponent(), raw);
  }
  EXPECT_TRUE(gone);
}

}  // namespace
