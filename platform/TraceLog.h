// Trace library: one line per record with local time (ms), process and
// thread id, level, module, function, line and text; rotated by size.
// Thread-safe; the file is opened per record so close_allfd() cannot break it.
#pragma once

#include "NTwin32.h"

int TraceLogInit(const char *pszPath, const char *pszIdent, DWORD dwMaxSizeKB, DWORD dwGeneration, DWORD dwFlags);
int TraceLog(DWORD dwLevel, const char *pszModule, const char *pszFunction, int nLine, const char *pszFormat, ...)
    __attribute__((format(printf, 5, 6)));

// Level 0 detail records: off unless switched on (registry value
// TraceDetail of ...\Log\zavsmsrv_internal, or TraceLogSetDetail).
void TraceLogSetDetail(int bOn);
int TraceLogDetailEnabled();
// Read by ZTRACE so a detail record that is off costs no call at all.
extern volatile int g_bTraceDetail;

// Upper bound of rotation generations: a loop over 4294967295 backups would
// run for hours.
#define ZAV_MAX_GENERATION 999u

#define ZTRACE(level, module, ...)                                       \
    do {                                                                 \
        if ((level) != 0 || g_bTraceDetail)                              \
            (void)TraceLog((level), (module), __func__, __LINE__, __VA_ARGS__); \
    } while (0)
