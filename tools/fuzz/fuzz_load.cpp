// libFuzzer target: loads a memory buffer through the reader of one built-in format and, when
// the load succeeds with a picture of modest size, saves it again with the parameters of the
// load, as a file save would.
//
// The format is fixed at compile time (KV_FUZZ_FORMAT, a TKvFileType value), so that the files
// of that format serve as seeds unchanged. Each input is read twice: once for the header only
// (preview) and once in full. Readers must neither crash nor raise for any input; they report
// bad data through the Aborting flag. The only exceptions tolerated are the writers' library
// errors, which the I/O component passes on to its caller by design.
#include <cstddef>
#include <cstdint>
#include <exception>

#include "io/codecs/kvjpeg.h"
#include "io/codecs/kvpng.h"
#include "io/kvcodec.h"

#ifndef KV_FUZZ_FORMAT
#error "KV_FUZZ_FORMAT must name the TKvFileType to fuzz"
#endif

namespace {

// Pictures above this many pixels are not written back: the write would only cost time and
// test nothing the smaller ones do not.
constexpr int64_t kMaxWritePixels = int64_t(1) << 20;

bool Read(const TKvCodec& codec, const uint8_t* data, size_t size, bool previewOnly,
          TKvBitmap& image, TKvIOParams& params) {
  TKvMemoryStream stream(data, size);
  bool aborting = false;
  TKvProgressRec progress;
  progress.Aborting = &aborting;
  image.DropAlphaPlane(false, 0);
  codec.Read(stream, image, params, previewOnly, progress);
  return !aborting;
}

void WriteBack(const TKvCodec& codec, TKvBitmap& image, TKvIOParams& params) {
  if (codec.Write == nullptr || image.IsEmpty()) return;
  if (int64_t(image.Width()) * image.Height() > kMaxWritePixels) return;
  if ((codec.WriterKeeps & KvFormatBit(image.PixelFormat())) == 0) image.ChangePixelFormat(kv24RGB);
  TKvMemoryStream out;
  bool aborting = false;
  TKvProgressRec progress;
  progress.Aborting = &aborting;
  try {
    codec.Write(out, image, params, progress);
  } catch (const EKvJpegException&) {
  } catch (const EInvalidGraphic&) {
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const TKvCodec* codec = KvFindCodec(TKvFileType(KV_FUZZ_FORMAT));
  if (codec == nullptr || codec->Read == nullptr) std::terminate();
  {
    TKvBitmap image;
    TKvIOParams params;
    Read(*codec, data, size, true, image, params);
  }
  TKvBitmap image;
  TKvIOParams params;
  if (Read(*codec, data, size, false, image, params)) WriteBack(*codec, image, params);
  return 0;
}
