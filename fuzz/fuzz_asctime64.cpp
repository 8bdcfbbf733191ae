// asctime64_r over arbitrary fields never writes past its 35 bytes, and what it
// writes is one line that fits them.
#include <bobbin/time/time64.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    int fields[9];
    if (size < sizeof fields) return 0;
    std::memcpy(fields, data, sizeof fields);
    TM64 date{};
    date.tm_sec = fields[0];
    date.tm_min = fields[1];
    date.tm_hour = fields[2];
    date.tm_mday = fields[3];
    date.tm_mon = fields[4];
    date.tm_year = fields[5];
    date.tm_wday = fields[6];
    date.tm_yday = fields[7];
    date.tm_isdst = fields[8];
    // 35 bytes for the text, then a guard that must stay untouched. ASan also
    // catches a write past a heap block of exactly 35 bytes.
    char* buffer = static_cast<char*>(std::malloc(35));
    std::memset(buffer, 'x', 35);
    char* text = asctime64_r(&date, buffer);
    if (text != nullptr) {
        const void* end = std::memchr(buffer, '\0', 35);
        if (text != buffer || end == nullptr) std::abort();
        if (static_cast<const char*>(end) - buffer < 1 || buffer[strlen(buffer) - 1] != '\n') {
            std::abort();
        }
    }
    std::free(buffer);
    return 0;
}
