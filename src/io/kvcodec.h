// The codec entry points and the registry of built-in codecs.
//
// A codec is a plain reader and writer routine pair (plus an optional content probe). The I/O
// component opens the stream, prepares the parameters and the progress record, and then calls
// the codec registered for the format identifier it picked from the file name.
//
// Rules every codec follows:
//  - Bad input never raises: the reader sets *progress.Aborting and returns, leaving what it
//    decoded. Only allocation failures and errors of an outside library may raise.
//  - Every size product is checked and every read is tested against the bytes that exist.
//  - Between rows the reader/writer tests progress.IsAborting() and stops when it is set.
//
// Built-in codecs are registered once, by KvRegisterBuiltinCodecs() (io/codecs/kvcodecs.cpp),
// which calls one registration function per codec file; a new codec adds its line there.
#pragma once

#include <cstdint>
#include <functional>

#include "image/kvbitmap.h"
#include "image/kvevents.h"
#include "io/kvioparams.h"
#include "io/kvstream.h"

// The progress-and-abort record handed to every codec.
struct TKvProgressRec {
  TKvProgressEvent Handler;  // the component's progress relay: (sender, percent)
  void* Sender = nullptr;    // the TKvIO, passed back to the relay
  int32_t Val = 0;           // step counter, set to 0 by the codec before its loop
  double Per = 0;            // 100 divided by the number of steps
  bool* Aborting = nullptr;  // the owning component's Aborting flag
  int32_t LastPercent = -1;  // last percent reported by ReportChanged

  bool IsAborting() const { return Aborting != nullptr && *Aborting; }
  void Abort() {
    if (Aborting != nullptr) *Aborting = true;
  }
  // Starts a loop of `steps` steps (Val = 0, Per = 100 / steps).
  void Begin(int64_t steps) {
    Val = 0;
    Per = steps > 0 ? 100.0 / double(steps) : 0.0;
    LastPercent = -1;
  }
  int32_t Percent() const { return int32_t(double(Val) * Per); }
  // Calls the handler with Trunc(Val * Per).
  void Report() {
    if (Handler) Handler(Sender, Percent());
  }
  // Calls the handler only when the percentage differs from the last one reported.
  void ReportChanged() {
    const int32_t p = Percent();
    if (p != LastPercent) {
      LastPercent = p;
      if (Handler) Handler(Sender, p);
    }
  }
};

// Reader: fills image and params from the stream; previewOnly reads the header only.
using TKvReadFunction = void (*)(TKvStream& stream, TKvBitmap& image, TKvIOParams& params,
                                 bool previewOnly, TKvProgressRec& progress);
// Writer: writes one image to the stream with params.
using TKvWriteFunction = void (*)(TKvStream& stream, TKvBitmap& image, TKvIOParams& params,
                                  TKvProgressRec& progress);
// Content test; restores the stream position.
using TKvProbeFunction = bool (*)(TKvStream& stream);

// Bit for a pixel format in TKvCodec::WriterKeeps.
constexpr uint32_t KvFormatBit(TKvPixFormat f) {
  return uint32_t(1) << f;
}
constexpr uint32_t kKvAllFormats = 0xFFFFFFFFu;

struct TKvCodec {
  TKvFileType FileType = kvftUnknown;
  TKvReadFunction Read = nullptr;
  TKvWriteFunction Write = nullptr;
  TKvProbeFunction Probe = nullptr;
  // Pixel formats a file save hands to the writer unchanged; the I/O component converts any
  // other image to kv24RGB in place first. kKvAllFormats: the writer converts for itself.
  uint32_t WriterKeeps = KvFormatBit(kv1g) | KvFormatBit(kv24RGB);
};

// Adds a codec, replacing an earlier one for the same format.
void KvRegisterCodec(const TKvCodec& codec);
// The codec for a format, or nullptr. Registers the built-in codecs on first use.
const TKvCodec* KvFindCodec(TKvFileType type);
// Calls the registration function of every built-in codec (defined in io/codecs/kvcodecs.cpp).
void KvRegisterBuiltinCodecs();
