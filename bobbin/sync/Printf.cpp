#include <atomic>
#include <cstdarg>
#include <cstdio>

#include "bobbin/sync/CriticalSection.h"

namespace {

std::atomic<PrintfSink> g_sink{nullptr};

}  // namespace

void SetPrintfSink(PrintfSink sink) {
    g_sink.store(sink, std::memory_order_release);
}

int PRINTF(const char* format, ...) {
    const PrintfSink sink = g_sink.load(std::memory_order_acquire);
    if (sink == nullptr) return 0;
    char message[512];  // longer reports are cut
    std::va_list args;
    va_start(args, format);
    const int length = std::vsnprintf(message, sizeof message, format, args);
    va_end(args);
    sink(message);
    return length;
}
