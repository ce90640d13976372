// Metrics for a fleet's Prometheus, through the node exporter's textfile
// collector: what this process's polls did, rendered in the text exposition
// format and replaced after every poll. Soft state: counters start at 0 with
// each start, the file is never synced. The main thread reads the setting
// before the monitoring thread starts; afterwards only that thread calls in.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <utility>

#include "ZavTypes.h"

#define ZAV_DEFAULT_METRICS_FILE "/var/lib/prometheus/node-exporter/zavsmsrv.prom"

enum { METRIC_CRITICAL, METRIC_WARNING, METRIC_OK, METRIC_REPAIRED, METRIC_SEVERITIES };

// Everything the file shows.
struct METRICS {
    double dStartTime = 0;
    std::string strVersion, strPython;
    uint64_t qwPolls = 0;
    bool bLastSuccess = false;
    double dLastPoll = 0, dLastSuccess = 0, dLastDuration = 0;         // dLastSuccess 0: none yet
    std::map<std::pair<std::string, std::string>, uint64_t> mapCalls;  // (call, status)
    DWORD dwEntries = 0, dwCheckedNumber = 0;
    uint64_t qwRecorded = 0;
    uint64_t aAlerts[2][METRIC_SEVERITIES] = {};
};

// Pure: counters at the start, one poll added (as the monitoring thread ran
// it, between dStart and dEnd, with the checked entry's number after it),
// and the file's text.
METRICS StartMetrics(double dNow, const std::string &strVersion, const std::string &strPython);
void AddPollToMetrics(METRICS &m, const POLLRESULT &r, double dStart, double dEnd, DWORD dwCheckedNumber);
std::string RenderMetrics(const METRICS &m);

// The host clock, seconds since the epoch.
double MetricsNow();
// MetricsFile: read at start-up and written to the operation log; "" when
// no metrics are written, and one line says why unless the value is empty.
void GetMetricsInfo();
const std::string &GetMetricsFilePath();
// Adds the poll and replaces the file; a failure never reaches the poll,
// one line says when writing starts failing and one when it works again.
void UpdateMetrics(const POLLRESULT &r, double dStart, double dEnd, DWORD dwCheckedNumber);
