// Every public header of bobbin.
#pragma once

#include "bobbin/sync/CriticalSection.h"
#include "bobbin/sync/Mutex.h"
#include "bobbin/time/time64.h"
