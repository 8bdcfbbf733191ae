// Internal, not installed: from a TZ value to its zone. One resolver serves TZ
// and tzalloc64; the zones that TZ names are held, shared by what they are, for
// the life of the process.
#pragma once

#include <memory>
#include <string>

#include "bobbin/time/internal/zone.h"
#include "bobbin/time/internal/zone_file.h"

namespace bobbin::detail {

// What a value that names no zone gives: TZ falls back to the zone that the C
// library takes then; tzalloc64 refuses.
enum class OnFailure { kFallBack, kRefuse };

// A TZ value resolved.
struct Resolution {
    std::unique_ptr<Zone64> zone;  // with kFallBack, null only for want of memory
    int error = 0;                 // why the value names no zone (zone: the fallback)
    bool may_pass = false;         // the error may pass: resolve the value again later
    bool followed = false;         // a file of the value's was opened: watch for its replacement
    FileIdentity file;             // its identity as read
};

// Resolves value (null: TZ unset) as the C library resolves it: /etc/localtime
// when unset; UTC when empty; else, without a leading ':', the zone file of an
// absolute path or of a name under directory, then a rule string (what follows
// a valid rule counts as a failure that falls back to the rule). In a
// set-user-ID process, only names that the C library reads there. Blocks on
// the file system; never on a FIFO. Not a cancellation point.
Resolution Resolve(const char* value, const char* directory, OnFailure onFailure);

// The zone directory that names are resolved under now: TZDIR when set and
// not empty, else the system's.
const char* ZoneDirectory();

// The zone that TZ names now into *zone (valid for the life of the process)
// and, unless value is null, the TZ value read (null: unset): 0, or ENOMEM
// when a value not seen before cannot be held. Takes no lock and makes no
// system call unless the value is new to the calling thread or its file is due
// a check.
int CurrentZone(const Zone64** zone, const char** value);

// Whether the C library may read the zone of value (null: TZ unset) without
// blocking: no file that it would open for it now (the value's zone file, or
// posixrules for a rule without dates) is a FIFO, a device or a socket. Looks
// at the files at the call.
bool CLibraryMayRead(const char* value);

}  // namespace bobbin::detail
