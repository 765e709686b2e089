// Event slots shared by the components (processor, I/O component, view).
#pragma once

#include <cstdint>
#include <functional>

// Progress of a long operation: (sender, percent 0..100).
using TKvProgressEvent = std::function<void(void* sender, int32_t percent)>;
// End of an operation: (sender).
using TKvNotifyEvent = std::function<void(void* sender)>;
