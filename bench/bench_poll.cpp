// Costs of a poll against the floor (get_iml plus a bare read of the nine
// fields), and the fixed costs an administrator plans with.
//   zav_bench [--smoke] [google benchmark flags]
// --smoke runs every benchmark once on small inputs (checks they run).
#include <benchmark/benchmark.h>

#include "PyCompat.h"

#include <malloc.h>
#include <sys/stat.h>
#include <unistd.h>

#include <clocale>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <fstream>
#include <string>
#include <vector>

#include "CheckedState.h"
#include "LogFile.h"
#include "Monitoring.h"
#include "PyBridge.h"
#include "Reg.h"
#include "Report.h"
#include "Setting.h"
#include "StringOperation.h"
#include "TraceLog.h"
#include "zavsmsrv.h"

namespace {

bool g_bSmoke = false;
std::string g_strScratch;
PyObject *g_pModule = nullptr;  // owned for the whole run
// What the monitoring thread would own.
POLLSTATE g_tagPoll;
CHECKEDSTATE g_tagChecked;
CALLSTATUS g_tagCall;
DWORD g_dwNewIndex = 0;
IMLLIST &List() { return g_tagPoll.tagImlList; }

long RssKb() {
    std::ifstream in("/proc/self/status");
    std::string key;
    long value = 0;
    while (in >> key) {
        if (key == "VmRSS:") {
            in >> value;
            return value;
        }
        in.ignore(4096, '\n');
    }
    return 0;
}

void Prepare(long n) {
    PyRef r(PyObject_CallMethod(g_pModule, const_cast<char *>("prepare"), const_cast<char *>("l"), n));
    if (!r) {
        PyErr_Print();
        abort();
    }
}

void ResetState() {
    ClearImlList(List());
    g_tagChecked = CHECKEDSTATE();
    g_tagPoll.strServiceStartTime.clear();
    g_bCurrentReport = 1;
}

// Registry and log in a fresh scratch folder.
void FreshScratch() {
    (void)!system(("rm -rf '" + g_strScratch + "/registry' '" + g_strScratch + "/inst/log'").c_str());
    const std::string keys[] = {"SYSTEM/CURRENTCONTROLSET/SERVICES/ZAVSYSTEMMANAGEMENTSERVICE/PARAMETERS",
                                "SOFTWARE/KYM/ZAVAGENT/LOG/ZAVSMSRV"};
    for (const auto &k : keys)
        (void)!system(("mkdir -p '" + g_strScratch + "/registry/HKEY_LOCAL_MACHINE/" + k + "'").c_str());
    (void)!system(("mkdir -p '" + g_strScratch + "/inst/log'").c_str());
    g_dwLogCurrentSize = 0;
    g_bLogBackup = 0;
    g_dwDatCurrentSize = 0;
    g_bDatBackup = 0;
}

// The floor: the module call and a bare read of the nine fields into records,
// with the two texts converted to EUC-JP and the two times normalised.
// With reuse 0 the records are made afresh per call, as the service's list is
// per poll; with reuse 1 they keep their storage (no allocation at all).
void BM_Floor(benchmark::State &state) {
    const long n = state.range(0);
    const bool bReuse = state.range(1) != 0;
    Prepare(n);
    std::vector<IMLINFO> records(static_cast<size_t>(n));
    PyRef keys[9] = {PyRef(ZavPyString_FromString("EventNumber")), PyRef(ZavPyString_FromString("Message")),
                     PyRef(ZavPyString_FromString("RecommendedAction")), PyRef(ZavPyString_FromString("Severity")),
                     PyRef(ZavPyString_FromString("Created")),  PyRef(ZavPyString_FromString("Updated")),
                     PyRef(ZavPyString_FromString("Class")),    PyRef(ZavPyString_FromString("Code")),
                     PyRef(ZavPyString_FromString("Repaired"))};
    setlocale(LC_ALL, "ja_JP.eucjp");
    char buf[4096];
    auto wide = [&](PyObject *v, std::string &out) {
        std::wstring w;
        if (ZavPyReadWide(v, w) != ZAV_WIDE_OK) return;
        size_t len = wcstombs(buf, w.c_str(), sizeof buf - 1);
        if (len != size_t(-1)) out.assign(buf, len);
    };
    auto narrow = [&](PyObject *v, std::string &out) {
        const char *p = nullptr;
        if (PyArg_Parse(v, "s", &p) && p) out.assign(p);
    };
    auto integer = [&](PyObject *v) {
        int x = 0;
        (void)PyArg_Parse(v, "i", &x);
        return x;
    };
    for (auto _ : state) {
        if (!bReuse) std::vector<IMLINFO>(static_cast<size_t>(n)).swap(records);
        PyRef result(PyObject_CallMethod(g_pModule, const_cast<char *>("get_iml"), nullptr));
        int status = 0;
        PyObject *list = nullptr;
        if (!PyArg_ParseTuple(result.get(), "iO", &status, &list)) abort();
        const Py_ssize_t size = PyList_Size(list);
        for (Py_ssize_t i = 0; i < size; ++i) {
            PyObject *d = PyList_GetItem(list, i);
            IMLINFO &r = records[size_t(i)];
            r.dwEventNumber = DWORD(integer(PyDict_GetItem(d, keys[0].get())));
            wide(PyDict_GetItem(d, keys[1].get()), r.strMessage);
            wide(PyDict_GetItem(d, keys[2].get()), r.strRecommendedAction);
            narrow(PyDict_GetItem(d, keys[3].get()), r.strSeverity);
            narrow(PyDict_GetItem(d, keys[4].get()), r.strCreated);
            narrow(PyDict_GetItem(d, keys[5].get()), r.strUpdated);
            if (r.strCreated.size() >= 19) {
                r.strCreated.resize(19);
                r.strCreated[10] = ' ';
            }
            if (r.strUpdated.size() >= 19) {
                r.strUpdated.resize(19);
                r.strUpdated[10] = ' ';
            }
            r.wEventClass = WORD(integer(PyDict_GetItem(d, keys[6].get())));
            r.wEventCode = WORD(integer(PyDict_GetItem(d, keys[7].get())));
            r.dwRepaired = integer(PyDict_GetItem(d, keys[8].get())) != 0;
        }
        benchmark::DoNotOptimize(records.data());
    }
    state.counters["per_entry"] =
        benchmark::Counter(double(n), benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void BM_GetImlList(benchmark::State &state) {
    const long n = state.range(0);
    Prepare(n);
    ResetState();
    (void)malloc_trim(0);
    const long before = RssKb();
    long during = 0;
    for (auto _ : state) {
        if (GetImlList(g_pModule, List(), g_tagCall) != 1) abort();
        state.PauseTiming();
        during = RssKb();
        state.ResumeTiming();
        ClearImlList(List());
    }
    const long after = RssKb();
    state.counters["per_entry"] =
        benchmark::Counter(double(n), benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
    state.counters["list_bytes_per_entry"] = double(during - before) * 1024.0 / double(n);
    state.counters["rss_kb_kept_after_clear"] = double(after - before);
}

// A steady-state list: the checked entry is the newest, every update older
// than the checked time, the pass after the first.
void SteadyList(long n) {
    Prepare(n);
    ResetState();
    if (GetImlList(g_pModule, List(), g_tagCall) != 1) abort();
    IMLINFO &c = g_tagChecked.tagIml;
    c = List().vecRecords[size_t(n - 1)];
    c.strSeverity.clear();
    c.strMessage.clear();
    c.strRecommendedAction.clear();
    g_tagChecked.strTime = "2026-12-08 00:00:00";
}

void BM_SearchNewEventNumber(benchmark::State &state) {
    const long n = state.range(0);
    SteadyList(n);
    for (auto _ : state) {
        if (SearchNewEventNumber(List(), g_tagChecked, g_dwNewIndex) != 1 || g_dwNewIndex != DWORD(n)) abort();
    }
    state.counters["per_entry"] =
        benchmark::Counter(double(n), benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
    ClearImlList(List());
}

void BM_PassSteady(benchmark::State &state) {
    const long n = state.range(0);
    SteadyList(n);
    g_dwNewIndex = DWORD(n);
    for (auto _ : state)
        CheckAndReportIml(List(), g_dwNewIndex, g_tagChecked, g_tagPoll.strServiceStartTime, g_tagPoll.tagResult.vecOutcomes);
    state.counters["per_entry"] =
        benchmark::Counter(double(n), benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
    ClearImlList(List());
}

// The monitoring thread's whole poll, steady state (nothing new): module
// import, clock, list, search, pass, checked time stored, list cleared.
void BM_PollSteady(benchmark::State &state) {
    const long n = state.range(0);
    SteadyList(n);
    const IMLINFO checked = g_tagChecked.tagIml;
    ClearImlList(List());
    FreshScratch();
    for (auto _ : state) {
        g_tagChecked.tagIml = checked;
        if (MonitoringPoll(g_tagPoll, g_tagChecked) != 1) abort();
    }
    state.counters["per_entry"] =
        benchmark::Counter(double(n), benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

// A first start: every entry new, recorded, checked and stored durably, with
// real files and registry; the targets are the first 64 classes and codes.
void BM_PassFirstStart(benchmark::State &state) {
    const long n = state.range(0);
    Prepare(n);
    for (auto _ : state) {
        state.PauseTiming();
        ResetState();
        FreshScratch();
        g_tagChecked.dwServiceStart = 0;
        g_bCurrentReport = 0;
        g_tagPoll.strServiceStartTime = "2026-12-08 00:00:00";
        if (GetImlList(g_pModule, List(), g_tagCall) != 1) abort();
        g_dwNewIndex = 0;
        state.ResumeTiming();
        CheckAndReportIml(List(), g_dwNewIndex, g_tagChecked, g_tagPoll.strServiceStartTime, g_tagPoll.tagResult.vecOutcomes);
        state.PauseTiming();
        ClearImlList(List());
        state.ResumeTiming();
    }
    state.counters["per_entry"] =
        benchmark::Counter(double(n), benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

// Fixed costs.
void BM_RegMissingValue(benchmark::State &state) {
    FreshScratch();
    DWORD dw = 0;
    for (auto _ : state) benchmark::DoNotOptimize(GetRegValue(ZAV_PARAMETERS_KEY, "NoSuchValue", dw));
}

void BM_RegDurableWrite(benchmark::State &state) {
    FreshScratch();
    DWORD v = 0;
    for (auto _ : state)
        if (!SetRegValue(ZAV_PARAMETERS_KEY, "ReadEventNumber", ++v)) abort();
}

void BM_SetCheckedImlInfo(benchmark::State &state) {
    FreshScratch();
    IMLINFO t;
    t.strCreated = "2026-12-07 00:00:00";
    t.strUpdated = "2026-12-07 00:00:00";
    t.wEventClass = 1;
    t.wEventCode = 2;
    for (auto _ : state) {
        ++t.dwEventNumber;
        if (!SetCheckedImlInfo(g_tagChecked, t)) abort();
    }
}

void BM_WriteLogLine(benchmark::State &state) {
    FreshScratch();
    for (auto _ : state) WriteLog("07,0,Critical,01,02", "CheckAndReportIml", LOG_LEVEL_INFO, 0);
}

void BM_WriteLogFiltered(benchmark::State &state) {
    for (auto _ : state) WriteLog("Start", "CheckAndReportIml", LOG_LEVEL_DEBUG, 0);
}

void BM_WriteDat(benchmark::State &state) {
    FreshScratch();
    const std::string rec =
        "07,0,Critical,01,02,2026-12-07 00:00:00,2026-12-07 00:00:00,Fan 3 failed,Replace the fan,";
    for (auto _ : state) WriteDat(rec);
}

void Register() {
    const std::vector<long> sizes = g_bSmoke ? std::vector<long>{100} : std::vector<long>{100, 1000, 10000, 65535};
    const int reps = g_bSmoke ? 1 : 5;
    auto common = [&](benchmark::internal::Benchmark *b) {
        for (long n : sizes) b->Arg(n);
        b->Unit(benchmark::kMillisecond)->Repetitions(reps)->ReportAggregatesOnly(!g_bSmoke);
        if (g_bSmoke) b->Iterations(1);
    };
    auto *floor = benchmark::RegisterBenchmark("BM_Floor", BM_Floor);
    for (long n : sizes) floor->Args({n, 0})->Args({n, 1});
    floor->ArgNames({"", "reuse"})->Unit(benchmark::kMillisecond)->Repetitions(reps)->ReportAggregatesOnly(!g_bSmoke);
    if (g_bSmoke) floor->Iterations(1);
    common(benchmark::RegisterBenchmark("BM_GetImlList", BM_GetImlList));
    common(benchmark::RegisterBenchmark("BM_SearchNewEventNumber", BM_SearchNewEventNumber));
    common(benchmark::RegisterBenchmark("BM_PassSteady", BM_PassSteady));
    common(benchmark::RegisterBenchmark("BM_PollSteady", BM_PollSteady));
    auto *first = benchmark::RegisterBenchmark("BM_PassFirstStart", BM_PassFirstStart);
    first->Unit(benchmark::kMillisecond)->Iterations(1);
    if (g_bSmoke) {
        first->Arg(20);
    } else {
        first->Arg(100)->Arg(1000)->Repetitions(3)->ReportAggregatesOnly(true);
        benchmark::RegisterBenchmark("BM_PassFirstStart", BM_PassFirstStart)
            ->Arg(10000)
            ->Unit(benchmark::kMillisecond)
            ->Iterations(1);
    }
    auto fixed = [&](benchmark::internal::Benchmark *b, int iters) {
        b->Unit(benchmark::kMicrosecond)->Repetitions(g_bSmoke ? 1 : 3)->ReportAggregatesOnly(!g_bSmoke);
        b->Iterations(g_bSmoke ? 1 : iters);
    };
    fixed(benchmark::RegisterBenchmark("BM_RegMissingValue", BM_RegMissingValue), 2);
    fixed(benchmark::RegisterBenchmark("BM_RegDurableWrite", BM_RegDurableWrite), 500);
    fixed(benchmark::RegisterBenchmark("BM_SetCheckedImlInfo", BM_SetCheckedImlInfo), 200);
    fixed(benchmark::RegisterBenchmark("BM_WriteLogLine", BM_WriteLogLine), 5000);
    fixed(benchmark::RegisterBenchmark("BM_WriteLogFiltered", BM_WriteLogFiltered), 100000);
    fixed(benchmark::RegisterBenchmark("BM_WriteDat", BM_WriteDat), 5000);
}

}  // namespace

int main(int argc, char **argv) {
    std::vector<char *> args;
    for (int i = 0; i < argc; ++i) {
        if (std::strcmp(argv[i], "--smoke") == 0)
            g_bSmoke = true;
        else
            args.push_back(argv[i]);
    }
    int nArgs = int(args.size());
    char tmpl[] = "/tmp/zavbench-XXXXXX";
    if (!mkdtemp(tmpl)) return 1;
    g_strScratch = tmpl;
    SetRegistryRoot(g_strScratch + "/registry");
    g_strZavDir = g_strScratch + "/inst";
    g_strLogFilePath = g_strZavDir + "/log/zavsmflw.log";
    g_strDatFilePath = g_strZavDir + ZAV_DAT_FILE;
    g_dwLogLevel = 3;  // the default level
    FreshScratch();
    for (auto &row : g_tagTargetEvent) row = TARGETEVENTINFO();
    for (int i = 0; i < 64; ++i) {
        g_tagTargetEvent[i].wEventClass = WORD(1 + i);
        g_tagTargetEvent[i].wEventCode = WORD(1 + i);
    }
    g_hServerStopEvent = CreateEvent(nullptr, 1, 0, nullptr);

    if (!ZavPyInitialize()) return 1;
    const std::string strPath = std::string("import sys; sys.path.insert(0, '") + ZAV_BENCH_PYDIR + "')";
    (void)ZavPyRunStatement(strPath.c_str());
    g_pModule = PyImport_ImportModule("zavsmsrv");
    if (!g_pModule) {
        PyErr_Print();
        return 1;
    }
    Register();
    benchmark::Initialize(&nArgs, args.data());
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    Py_DECREF(g_pModule);
    (void)ZavPyFinalize();
    (void)!system(("rm -rf '" + g_strScratch + "'").c_str());
    return 0;
}
