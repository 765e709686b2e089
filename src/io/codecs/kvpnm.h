// The portable any-map codec (PBM, PGM, PPM): the plain variants P1, P2, P3 and the raw
// variants P4, P5, P6 (also with 16-bit samples) are read; P4, P5 and P6 are written.
#pragma once

#include "io/kvcodec.h"

// Header into params; unless previewOnly, pixels into image. Bad input sets Aborting.
void ReadPxm(TKvStream& stream, TKvBitmap& image, TKvIOParams& params, bool previewOnly,
             TKvProgressRec& progress);
// Writes one raw image (P4, P5 or P6, chosen from params and the pixel format).
void WritePxm(TKvStream& stream, TKvBitmap& image, TKvIOParams& params, TKvProgressRec& progress);
// True when the stream starts with a P1..P6 header with a positive size; position restored.
bool ProbePxm(TKvStream& stream);

void KvRegisterPnmCodec();
