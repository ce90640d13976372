"""Runs the installed ZAVsmsrv in a private mount and PID namespace, for the demo, the benchmark and
the end-to-end tests, each on a scratch copy of the staged install (ZAV_STAGE), so sandboxes may run in
parallel. Run with --agent, this file is the namespace's PID 1: it mounts the copy on
/opt/kym/tolvex_sa, a scratch /run and the unit folder, reaps every orphan and answers one JSON command
a line. Where namespaces cannot be made, Sandbox() raises SandboxError.
"""
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

PARAMS = 'SYSTEM\\CurrentControlSet\\Services\\ZAVSystemManagementService\\Parameters'
LOGKEY = 'SOFTWARE\\KYM\\ZAVAgent\\Log\\zavsmsrv'
INTERNAL = 'SOFTWARE\\KYM\\ZAVAgent\\Log\\zavsmsrv_internal'
TABLE = 'SOFTWARE\\KYM\\ZAVALERTMAN\\REPORTTABLE\\EVENTLOG\\APPLICATION\\ZAVCOMMONSERVICE\\'
INSTALL = '/opt/kym/tolvex_sa'
DAEMON = INSTALL + '/bin/ZAVsmsrv'
UNIT = ('[Unit]\nDescription=ZAVsmsrv (test)\n[Service]\nType=forking\nPIDFile=/var/run/ZAVsmsrv.pid\n'
        'ExecStart=%s\n' % DAEMON)


class SandboxError(RuntimeError):
    pass


def stage_dir():
    stage = os.environ.get('ZAV_STAGE')
    if not stage or not os.path.isdir(os.path.join(stage, INSTALL.lstrip('/'))):
        raise SandboxError('ZAV_STAGE must name a staged install (cmake --install --prefix %s with DESTDIR); '
                           'got %r' % (INSTALL, stage))
    return stage


def open_sandbox(test, **kwargs):
    """A Sandbox for a test case, or the test fails saying why (never a silent skip)."""
    try:
        return Sandbox(**kwargs)
    except SandboxError as e:
        test.fail('the end-to-end sandbox cannot be made: %s' % e)


def wait_until(predicate, timeout, step=0.02):
    deadline = time.time() + timeout
    while True:
        value = predicate()
        if value or time.time() >= deadline:
            return value
        time.sleep(step)


class Sandbox(object):
    def __init__(self, systemd=False, mask_systemctl=False):
        self.scratch = tempfile.mkdtemp(prefix='zavsb-')
        self.inst, self.run_dir, self.unit_dir = (os.path.join(self.scratch, n) for n in ('inst', 'run', 'unit'))
        shutil.copytree(os.path.join(stage_dir(), INSTALL.lstrip('/')), self.inst, symlinks=True)
        os.makedirs(self.run_dir)
        os.makedirs(self.unit_dir)
        with open(self.value_file(INTERNAL, 'IndicationFile'), 'w') as f:
            f.write('dword:1\n')  # the tests read alerts from the JSON-lines file
        with open(self.value_file(PARAMS, 'MetricsFile'), 'w') as f:
            f.write('sz:%s/log/zavsmsrv.prom\n' % INSTALL)  # never the host's node-exporter folder
        if systemd or mask_systemctl:
            with open(os.path.join(self.unit_dir, 'ZAVsmsrv.service'), 'w') as f:
                f.write(UNIT)
        cfg = {'install': self.inst, 'run': self.run_dir, 'unit_dir': self.unit_dir}
        if mask_systemctl:
            cfg['mask_systemctl'] = os.path.join(self.scratch, 'systemctl-masked')
            open(cfg['mask_systemctl'], 'w').close()
        argv = ['unshare', '--mount', '--pid', '--fork', '--mount-proc', sys.executable,
                os.path.abspath(__file__), '--agent', json.dumps(cfg)]
        try:
            self.proc = subprocess.Popen(argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                         stderr=subprocess.PIPE, universal_newlines=True)
        except OSError as e:
            raise SandboxError('cannot run unshare: %s' % e)
        if not self.proc.stdout.readline():
            err = self.proc.stderr.read()
            shutil.rmtree(self.scratch, ignore_errors=True)
            raise SandboxError('cannot create the mount and PID namespace (run as root): %s' % err.strip())

    def _ask(self, **cmd):
        self.proc.stdin.write(json.dumps(cmd) + '\n')
        self.proc.stdin.flush()
        reply = json.loads(self.proc.stdout.readline() or '{"error": "the sandbox agent ended"}')
        if 'error' in reply:
            raise SandboxError(reply['error'])
        return reply

    # -- processes inside ----------------------------------------------------
    def run(self, argv, timeout=60, umask=None, cwd=None):
        """Runs argv to its end: rc, stdout, stderr."""
        return self._ask(op='run', argv=argv, timeout=timeout, umask=umask, cwd=cwd)

    def spawn(self, argv):
        return self._ask(op='spawn', argv=argv)['pid']

    def pids(self, name='ZAVsmsrv'):
        return self._ask(op='pids', name=name)['pids']

    def kill(self, pid, sig=15):
        return self._ask(op='kill', pid=pid, sig=sig)['ok']

    def exits(self):
        """Exit status of every reaped orphan by PID: the code, or minus the signal."""
        return dict((pid, code) for pid, code in self._ask(op='exits')['exits'])

    def wait_exit(self, pid, timeout=30):
        """The exit status of process pid once it has ended, or None."""
        wait_until(lambda: pid in self.exits(), timeout, 0.05)
        return self.exits().get(pid)

    def process(self, pid):
        """session, sigcgt (caught signals), umask, cwd and streams (fd 0-2) of a live process."""
        return self._ask(op='proc', pid=pid)

    def start_core(self):
        """A stand-in core daemon: a process named ZAVntserver."""
        link = os.path.join(self.inst, 'ZAVntserver')
        if not os.path.exists(link):
            os.symlink('/bin/sleep', link)
        pid = self.spawn([INSTALL + '/ZAVntserver', 'infinity'])
        wait_until(lambda: self.pids('ZAVntserver'), 10)
        return pid

    def start(self, timeout=60, umask=None, cwd=None):
        """Runs the daemon as a service manager would; the launched process's exit status."""
        return self.run([DAEMON], timeout=timeout, umask=umask, cwd=cwd)['rc']

    def daemon_pid(self, timeout=10):
        pids = wait_until(self.pids, timeout)
        return pids[0] if pids else None

    def stop(self, timeout=30, sig=15):
        """Signals every ZAVsmsrv process and waits until all are gone."""
        for pid in self.pids():
            self.kill(pid, sig)
        return wait_until(lambda: not self.pids(), timeout, 0.05)

    # -- files -----------------------------------------------------------------
    def path(self, rel):
        return os.path.join(self.inst, rel.lstrip('/'))

    def read(self, rel, mode='r', missing=''):
        try:
            with open(rel if rel.startswith(self.scratch) else self.path(rel), mode) as f:
                return f.read()
        except (IOError, OSError):
            return missing.encode() if 'b' in mode and missing is not None else missing

    def oplog(self):
        return self.read('log/zavsmflw.log', 'rb').decode('latin-1')

    def oplog_messages(self):
        """Operation-log lines without their time stamp."""
        return [l[20:] if len(l) >= 20 and l[4] == '-' else l for l in self.oplog().split('\n')]

    def datfile(self):
        return self.read('log/zavsmsel.log', 'rb')

    def trace(self):
        return self.read('log/ZAVsmsrv.log', 'rb').decode('latin-1')

    def indications(self):
        return [json.loads(l) for l in self.read('log/indication.log').splitlines() if l.strip()]

    def pidfile(self):
        return self.read(os.path.join(self.run_dir, 'ZAVsmsrv.pid'), 'rb', None)

    def wait_log(self, text, count=1, timeout=30):
        """Waits until the operation log holds `count` lines ending in `text`."""
        return wait_until(lambda: sum(1 for m in self.oplog_messages() if m.endswith(text)) >= count,
                          timeout, 0.05)

    def write_scenario(self, scenario):
        tmp = self.path('data/iml-sim.json.tmp')
        with open(tmp, 'w') as f:
            json.dump(scenario, f)
        os.rename(tmp, self.path('data/iml-sim.json'))

    def write_conf(self, text):
        with open(self.path('data/zavsmsrv.conf'), 'wb' if isinstance(text, bytes) else 'w') as f:
            f.write(text)

    # -- registry --------------------------------------------------------------
    def zavreg(self, *args):
        return subprocess.run([self.path('bin/zavreg'), '--root', self.path('registry')] + [str(a) for a in args],
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True)

    def set_reg(self, key, name, typ, value):
        r = self.zavreg('set', key, name, typ, value) if name else self.zavreg('create', key)
        if r.returncode != 0:
            raise SandboxError('zavreg failed: %s' % r.stderr)

    def get_reg(self, key, name):
        r = self.zavreg('get', key, name)
        typ, _, value = r.stdout.rstrip('\n').partition(' ')
        return None if r.returncode else int(value) if typ == 'dword' else value

    def preset(self, **values):
        """Stores every setting read at start-up, so that no read waits for its retries;
        keywords override a parameter (MonitorInterval=10) or a log setting (LogLevel=5)."""
        params = dict(MonitorInterval=3600, JapaneseMessage=0, NumberOfBackup=4, MaxDatSize=65536)
        log = dict(LogLevel=3, Generation=2, MaxLogSize=524288)
        for name, value in list(params.items()) + list(log.items()):
            self.set_reg(LOGKEY if name in log else PARAMS, name, 'dword', values.get(name, value))
        self.set_reg(LOGKEY, 'FilePath', 'expand_sz', INSTALL + '/log/zavsmflw.log')

    def value_file(self, key, name):
        parts = [p.upper() for p in key.split('\\') if p]
        return self.path('registry/HKEY_LOCAL_MACHINE/%s/V_%s' % ('/'.join(parts), name.upper()))

    def close(self):
        try:  # stdin closed: the agent kills what is left and ends
            self.proc.communicate(timeout=15)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.communicate()
        if not os.environ.get('ZAV_KEEP_SANDBOX'):
            shutil.rmtree(self.scratch, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


# -- the agent, PID 1 of the namespace ---------------------------------------
EXITS = {}


def reap():
    try:
        pid, status = os.waitpid(-1, os.WNOHANG)
    except ChildProcessError:
        return
    if pid:
        EXITS[pid] = os.WEXITSTATUS(status) if os.WIFEXITED(status) else -os.WTERMSIG(status)
        reap()


def comm_pids(name):
    reap()
    pids = []
    for d in filter(str.isdigit, os.listdir('/proc')):
        try:
            with open('/proc/%s/stat' % d) as f:
                comm, state = f.read().split(' (', 1)[1].rsplit(') ', 1)
        except (IOError, OSError, ValueError):
            continue
        if comm == name and not state.startswith('Z'):
            pids.append(int(d))
    return sorted(pids)


def proc_info(pid):
    with open('/proc/%d/stat' % pid) as f:
        session = int(f.read().rsplit(')', 1)[1].split()[3])
    with open('/proc/%d/status' % pid) as f:
        status = dict(l.rstrip('\n').split(':\t', 1) for l in f if ':\t' in l)
    link = lambda n: os.readlink('/proc/%d/%s' % (pid, n))
    return {'session': session, 'sigcgt': int(status['SigCgt'], 16), 'umask': int(status['Umask'], 8),
            'cwd': link('cwd'), 'streams': [link('fd/%d' % n) for n in range(3)]}


def handle(cmd, env):
    op = cmd['op']
    if op == 'run':  # into files, not pipes: a child forked under systemd keeps the launcher's streams open
        with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
            umask = cmd.get('umask')
            try:
                rc = subprocess.call(cmd['argv'], env=env, cwd=cmd.get('cwd') or '/', stdin=subprocess.DEVNULL,
                                     stdout=out, stderr=err, timeout=cmd['timeout'],
                                     preexec_fn=None if umask is None else lambda: os.umask(umask))
            except subprocess.TimeoutExpired:
                rc = None
            text = lambda f: f.seek(0) or f.read().decode('utf-8', 'replace')
            return {'rc': rc, 'stdout': text(out), 'stderr': text(err)}
    if op == 'spawn':
        return {'pid': subprocess.Popen(cmd['argv'], env=env, cwd='/', stdin=subprocess.DEVNULL,
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).pid}
    if op == 'pids':
        return {'pids': comm_pids(cmd['name'])}
    if op == 'kill':
        try:
            os.kill(cmd['pid'], cmd['sig'])
            return {'ok': True}
        except OSError:
            return {'ok': False}
    if op == 'exits':
        reap()
        return {'exits': sorted(EXITS.items())}
    if op == 'proc':
        return proc_info(cmd['pid'])
    raise ValueError('unknown op %r' % op)


def agent(cfg):
    def sh(*argv):
        subprocess.check_call(list(argv))
    sh('mount', '-t', 'tmpfs', '-o', 'mode=0755', 'zavopt', '/opt')
    os.makedirs(INSTALL)
    sh('mount', '--bind', cfg['install'], INSTALL)
    sh('mount', '--bind', cfg['run'], '/run')
    sh('mount', '--bind', cfg['unit_dir'], '/usr/lib/systemd/system')
    if cfg.get('mask_systemctl'):
        sh('mount', '--bind', cfg['mask_systemctl'], '/usr/bin/systemctl')
    # The daemon's environment is a service manager's: nothing but a path (and a sanitizer's options).
    env = dict((k, v) for k, v in os.environ.items() if k.endswith('SAN_OPTIONS'))
    env['PATH'] = '/usr/sbin:/usr/bin:/sbin:/bin'
    print(json.dumps({'ready': True}), flush=True)
    for line in sys.stdin:
        try:
            reply = handle(json.loads(line), env)
        except Exception as e:  # the reply carries the failure to the test
            reply = {'error': repr(e)}
        print(json.dumps(reply), flush=True)
    for pid in comm_pids('ZAVsmsrv') + comm_pids('ZAVntserver'):
        os.kill(pid, signal.SIGKILL)


if __name__ == '__main__' and sys.argv[1:2] == ['--agent']:
    agent(json.loads(sys.argv[2]))
