#include "bobbin/version.h"

const char* bobbin_version() {
    return BOBBIN_VERSION_STRING;
}
