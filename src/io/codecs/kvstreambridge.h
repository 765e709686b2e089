// The bridge between a C imaging library's I/O callbacks and a TKvStream.
//
// The libraries report errors by jumping out of their callbacks, so nothing that has a destructor
// may live in the frames they jump over. The callbacks therefore see the stream only through
// plain function pointers and a context; an exception raised by the stream is caught here, kept,
// and rethrown by the codec once the library call has returned.
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>

#include "io/kvstream.h"

namespace kvbridge {

using TBridgeRead = size_t (*)(void* context, uint8_t* buffer, size_t count);
using TBridgeWrite = size_t (*)(void* context, const uint8_t* buffer, size_t count);

struct TStreamBridge {
  TKvStream* Stream = nullptr;
  std::exception_ptr Error;  // an exception raised by the stream, rethrown after the library
};

inline size_t BridgeRead(void* context, uint8_t* buffer, size_t count) noexcept {
  auto* bridge = static_cast<TStreamBridge*>(context);
  try {
    return bridge->Stream->Read(buffer, count);
  } catch (...) {
    if (!bridge->Error) bridge->Error = std::current_exception();
    return 0;
  }
}

inline size_t BridgeWrite(void* context, const uint8_t* buffer, size_t count) noexcept {
  auto* bridge = static_cast<TStreamBridge*>(context);
  try {
    return bridge->Stream->Write(buffer, count);
  } catch (...) {
    if (!bridge->Error) bridge->Error = std::current_exception();
    return 0;
  }
}

}  // namespace kvbridge
