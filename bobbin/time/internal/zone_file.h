// Internal, not installed: the zone files of RFC 8536 (versions 1 to 4), read
// with every count and offset bounded by the bytes read; used by the zone
// resolver, the time module's tests and its fuzz target.
#pragma once

#include <sys/types.h>
#include <time.h>

#include <cstddef>
#include <memory>

#include "bobbin/time/internal/zone.h"

namespace bobbin::detail {

// Zone files take a few kilobytes; of a larger file only this many bytes are
// read, and what its data needs must lie within them.
inline constexpr std::size_t kMaxZoneFileSize = 256 * 1024;

// What tells one version of a file from another: its device, inode, size and
// times of last modification and of last status change (which a rewrite in
// place that restores the modification time still moves).
struct FileIdentity {
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = -1;  // -1: no file
    timespec modified = {};
    timespec changed = {};
    bool operator==(const FileIdentity& other) const {
        return device == other.device && inode == other.inode && size == other.size &&
               modified.tv_sec == other.modified.tv_sec &&
               modified.tv_nsec == other.modified.tv_nsec &&
               changed.tv_sec == other.changed.tv_sec && changed.tv_nsec == other.changed.tv_nsec;
    }
};

// The zone of the zone file image of size bytes at data into *zone: 0, EINVAL
// when the image is malformed, ENOMEM. Reads no byte outside the image.
int ReadZoneImage(const unsigned char* data, std::size_t size, std::unique_ptr<Zone64>* zone);

// The zone of the zone file at path into *zone, and the identity of the file
// read: 0; EINVAL when it is malformed or not a regular file; ENOMEM; else the
// error of opening or reading it. Reads at most kMaxZoneFileSize bytes; never
// blocks on a FIFO. Not a cancellation point: a thread cancelled meanwhile
// acts on it at its next one, and no descriptor is left open.
int ReadZoneFile(const char* path, std::unique_ptr<Zone64>* zone, FileIdentity* identity);

// The identity of the file at path now (size -1 when there is none): 0, or
// the error of stat other than ENOENT and ENOTDIR.
int IdentityOf(const char* path, FileIdentity* identity);

}  // namespace bobbin::detail
