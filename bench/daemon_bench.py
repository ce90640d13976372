"""Whole-daemon figures: the installed ZAVsmsrv in the namespace sandbox,
polling a controller that serves N prepared entries, with the default log
level and trace settings, in the steady state (the checked entry is the
newest, nothing new).

    ZAV_STAGE=<staged install> python3 bench/daemon_bench.py [N ...]

Prints, per N: first poll wall time, CPU per steady poll (the process's own
accounting across two polls), CPU while waiting, resident size idle and peak.
"""
import os
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, '..', 'tests', 'e2e'))
from zavsandbox import LOGKEY, PARAMS, Sandbox  # noqa: E402

TICK = os.sysconf('SC_CLK_TCK')


def proc(sb, pid, name):
    return sb.run(['cat', '/proc/%d/%s' % (pid, name)])['stdout']


def cpu_seconds(sb, pid):
    fields = proc(sb, pid, 'stat').rsplit(')', 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / float(TICK)


def status_kb(sb, pid, key):
    for line in proc(sb, pid, 'status').splitlines():
        if line.startswith(key + ':'):
            return int(line.split()[1])
    return 0


def trace_time(sb, text):
    for line in sb.trace().splitlines():
        if line.endswith(text):
            return time.mktime(time.strptime(line[:19], '%Y-%m-%d %H:%M:%S')) + int(line[20:23]) / 1000.0
    return None


def run(n):
    with Sandbox() as sb:
        src = open(os.path.join(HERE, 'pymodules', 'zavsmsrv.py')).read()
        with open(sb.path('bin/zavsmsrv.py'), 'w') as f:
            f.write(src + '\nprepare(%d)\n' % n)
        # Every setting present (no registry retries) and the newest entry checked.
        for name, value in (('MonitorInterval', 10), ('JapaneseMessage', 0), ('NumberOfBackup', 4),
                            ('MaxDatSize', 65536), ('ServiceStart', 1), ('ReadEventNumber', n),
                            ('ReadEventClass', 1 + (n - 1) % 0x7F), ('ReadEventCode', 1 + (n - 1) % 0xFFFF),
                            ('ReadRepaired', 0)):
            sb.set_reg(PARAMS, name, 'dword', value)
        last = time.strftime('%Y-%m-%d %H:%M:%S', time.localtime(
            time.mktime((2026, 12, 7, 0, 0, 0, 0, 0, -1)) + n - 1))
        for name in ('ReadCreated', 'ReadUpdated'):
            sb.set_reg(PARAMS, name, 'sz', last)
        sb.set_reg(PARAMS, 'CheckedTime', 'sz', '2026-12-08 00:00:00')
        sb.set_reg(LOGKEY, 'FilePath', 'expand_sz', '/opt/kym/tolvex_sa/log/zavsmflw.log')
        for name, value in (('LogLevel', 3), ('Generation', 2), ('MaxLogSize', 524288)):
            sb.set_reg(LOGKEY, name, 'dword', value)
        sb.start_core()
        assert sb.start() == 0
        pid = sb.daemon_pid()
        assert sb.wait_log('Wait', timeout=300), 'no first poll'
        start = trace_time(sb, 'Start loop.')
        done = os.stat(sb.value_file(PARAMS, 'CheckedTime')).st_mtime
        first_poll = done - start if start else float('nan')
        cpu1 = cpu_seconds(sb, pid)
        assert sb.wait_log('Wait', count=3, timeout=60)
        cpu3 = cpu_seconds(sb, pid)
        time.sleep(1)
        idle0 = cpu_seconds(sb, pid)
        time.sleep(5)
        idle1 = cpu_seconds(sb, pid)
        rss = status_kb(sb, pid, 'VmRSS')
        hwm = status_kb(sb, pid, 'VmHWM')
        records = sb.datfile().count(b'\n')
        sb.stop()
        return first_poll, (cpu3 - cpu1) / 2.0, idle1 - idle0, rss, hwm, records


def main():
    sizes = [int(a) for a in sys.argv[1:]] or [100, 1000, 10000, 65535]
    print('%8s %14s %16s %14s %12s %12s %8s' % ('N', 'first poll s', 'CPU/poll s', 'CPU idle 5s', 'RSS KB',
                                                  'peak RSS KB', 'records'))
    for n in sizes:
        r = run(n)
        print('%8d %14.3f %16.3f %14.3f %12d %12d %8d' % ((n,) + r))
        sys.stdout.flush()


if __name__ == '__main__':
    main()
