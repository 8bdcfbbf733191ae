// Every public header of bobbin.
#pragma once

#include "bobbin/cpuinfo/get_cpu_info.h"
#include "bobbin/sync/CriticalSection.h"
#include "bobbin/sync/Mutex.h"
#include "bobbin/sync/SynchEvent.h"
#include "bobbin/thread/ThreadHot.h"
#include "bobbin/time/time64.h"
#include "bobbin/version.h"
