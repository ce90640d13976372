// Trace library: one line per record with local time (ms), process and
// thread id, level, module, function, line and text; rotated by size.
// Thread-safe; the file is opened per record so close_allfd() cannot break it.
#pragma once

#include "FileOps.h"
#include "NTwin32.h"

// dwFlags: ZAV_TRACE_DETAIL switches the level 0 detail records on.
#define ZAV_TRACE_DETAIL 1u
int TraceLogInit(const char *pszPath, const char *pszIdent, DWORD dwMaxSizeKB, DWORD dwGeneration, DWORD dwFlags);
int TraceLog(DWORD dwLevel, const char *pszModule, const char *pszFunction, int nLine, const char *pszFormat, ...)
    __attribute__((format(printf, 5, 6)));

// Level 0 detail records: off unless switched on (TraceLogInit's flags or
// TraceLogSetDetail).
void TraceLogSetDetail(int bOn);
int TraceLogDetailEnabled();
// Read by ZTRACE so a detail record that is off costs no call at all.
extern volatile int g_bTraceDetail;


#define ZTRACE(level, module, ...)                                       \
    do {                                                                 \
        if ((level) != 0 || g_bTraceDetail)                              \
            (void)TraceLog((level), (module), __func__, __LINE__, __VA_ARGS__); \
    } while (0)
