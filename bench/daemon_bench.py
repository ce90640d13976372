"""Whole-daemon figures: the installed ZAVsmsrv in the namespace sandbox,
pinned to one CPU, polling a controller that serves N prepared entries, with
every setting in the registry, the default log level and trace settings and
the shortest cycle (10 s).

    ZAV_STAGE=<staged install> [ZAV_BENCH_BIN=<zav_bench>] \\
        python3 bench/daemon_bench.py [--polls 10] [--cpu 1] [N ...]

Per N: a first start (every entry new: recorded, checked and stored durably;
wall time from the start of the loop to the stored checked time), then
--polls steady polls (nothing new). The CPU of a steady poll is the run time
of all the process's threads (/proc/PID/task/*/schedstat, nanoseconds)
between two "Wait" lines of the operation log. During each wait the floor
(zav_bench's BM_Floor/N: get_iml and a bare read of the nine fields, fresh
records; reuse:1 keeps the records) runs pinned to the same CPU, and the
daemon's CPU while it waits is taken. Medians with the range; the ratio is
each poll's CPU over the median floor.
"""
import argparse
import json
import os
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, '..', 'scripts'))
from zavsandbox import DAEMON, LOGKEY, PARAMS, Sandbox  # noqa: E402


def sample(sb, pid):
    """(run time of all threads in ns, minor faults, VmRSS in KB, wall time, major faults, time the
    threads waited runnable for the CPU in ns, timeslices)."""
    out = sb.run(['sh', '-c', 'cat /proc/%d/task/*/schedstat; echo; cat /proc/%d/stat; grep VmRSS /proc/%d/status'
                  % (pid, pid, pid)])['stdout']
    lines = out.splitlines()
    stat = next(l for l in lines if l.startswith('%d (' % pid))
    sched = [[int(x) for x in l.split()] for l in lines[:lines.index('')]]
    ns, waited, slices = (sum(t[i] for t in sched) for i in range(3))
    fields = stat.rsplit(')', 1)[1].split()
    rss = int(next(l for l in lines if l.startswith('VmRSS:')).split()[1])
    return ns, int(fields[7]), rss, time.time(), int(fields[9]), waited, slices


def trace_time(sb, text):
    for line in sb.trace().splitlines():
        if line.endswith(text):
            return time.mktime(time.strptime(line[:19], '%Y-%m-%d %H:%M:%S')) + int(line[20:23]) / 1000.0
    return None


def floor(bench, cpu, n):
    """Median CPU ms per call of BM_Floor/n, fresh records and reused ones."""
    if not bench:
        return None, None
    out = subprocess.run(['taskset', '-c', str(cpu), bench, '--benchmark_filter=^BM_Floor/%d/reuse:[01]/' % n,
                          '--benchmark_min_time=0.2', '--benchmark_format=json'], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                         universal_newlines=True, check=True).stdout
    med = dict((b['run_name'], b['cpu_time']) for b in json.loads(out)['benchmarks']
               if b.get('aggregate_name') == 'median')
    return tuple(next(v for k, v in med.items() if '/reuse:%d/' % r in k) for r in (0, 1))


def prepare(sb, n):
    src = open(os.path.join(HERE, 'pymodules', 'zavsmsrv.py')).read()
    with open(sb.path('bin/zavsmsrv.py'), 'w') as f:
        f.write(src + '\nprepare(%d)\n' % n)
    for name, value in (('MonitorInterval', 10), ('JapaneseMessage', 0), ('NumberOfBackup', 4),
                        ('MaxDatSize', 65536), ('ServiceStart', 0)):
        sb.set_reg(PARAMS, name, 'dword', value)
    sb.set_reg(LOGKEY, 'FilePath', 'expand_sz', '/opt/kym/tolvex_sa/log/zavsmflw.log')
    for name, value in (('LogLevel', 3), ('Generation', 2), ('MaxLogSize', 524288)):
        sb.set_reg(LOGKEY, name, 'dword', value)


def run(n, polls, cpu, bench):
    with Sandbox() as sb:
        prepare(sb, n)
        sb.start_core()
        assert sb.run(['taskset', '-c', str(cpu), DAEMON])['rc'] == 0
        pid = sb.daemon_pid()
        assert sb.wait_log('Wait', timeout=600), 'no first poll'
        start = trace_time(sb, 'Start loop.')
        first = os.stat(sb.value_file(PARAMS, 'CheckedTime')).st_mtime - start
        prev = sample(sb, pid)
        rows, floors, idle = [], [], []
        for k in range(polls):
            f = floor(bench, cpu, n)
            if f[0] is not None:
                floors.append(f)
            after = sample(sb, pid)
            idle.append((after[0] - prev[0]) / 1e6 / (after[3] - prev[3]))
            assert sb.wait_log('Wait', count=k + 2, timeout=60), 'no poll %d' % (k + 2)
            cur = sample(sb, pid)
            rows.append(((cur[0] - prev[0]) / 1e6, cur[1] - prev[1], cur[2], cur[4] - prev[4],
                         (cur[5] - prev[5]) / 1e6, cur[6] - prev[6]))
            prev = cur
        logs = sb.path('log')
        records = sum(open(os.path.join(logs, f), 'rb').read().count(b'\n') for f in os.listdir(logs)
                      if f.startswith('zavsmsel.log'))
        sb.stop()
    return first, rows, floors, idle, records


def spread(values, fmt='%.2f'):
    return (fmt + ' [' + fmt + '-' + fmt + ']') % (statistics.median(values), min(values), max(values))


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument('--polls', type=int, default=10)
    ap.add_argument('--cpu', type=int, default=1)
    ap.add_argument('sizes', nargs='*', type=int, default=[1000, 10000])
    args = ap.parse_args()
    bench = os.environ.get('ZAV_BENCH_BIN')
    print('| N | first start | steady poll CPU ms | floor ms (fresh / reused) | ratio | polls > 3x | '
          'idle CPU ms/s | RSS KB after poll | faults/poll |')
    print('|---|---|---|---|---|---|---|---|---|')
    details = []
    for n in args.sizes:
        first, rows, floors, idle, records = run(n, args.polls, args.cpu, bench)
        cpu = [r[0] for r in rows]
        if floors:
            fresh = statistics.median(f[0] for f in floors)
            reused = statistics.median(f[1] for f in floors)
            ratios = [c / fresh for c in cpu]
            floor_text = '%.2f [%.2f-%.2f] / %.2f' % (fresh, min(f[0] for f in floors), max(f[0] for f in floors),
                                                      reused)
            ratio_text = spread(ratios)
            over = '%d of %d' % (sum(1 for r in ratios if r > 3), len(ratios))
        else:
            floor_text, ratio_text, over = 'n/a', 'n/a', 'n/a'
        print('| %d | %.1f s (%.2f ms/entry) | %s | %s | %s | %s | %.3f | %s | %s |' % (
            n, first, first * 1000.0 / n, spread(cpu), floor_text, ratio_text, over, max(idle),
            spread([r[2] for r in rows], '%d'), spread([r[1] for r in rows], '%d')))
        sys.stdout.flush()
        details.append('N=%d (%d records kept): CPU ms per poll %s; minor faults %s; major faults %s; '
                       'ms waiting for the CPU %s; timeslices %s' % (
                           n, records, ' '.join('%.2f' % c for c in cpu), ' '.join(str(r[1]) for r in rows),
                           ' '.join(str(r[3]) for r in rows), ' '.join('%.2f' % r[4] for r in rows),
                           ' '.join(str(r[5]) for r in rows)))
    print('\n'.join(details))


if __name__ == '__main__':
    main()
