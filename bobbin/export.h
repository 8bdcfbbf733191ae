// Marks bobbin's public API: a shared bobbin exports these declarations and
// keeps everything else inside.
#pragma once

#define BOBBIN_EXPORT __attribute__((visibility("default")))
