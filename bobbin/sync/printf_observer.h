// Internal, not installed: lets tests see what PRINTF is handed.
#pragma once

#include <cstdarg>

namespace bobbin::detail {

// Called by PRINTF with its format text and its arguments, on the calling
// thread. The observer must not call back into the section that reported.
using PrintfObserver = void (*)(const char* format, std::va_list args);

// Installs `observer` (null removes it). Safe to call from any thread.
void SetPrintfObserver(PrintfObserver observer);

}  // namespace bobbin::detail
