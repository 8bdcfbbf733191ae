// Internal, not installed: the time module's zone readers, shared by its
// sources, its tests and its fuzz target.
#pragma once

#include <cstddef>

#include "bobbin/time/time64.h"

namespace bobbin::detail {

// The zone of a zone file image (RFC 8536, versions 1 to 4) of size bytes at
// data, or null with errno = EINVAL when the image is malformed (ENOMEM when
// out of memory). Reads no byte outside [data, data + size). Free the zone
// with tzfree64.
Zone64* ZoneFromFileImage(const unsigned char* data, std::size_t size);

// The zone of a POSIX TZ rule string (std offset [dst [offset]
// [,start[/time],end[/time]]]), or null with errno = EINVAL when rule is not
// one. Free the zone with tzfree64.
Zone64* ZoneFromRule(const char* rule);

}  // namespace bobbin::detail
