// Tests of the processing frame: the format check and its candidate table, the region rules,
// analysis and edit frames, the finish events, the undo and redo stores with their temporary-file
// copies, CropSel, Clear and DetectSkew's refusals.
#include "deskew/kvproc.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "deskew/kvview.h"

namespace {

// A pixel colour that tells where the pixel came from (unique for pictures up to 4096 wide/high).
TKvRGB Tag(int x, int y) {
  return KvRGB(uint8_t(x & 0xFF), uint8_t(y & 0xFF), uint8_t(((x >> 8) & 0x0F) | ((y >> 8) << 4)));
}

void FillTagged(TKvBitmap& image) {
  for (int y = 0; y < image.Height(); ++y)
    for (int x = 0; x < image.Width(); ++x) image.SetRGB(x, y, Tag(x, y));
}

void FillGrayRamp(TKvBitmap& image) {
  for (int y = 0; y < image.Height(); ++y)
    for (int x = 0; x < image.Width(); ++x) image.SetByte(x, y, uint8_t(x * 16 + y));
}

// Records the events of a processor in order: "p<percent>", "f", "u<source>".
struct TEventLog {
  std::vector<std::string> Events;
  void Attach(TKvProc& proc) {
    proc.OnProgress = [this](void*, int32_t p) { Events.push_back("p" + std::to_string(p)); };
    proc.OnFinishWork = [this](void*) { Events.push_back("f"); };
    proc.OnSaveUndo = [this](void*, TKvUndoSource s) {
      Events.push_back("u" + std::to_string(int(s)));
    };
  }
};

// Undo copies go to temporary files in a folder of the test's own, checked empty afterwards.
class ProcTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/kvproc-test-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    folder_ = pattern;
    TKvBitmap::SetTempFolder(folder_ + "/");
  }
  void TearDown() override {
    EXPECT_EQ(FilesInFolder(), 0) << "temporary files left in " << folder_;
    TKvBitmap::SetTempFolder("");
    rmdir(folder_.c_str());
  }
  int FilesInFolder() const {
    int count = 0;
    if (DIR* dir = opendir(folder_.c_str())) {
      while (dirent* entry = readdir(dir))
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) ++count;
      closedir(dir);
    }
    return count;
  }
  std::string folder_;
};

// ---------------------------------------------------------------------------------------------
// Format check

struct TFormatCase {
  TKvPixFormat From;
  TKvPixFormatSet Allowed;
  TKvPixFormat Expected;
};

TEST(CheckPixelFormat, ConvertsToTheFirstAllowedCandidate) {
  const TFormatCase cases[] = {
      {kv8g, {kv1g, kv24RGB}, kv24RGB},    // kv16g, kv32f not allowed; kv24RGB is
      {kv1g, {kv24RGB, kv8g}, kv8g},       // first candidate
      {kv1g, {kv24RGB, kv32f}, kv32f},     // kv32f comes before kv24RGB
      {kv16g, {kv24RGB, kv8g}, kv8g},      // kv32f, then kv8g
      {kv24RGB, {kv8g, kv16g}, kv16g},     // kv16g comes before kv8g
      {kvCMYK, {kv1g, kv24RGB}, kv24RGB},  // DetectSkew's set
      {kv32RGB, {kv1g}, kv1g},             // no candidate: formats 10 .. 0 in turn
      {kv8p, {kv1g, kv24RGB}, kv24RGB},
      {kv32f, {kv8g, kv24RGB}, kv8g},
  };
  for (const TFormatCase& c : cases) {
    TKvProc proc;
    ASSERT_TRUE(proc.Image()->AllocateImage(4, 3, c.From));
    proc.Image()->FillWith(c.From == kv1g ? 1 : 0);
    EXPECT_TRUE(proc.CheckPixelFormat(c.Allowed)) << KvPixFormatName(c.From);
    EXPECT_EQ(proc.Image()->PixelFormat(), c.Expected) << KvPixFormatName(c.From);
    EXPECT_EQ(proc.Image()->Width(), 4);
  }
}

TEST(CheckPixelFormat, AllowedFormatEmptySetAndRefusals) {
  TKvProc proc;
  EXPECT_FALSE(proc.CheckPixelFormat({kv24RGB})) << "an empty image converts to nothing";
  EXPECT_TRUE(proc.CheckPixelFormat({})) << "the empty set allows everything";
  ASSERT_TRUE(proc.Image()->AllocateImage(4, 3, kv8g));
  EXPECT_TRUE(proc.CheckPixelFormat({kv8g, kv1g}));
  EXPECT_EQ(proc.Image()->PixelFormat(), kv8g);
  proc.AutoConvertFormat = false;
  EXPECT_FALSE(proc.CheckPixelFormat({kv1g, kv24RGB}));
  EXPECT_EQ(proc.Image()->PixelFormat(), kv8g);
}

// ---------------------------------------------------------------------------------------------
// Region, analysis and edit frames

TEST(ProcFrame, RegionWithoutViewIsTheWholeImage) {
  TKvProc proc;
  ASSERT_TRUE(proc.Image()->AllocateImage(7, 5, kv8g));
  const TKvRegion r = proc.GetRegion();
  EXPECT_EQ(r.X1, 0);
  EXPECT_EQ(r.Y1, 0);
  EXPECT_EQ(r.X2, 7);
  EXPECT_EQ(r.Y2, 5);
  EXPECT_EQ(r.Mask, nullptr);
  EXPECT_FALSE(r.HasSelection);
}

TEST(ProcFrame, RegionOfAViewFollowsItsSelection) {
  TKvView view;
  ASSERT_TRUE(view.Bitmap().AllocateImage(20, 10, kv8g));
  view.Update();
  TKvProc& proc = view.Proc();
  TKvRegion r = proc.GetRegion();
  EXPECT_EQ(r.Mask, &view.Selection()) << "the mask comes back even without a selection";
  EXPECT_FALSE(r.HasSelection);
  EXPECT_EQ(r.X2, 20);
  view.Select(3, 2, 9, 7);
  r = proc.GetRegion();
  EXPECT_TRUE(r.HasSelection);
  EXPECT_EQ(r.X1, 3);
  EXPECT_EQ(r.Y1, 2);
  EXPECT_EQ(r.X2, 9);
  EXPECT_EQ(r.Y2, 7);
}

TEST(ProcFrame, AnalysisCopiesTheBoundingBoxOnlyWhenSelected) {
  TKvView view;
  ASSERT_TRUE(view.Bitmap().AllocateImage(30, 20, kv24RGB));
  FillTagged(view.Bitmap());
  view.Update();
  TKvProc& proc = view.Proc();
  TKvWorkArea area;
  ASSERT_TRUE(proc.BeginAnalysis({kv24RGB}, area));
  EXPECT_EQ(area.Bitmap, &view.Bitmap());
  EXPECT_FALSE(area.IsRegionCopy());
  proc.EndAnalysis(area);

  view.Select(5, 4, 12, 15);
  ASSERT_TRUE(proc.BeginAnalysis({kv24RGB}, area));
  ASSERT_TRUE(area.IsRegionCopy());
  EXPECT_EQ(area.Bitmap->Width(), 7);
  EXPECT_EQ(area.Bitmap->Height(), 11);
  EXPECT_EQ(area.X1, 0);
  EXPECT_EQ(area.X2, 7);
  EXPECT_EQ(area.Y2, 11);
  EXPECT_EQ(area.Bitmap->GetRGB(0, 0), Tag(5, 4));
  EXPECT_EQ(area.Bitmap->GetRGB(6, 10), Tag(11, 14));
  proc.EndAnalysis(area);
  EXPECT_EQ(area.Bitmap, nullptr);
}

TEST(ProcFrame, EditWritesBackOnlyMarkedPixels) {
  TKvView view;
  ASSERT_TRUE(view.Bitmap().AllocateImage(16, 8, kv8g));
  FillGrayRamp(view.Bitmap());
  view.Update();
  // Two rectangles: the box spans both, the gap between them is not marked.
  view.SelectionBase = kvsbBitmap;
  view.Select(1, 1, 4, 3);
  view.Select(8, 2, 12, 6, kvSelectAdd);
  TKvProc& proc = view.Proc();
  TKvWorkArea area;
  ASSERT_TRUE(proc.BeginEdit({kv8g}, "Paint", area));
  EXPECT_EQ(proc.UndoCaption(0), "Paint");
  ASSERT_TRUE(area.IsRegionCopy());
  area.Bitmap->FillWith(7);
  proc.EndEdit(area);
  const TKvBitmap& image = view.Bitmap();
  for (int y = 0; y < 8; ++y)
    for (int x = 0; x < 16; ++x) {
      const bool marked =
          (x >= 1 && x < 4 && y >= 1 && y < 3) || (x >= 8 && x < 12 && y >= 2 && y < 6);
      EXPECT_EQ(image.GetByte(x, y), marked ? 7 : uint8_t(x * 16 + y)) << x << "," << y;
    }
}

TEST(ProcFrame, FinishWorkReportsHundredThenFinish) {
  TKvProc proc;
  TEventLog log;
  log.Attach(proc);
  proc.FinishWork();
  EXPECT_EQ(log.Events, (std::vector<std::string>{"p100", "f"}));
}

TEST(ProcFrame, AutoUndoFollowsTheOwner) {
  TKvProc plain;
  EXPECT_FALSE(plain.AutoUndo);
  EXPECT_EQ(plain.UndoLimit, 1);
  EXPECT_TRUE(plain.AutoConvertFormat);
  EXPECT_EQ(plain.Background(), clBlack);
  TKvView view;
  TKvProc owned(&view);
  EXPECT_TRUE(owned.AutoUndo);
}

// ---------------------------------------------------------------------------------------------
// Undo and redo

TEST_F(ProcTest, UndoCopyLivesInATemporaryFileAndComesBack) {
  TKvProc proc;
  TEventLog log;
  log.Attach(proc);
  ASSERT_TRUE(proc.Image()->AllocateImage(40, 30, kv24RGB));
  FillTagged(*proc.Image());
  const int64_t thresholdBefore = TKvBitmap::FileThreshold();
  proc.SaveUndoCaptioned("Paint", kvuImage);
  EXPECT_EQ(TKvBitmap::FileThreshold(), thresholdBefore) << "the file threshold is put back";
  ASSERT_EQ(proc.UndoCount(), 1);
  ASSERT_NE(proc.UndoImage(0), nullptr);
  EXPECT_EQ(proc.UndoImage(0)->Location(), kvTempFile);
  EXPECT_EQ(proc.UndoCaption(0), "Paint");
  EXPECT_FALSE(proc.Image()->HasAlphaPlane());
  EXPECT_EQ(proc.UndoSourceAt(0), kvuImage);
  EXPECT_EQ(log.Events, (std::vector<std::string>{"u1"}));

  ASSERT_TRUE(proc.Image()->AllocateImage(5, 5, kv8g));
  proc.Image()->FillWith(9);
  log.Events.clear();
  proc.Undo(false);
  EXPECT_TRUE(log.Events.empty()) << "undo raises no finish events";
  ASSERT_EQ(proc.Image()->Width(), 40);
  ASSERT_EQ(proc.Image()->PixelFormat(), kv24RGB);
  EXPECT_EQ(proc.Image()->GetRGB(39, 29), Tag(39, 29));
  EXPECT_EQ(proc.Image()->GetRGB(3, 17), Tag(3, 17));
  EXPECT_EQ(proc.UndoCount(), 1) << "the entry stays";
  // A second undo restores the same copy again.
  proc.Image()->FillWith(0);
  proc.Undo(false);
  EXPECT_EQ(proc.Image()->GetRGB(20, 10), Tag(20, 10));
  proc.ClearUndo();
  EXPECT_EQ(proc.UndoCount(), 0);
}

TEST_F(ProcTest, AlphaPlaneOfAnUndoCopyIsInATemporaryFileToo) {
  TKvProc proc;
  ASSERT_TRUE(proc.Image()->AllocateImage(6, 5, kv24RGB));
  proc.Image()->FillWith(clWhite);
  proc.Image()->AlphaPlane()->FillWith(77);
  proc.SaveUndo(kvuImage);
  ASSERT_EQ(proc.UndoCount(), 1);
  ASSERT_TRUE(proc.UndoImage(0)->HasAlphaPlane());
  EXPECT_EQ(proc.UndoImage(0)->ExistingAlphaPlane()->Location(), kvTempFile);
  proc.Image()->DropAlphaPlane(false, clBlack);
  proc.Undo(false);
  ASSERT_TRUE(proc.Image()->HasAlphaPlane());
  EXPECT_EQ(proc.Image()->ExistingAlphaPlane()->GetByte(5, 4), 77);
  EXPECT_NE(proc.Image()->ExistingAlphaPlane()->Location(), kvTempFile)
      << "a small image in memory";
}

TEST_F(ProcTest, LimitPushesOutTheOldestAndPositionsCountFromTheNewest) {
  TKvProc proc;
  proc.UndoLimit = 3;
  ASSERT_TRUE(proc.Image()->AllocateImage(4, 4, kv8g));
  for (int i = 1; i <= 4; ++i) {
    proc.Image()->FillWith(i * 10);
    proc.SaveUndoCaptioned("step " + std::to_string(i), kvuImage);
  }
  ASSERT_EQ(proc.UndoCount(), 3);
  EXPECT_EQ(proc.UndoCaption(0), "step 4");
  EXPECT_EQ(proc.UndoCaption(2), "step 2");
  proc.UndoAt(2, false);
  EXPECT_EQ(proc.Image()->GetByte(1, 1), 20);
  proc.UndoAt(0, false);
  EXPECT_EQ(proc.Image()->GetByte(1, 1), 40);
  proc.Image()->FillWith(1);
  proc.UndoAt(3, false);  // beyond the store: nothing happens
  proc.UndoAt(-1, false);
  EXPECT_EQ(proc.Image()->GetByte(1, 1), 1);
}

TEST_F(ProcTest, NothingIsStoredWithLimitZeroOrForTinyImages) {
  TKvProc proc;
  TEventLog log;
  log.Attach(proc);
  ASSERT_TRUE(proc.Image()->AllocateImage(1, 1, kv8g));
  proc.SaveUndoCaptioned("x", kvuImage);
  EXPECT_EQ(proc.UndoCount(), 0);
  EXPECT_TRUE(log.Events.empty()) << "the captioned save does nothing for a tiny image";
  proc.SaveUndo(kvuImage);
  EXPECT_EQ(proc.UndoCount(), 0) << "a 1 x 1 image is never stored";
  EXPECT_EQ(log.Events, (std::vector<std::string>{"u1"})) << "but the event is raised";

  ASSERT_TRUE(proc.Image()->AllocateImage(6, 6, kv8g));
  proc.Image()->FillWith(3);
  proc.UndoLimit = 0;
  log.Events.clear();
  proc.SaveUndo(kvuImage);
  EXPECT_EQ(proc.UndoCount(), 0);
  EXPECT_TRUE(log.Events.empty());
  proc.Undo(false);  // empty store: nothing happens
  EXPECT_EQ(proc.Image()->GetByte(0, 0), 3);
}

TEST_F(ProcTest, UndoWithRedoAndRedo) {
  TKvProc proc;
  ASSERT_TRUE(proc.Image()->AllocateImage(8, 8, kv8g));
  proc.Image()->FillWith(50);
  proc.SaveUndo(kvuImage);
  proc.Image()->FillWith(60);
  proc.Undo(true);
  EXPECT_EQ(proc.Image()->GetByte(2, 2), 50);
  ASSERT_EQ(proc.RedoCount(), 1);
  EXPECT_EQ(proc.RedoImage(0)->Location(), kvTempFile);
  proc.Redo();
  EXPECT_EQ(proc.Image()->GetByte(2, 2), 60);
  proc.ClearLastRedo();
  EXPECT_EQ(proc.RedoCount(), 0);
  proc.Image()->FillWith(1);
  proc.Redo();
  EXPECT_EQ(proc.Image()->GetByte(2, 2), 1);
}

TEST_F(ProcTest, UndoGoesIntoTheViewsImage) {
  TKvView view;
  ASSERT_TRUE(view.Bitmap().AllocateImage(10, 6, kv8g));
  view.Bitmap().FillWith(80);
  view.Update();
  TKvProc& proc = view.Proc();
  int changes = 0;
  view.OnImageChange = [&](void*) { ++changes; };
  proc.SaveUndo(kvuImage);
  view.Bitmap().FillWith(0);
  proc.Undo(false);
  EXPECT_EQ(view.Bitmap().GetByte(9, 5), 80);
  EXPECT_EQ(changes, 1) << "the view hears of the change";
}

// ---------------------------------------------------------------------------------------------
// CropSel and Clear

TEST_F(ProcTest, CropSelWithoutSelectionStoresUndoAndFinishes) {
  TKvView view;
  ASSERT_TRUE(view.Bitmap().AllocateImage(12, 9, kv8g));
  FillGrayRamp(view.Bitmap());
  view.Update();
  TKvProc& proc = view.Proc();
  TEventLog log;
  log.Attach(proc);
  proc.CropSel(false);
  EXPECT_EQ(view.Bitmap().Width(), 12);
  EXPECT_EQ(view.Bitmap().Height(), 9);
  EXPECT_EQ(proc.UndoCaption(0), "CropSel");
  EXPECT_EQ(log.Events, (std::vector<std::string>{"u1", "p100", "f"}));
}

TEST_F(ProcTest, CropSelKeepsMarkedPixelsAndFillsTheRestOfTheBox) {
  TKvView view;
  ASSERT_TRUE(view.Bitmap().AllocateImage(20, 12, kv8g));
  FillGrayRamp(view.Bitmap());
  view.Update();
  view.Background = 0x0000C8;  // red 200: the low byte fills a gray image
  view.SelectionBase = kvsbBitmap;
  view.Select(2, 1, 6, 4);
  view.Select(9, 5, 12, 9, kvSelectAdd);
  view.Proc().CropSel(false);
  const TKvBitmap& image = view.Bitmap();
  ASSERT_EQ(image.Width(), 10);  // columns 2 .. 11
  ASSERT_EQ(image.Height(), 8);  // rows 1 .. 8
  EXPECT_EQ(image.GetByte(0, 0), uint8_t(2 * 16 + 1));
  EXPECT_EQ(image.GetByte(9, 7), uint8_t(11 * 16 + 8));
  EXPECT_EQ(image.GetByte(5, 0), 200) << "unmarked pixel of the box";
  EXPECT_EQ(image.GetByte(0, 7), 200);
  // The selection survives, cut to the new size and keeping its top-left part.
  EXPECT_TRUE(view.HasSelection());
  EXPECT_EQ(view.Selection().Width(), 10);
  EXPECT_EQ(view.Selection().X1(), 2);
  EXPECT_EQ(view.Selection().Y1(), 1);
  EXPECT_EQ(view.Selection().X2(), 9);
  EXPECT_EQ(view.Selection().Y2(), 7);
}

// Rows the selection marks from end to end and rows with gaps, in one box: every kept pixel and
// every background pixel, and the opacity flag a fill with that background records.
TEST_F(ProcTest, CropSelOfColourFillsOnlyWhatIsNotMarked) {
  for (const TColor background : {clWhite, TColor(0x102030)}) {
    TKvView view;
    ASSERT_TRUE(view.Bitmap().AllocateImage(14, 10, kv24RGB));
    FillTagged(view.Bitmap());
    view.Update();
    view.Background = background;
    view.SelectionBase = kvsbBitmap;
    view.Select(2, 1, 12, 4);              // rows 1 .. 3 whole across the box
    view.Select(5, 4, 7, 8, kvSelectAdd);  // rows 4 .. 7 only columns 5 and 6
    view.Proc().CropSel(false);
    const TKvBitmap& image = view.Bitmap();
    ASSERT_EQ(image.Width(), 10);
    ASSERT_EQ(image.Height(), 7);
    for (int y = 0; y < 7; ++y)
      for (int x = 0; x < 10; ++x) {
        const bool marked = y < 3 || x == 3 || x == 4;
        EXPECT_EQ(image.GetRGB(x, y), marked ? Tag(x + 2, y + 1) : ColorToRGB(background))
            << x << "," << y;
      }
    EXPECT_EQ(image.AlphaIsOpaque, background == clWhite);
  }
}

// The job's crop: a whole rectangle of a colour and a gray page, cut within the page's block,
// then undone into the cut page: the crop keeps every pixel, the undo gives the page back.
TEST_F(ProcTest, CropSelOfARectangleAndItsUndoKeepEveryPixel) {
  for (const TKvPixFormat format : {kv24RGB, kv8g}) {
    TKvView view;
    ASSERT_TRUE(view.Bitmap().AllocateImage(31, 23, format));
    TKvBitmap& image = view.Bitmap();
    const int bytes = 31 * image.BitCount() / 8;
    for (int y = 0; y < 23; ++y)
      for (int i = 0; i < bytes; ++i) image.RowPtr(y)[i] = uint8_t(y * 17 + i * 5);
    TKvBitmap page;
    page.CopyFrom(image);
    view.Update();
    view.Background = clWhite;
    view.SelectionBase = kvsbBitmap;
    view.Select(3, 2, 28, 21);
    view.Proc().CropSel(false);
    ASSERT_EQ(image.Width(), 25);
    ASSERT_EQ(image.Height(), 19);
    const int bpp = image.BitCount() / 8;
    for (int y = 0; y < 19; ++y) {
      ASSERT_EQ(std::memcmp(image.RowPtr(y), page.RowPtr(y + 2) + 3 * bpp, size_t(25 * bpp)), 0)
          << KvPixFormatName(format) << " row " << y;
      for (int i = 25 * bpp; i < image.RowLength(); ++i) ASSERT_EQ(image.RowPtr(y)[i], 0);
    }
    EXPECT_TRUE(image.AlphaIsOpaque);
    view.Proc().Undo(false);
    ASSERT_EQ(image.Width(), 31);
    ASSERT_EQ(image.Height(), 23);
    for (int y = 0; y < 23; ++y)
      ASSERT_EQ(std::memcmp(image.RowPtr(y), page.RowPtr(y), size_t(page.RowLength())), 0) << y;
  }
}

TEST_F(ProcTest, CropSelOfABilevelPageKeepsEveryBitAtAnyOffset) {
  for (int left : {0, 3, 8, 13}) {
    TKvView view;
    TKvBitmap& image = view.Bitmap();
    ASSERT_TRUE(image.AllocateImage(77, 21, kv1g));
    TKvBitmap page(77, 21, kv1g);
    unsigned seed = 12345u + unsigned(left);
    for (int y = 0; y < 21; ++y)
      for (int x = 0; x < 77; ++x) {
        seed = seed * 1103515245u + 12345u;
        page.SetBit(x, y, (seed >> 16) & 1);
      }
    image.CopyFrom(page);
    view.Update();
    view.Background = clWhite;
    view.Select(left, 2, 70, 9);
    view.Select(left + 5, 9, left + 6, 19, kvSelectAdd);  // a one-pixel column below
    view.Proc().CropSel(false);
    ASSERT_EQ(image.Width(), 70 - left);
    ASSERT_EQ(image.Height(), 17);
    for (int y = 0; y < 17; ++y)
      for (int x = 0; x < image.Width(); ++x) {
        const bool marked = y < 7 || x == 5;
        EXPECT_EQ(image.GetBit(x, y), marked ? page.GetBit(x + left, y + 2) : true)
            << "left " << left << " at " << x << "," << y;
      }
  }
}

TEST_F(ProcTest, CropSelTransparentPutsTheMaskIntoTheAlphaPlane) {
  TKvView view;
  ASSERT_TRUE(view.Bitmap().AllocateImage(8, 6, kv24RGB));
  FillTagged(view.Bitmap());
  view.Update();
  view.Select(2, 1, 5, 4);
  view.Proc().CropSel(true);
  ASSERT_EQ(view.Bitmap().Width(), 8);
  ASSERT_TRUE(view.Bitmap().HasAlphaPlane());
  const TKvBitmap* alpha = view.Bitmap().ExistingAlphaPlane();
  EXPECT_EQ(alpha->GetByte(2, 1), 255);
  EXPECT_EQ(alpha->GetByte(4, 3), 255);
  EXPECT_EQ(alpha->GetByte(5, 3), 0);
  EXPECT_EQ(alpha->GetByte(0, 0), 0);
  EXPECT_EQ(view.Bitmap().GetRGB(7, 5), Tag(7, 5));
}

TEST_F(ProcTest, ClearFillsTheSelectionWithTheBackground) {
  TKvView view;
  ASSERT_TRUE(view.Bitmap().AllocateImage(10, 10, kv24RGB));
  FillTagged(view.Bitmap());
  view.Update();
  view.Background = 0x102030;
  view.Select(0, 0, 5, 5);
  view.Proc().Clear();
  EXPECT_EQ(view.Bitmap().GetRGB(4, 4), KvRGB(0x30, 0x20, 0x10));
  EXPECT_EQ(view.Bitmap().GetRGB(5, 5), Tag(5, 5));
  EXPECT_EQ(view.Proc().UndoCaption(0), "Clear");
  view.Deselect();
  view.Proc().Clear();
  EXPECT_EQ(view.Bitmap().GetRGB(9, 9), KvRGB(0x30, 0x20, 0x10));
}

// ---------------------------------------------------------------------------------------------
// DetectSkew through the frame

TEST(DetectSkewFrame, RefusalsGiveZeroWithoutEvents) {
  TKvProc proc;
  TEventLog log;
  log.Attach(proc);
  EXPECT_EQ(proc.DetectSkew(500, 40, 0.1, true), 0.0) << "no image";
  ASSERT_TRUE(proc.Image()->AllocateImage(60, 40, kv8g));
  proc.Image()->FillWith(255);
  proc.AutoConvertFormat = false;
  EXPECT_EQ(proc.DetectSkew(500, 40, 0.1, true), 0.0);
  EXPECT_TRUE(log.Events.empty());
  EXPECT_EQ(proc.Image()->PixelFormat(), kv8g);
}

TEST(DetectSkewFrame, GrayImageBecomesColourAndFinishes) {
  TKvProc proc;
  TEventLog log;
  log.Attach(proc);
  ASSERT_TRUE(proc.Image()->AllocateImage(60, 40, kv8g));
  proc.Image()->FillWith(255);
  EXPECT_EQ(proc.DetectSkew(0, 40, 0.1, true), 0.0) << "a blank page has nothing to vote";
  EXPECT_EQ(proc.Image()->PixelFormat(), kv24RGB);
  ASSERT_FALSE(log.Events.empty());
  EXPECT_EQ(log.Events.back(), "f");
  EXPECT_EQ(log.Events[log.Events.size() - 2], "p100");
  EXPECT_EQ(proc.UndoCount(), 0) << "measuring saves no undo entry";
}

TEST(BackgroundFill, ValuesPerFormat) {
  EXPECT_EQ(KvBackgroundFillValue(kv1g, clWhite), 1);
  EXPECT_EQ(KvBackgroundFillValue(kv1g, clBlack), 0);
  EXPECT_EQ(KvBackgroundFillValue(kv1g, 0x808080), 1);  // gray 128 counts as white
  EXPECT_EQ(KvBackgroundFillValue(kv1g, 0x7F7F7F), 0);
  EXPECT_EQ(KvBackgroundFillValue(kv1g, 0x0000FF), 0);  // pure red: gray 53
  EXPECT_EQ(KvBackgroundFillValue(kv8g, 0xFFFFFF), 255);
  EXPECT_EQ(KvBackgroundFillValue(kv8p, 0x123456), 0x56);
  EXPECT_EQ(KvBackgroundFillValue(kv16g, 0xFFFFFF), 65535);
  EXPECT_EQ(KvBackgroundFillValue(kv32f, 0xFFFFFF), 1.0);
  EXPECT_EQ(KvBackgroundFillValue(kv24RGB, 0x123456), double(0x123456));
}

}  // namespace
