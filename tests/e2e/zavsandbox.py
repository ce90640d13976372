"""Runs the installed ZAVsmsrv inside a private mount and PID namespace.

    with Sandbox() as sb:
        sb.set_reg(PARAMS, 'MonitorInterval', 'dword', 10)
        sb.start_core()                 # a process named ZAVntserver
        rc = sb.start()                 # runs /opt/kym/tolvex_sa/bin/ZAVsmsrv
        sb.wait_log('Wait')
        sb.stop()                       # SIGTERM and wait until it is gone
        print(sb.oplog())

The staged install (cmake --install with DESTDIR) comes from ZAV_STAGE; each
sandbox copies it into a scratch folder, so sandboxes may run in parallel.
Files the daemon writes are read from the host side through the scratch
folder. Where namespaces cannot be made, Sandbox() raises SandboxError.
"""
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
PARAMS = 'SYSTEM\\CurrentControlSet\\Services\\ZAVSystemManagementService\\Parameters'
LOGKEY = 'SOFTWARE\\KYM\\ZAVAgent\\Log\\zavsmsrv'
INTERNAL = 'SOFTWARE\\KYM\\ZAVAgent\\Log\\zavsmsrv_internal'
DAEMON = '/opt/kym/tolvex_sa/bin/ZAVsmsrv'
UNIT = """[Unit]
Description=ZAVsmsrv (test)
[Service]
Type=forking
PIDFile=/var/run/ZAVsmsrv.pid
ExecStart=/opt/kym/tolvex_sa/bin/ZAVsmsrv
"""


class SandboxError(RuntimeError):
    pass


def stage_dir():
    stage = os.environ.get('ZAV_STAGE')
    if not stage or not os.path.isdir(os.path.join(stage, 'opt/kym/tolvex_sa')):
        raise SandboxError('ZAV_STAGE must name a staged install (cmake --install --prefix '
                           '/opt/kym/tolvex_sa with DESTDIR); got %r' % stage)
    return stage


def open_sandbox(test, **kwargs):
    """A Sandbox for a test case, or the test fails saying why it cannot be made
    (never a silent skip)."""
    try:
        return Sandbox(**kwargs)
    except SandboxError as e:
        test.fail('the end-to-end sandbox cannot be made: %s' % e)


class Sandbox(object):
    def __init__(self, systemd=False, mask_systemctl=False, unit_readable=True):
        self.scratch = tempfile.mkdtemp(prefix='zavsb-')
        self.inst = os.path.join(self.scratch, 'inst')
        self.run_dir = os.path.join(self.scratch, 'run')
        self.unit_dir = os.path.join(self.scratch, 'unit')
        shutil.copytree(os.path.join(stage_dir(), 'opt/kym/tolvex_sa'), self.inst, symlinks=True)
        # The tests read alerts from the JSON-lines file, which is off by default.
        with open(self.value_file(INTERNAL, 'IndicationFile'), 'w') as f:
            f.write('dword:1\n')
        os.makedirs(self.run_dir)
        os.makedirs(self.unit_dir)
        if systemd or mask_systemctl:
            unit = os.path.join(self.unit_dir, 'ZAVsmsrv.service')
            with open(unit, 'w') as f:
                f.write(UNIT)
            if not unit_readable:
                os.chmod(unit, 0)
        cfg = {'install': self.inst, 'run': self.run_dir, 'unit_dir': self.unit_dir}
        if mask_systemctl:
            masked = os.path.join(self.scratch, 'systemctl-masked')
            open(masked, 'w').close()
            os.chmod(masked, 0o644)
            cfg['mask_systemctl'] = masked
        argv = ['unshare', '--mount', '--pid', '--fork', '--mount-proc',
                sys.executable, os.path.join(HERE, 'sandbox_agent.py'), json.dumps(cfg)]
        try:
            self.proc = subprocess.Popen(argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                         stderr=subprocess.PIPE, universal_newlines=True)
        except OSError as e:
            raise SandboxError('cannot run unshare: %s' % e)
        first = self.proc.stdout.readline()
        if not first:
            err = self.proc.stderr.read()
            shutil.rmtree(self.scratch, ignore_errors=True)
            raise SandboxError('cannot create the mount and PID namespace (run as root): %s' % err.strip())

    # -- the agent ---------------------------------------------------------
    def _ask(self, **cmd):
        self.proc.stdin.write(json.dumps(cmd) + '\n')
        self.proc.stdin.flush()
        line = self.proc.stdout.readline()
        if not line:
            raise SandboxError('sandbox agent ended: %s' % self.proc.stderr.read())
        reply = json.loads(line)
        if 'error' in reply:
            raise SandboxError(reply['error'])
        return reply

    def run(self, argv, env=None, timeout=60, umask=None, cwd=None):
        return self._ask(op='run', argv=argv, env=env or {}, timeout=timeout, umask=umask, cwd=cwd)

    def spawn(self, argv, env=None):
        return self._ask(op='spawn', argv=argv, env=env or {})['pid']

    def pids(self, name='ZAVsmsrv'):
        return self._ask(op='pids', name=name)['pids']

    def kill(self, pid, sig=15):
        return self._ask(op='kill', pid=pid, sig=sig)['ok']

    def wait_gone(self, name='ZAVsmsrv', timeout=30):
        return self._ask(op='wait_gone', name=name, timeout=timeout)['gone']

    def exits(self):
        """Exit status of every orphan the sandbox has reaped (a detached
        daemon's own status), by PID: the code, or minus the signal."""
        return dict((pid, code) for pid, code in self._ask(op='exits')['exits'])

    def wait_exit(self, pid, timeout=30):
        """Waits until process `pid` has ended; its exit status, or None."""
        deadline = time.time() + timeout
        while True:
            code = self.exits().get(pid)
            if code is not None or time.time() >= deadline:
                return code
            time.sleep(0.05)

    def process(self, pid):
        """alive, ppid, pgrp, session, sigcgt (caught-signal mask), umask, cwd
        and streams (targets of descriptors 0 to 2) of a process."""
        return self._ask(op='proc', pid=pid)

    def wait_sigterm_handler(self, pid, timeout=10):
        """Waits until process `pid` catches SIGTERM (its handler is set)."""
        deadline = time.time() + timeout
        while time.time() < deadline:
            info = self.process(pid)
            if not info['alive']:
                return False
            if info['sigcgt'] & (1 << 14):
                return True
            time.sleep(0.002)
        return False

    # -- the service -------------------------------------------------------
    def start_core(self):
        """Starts a stand-in core daemon: a process named ZAVntserver."""
        link = os.path.join(self.inst, 'ZAVntserver')
        if not os.path.exists(link):
            os.symlink('/bin/sleep', link)
        pid = self.spawn(['/opt/kym/tolvex_sa/ZAVntserver', 'infinity'])
        deadline = time.time() + 10
        while time.time() < deadline and not self.pids('ZAVntserver'):
            time.sleep(0.02)
        return pid

    def start(self, timeout=60, umask=None, cwd=None):
        """Runs the daemon as a service manager would; returns the exit status
        of the started process (the parent in systemd mode). umask and cwd
        set the launcher's (default: the sandbox's umask, folder /)."""
        return self.run([DAEMON], timeout=timeout, umask=umask, cwd=cwd)['rc']

    def daemon_pid(self, timeout=10):
        deadline = time.time() + timeout
        while time.time() < deadline:
            p = self.pids()
            if p:
                return p[0]
            time.sleep(0.02)
        return None

    def stop(self, timeout=30, sig=15):
        """Signals every ZAVsmsrv process and waits until all are gone."""
        for pid in self.pids():
            self.kill(pid, sig)
        return self.wait_gone('ZAVsmsrv', timeout)

    # -- files -------------------------------------------------------------
    def path(self, rel):
        return os.path.join(self.inst, rel.lstrip('/'))

    def read(self, rel, mode='r'):
        try:
            with open(self.path(rel), mode) as f:
                return f.read()
        except (IOError, OSError):
            return b'' if 'b' in mode else ''

    def oplog(self):
        return self.read('log/zavsmflw.log', 'rb').decode('latin-1')

    def oplog_messages(self):
        """Operation-log lines without their time stamp."""
        out = []
        for line in self.oplog().split('\n'):
            out.append(line[20:] if len(line) >= 20 and line[4] == '-' else line)
        return out

    def datfile(self):
        return self.read('log/zavsmsel.log', 'rb')

    def trace(self):
        return self.read('log/ZAVsmsrv.log', 'rb').decode('latin-1')

    def indications(self):
        out = []
        for line in self.read('log/indication.log').splitlines():
            if line.strip():
                out.append(json.loads(line))
        return out

    def pidfile(self):
        try:
            with open(os.path.join(self.run_dir, 'ZAVsmsrv.pid'), 'rb') as f:
                return f.read()
        except (IOError, OSError):
            return None

    def wait_log(self, text, count=1, timeout=30):
        """Waits until the operation log holds `count` lines ending in `text`."""
        deadline = time.time() + timeout
        while time.time() < deadline:
            if sum(1 for m in self.oplog_messages() if m.endswith(text)) >= count:
                return True
            time.sleep(0.05)
        return False

    def write_scenario(self, scenario):
        tmp = self.path('data/iml-sim.json.tmp')
        with open(tmp, 'w') as f:
            json.dump(scenario, f)
        os.rename(tmp, self.path('data/iml-sim.json'))

    def write_conf(self, text, mode='w'):
        with open(self.path('data/zavsmsrv.conf'), mode) as f:
            f.write(text)

    # -- registry ----------------------------------------------------------
    def zavreg(self, *args):
        exe = os.path.join(self.inst, 'bin/zavreg')
        return subprocess.run([exe, '--root', os.path.join(self.inst, 'registry')] + [str(a) for a in args],
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True)

    def set_reg(self, key, name, typ, value):
        r = self.zavreg('set', key, name, typ, value)
        if r.returncode != 0:
            raise SandboxError('zavreg set failed: %s' % r.stderr)

    def get_reg(self, key, name):
        r = self.zavreg('get', key, name)
        if r.returncode != 0:
            return None
        typ, _, value = r.stdout.rstrip('\n').partition(' ')
        return int(value) if typ == 'dword' else value

    def preset(self, **values):
        """Stores every setting the service reads at start-up, so that no
        registry read waits for its retries; keyword arguments override the
        parameters (MonitorInterval=10) or the log settings (LogLevel=5)."""
        params = {'MonitorInterval': 3600, 'JapaneseMessage': 0, 'NumberOfBackup': 4, 'MaxDatSize': 65536}
        log = {'LogLevel': 3, 'Generation': 2, 'MaxLogSize': 524288}
        for name, value in values.items():
            (log if name in log else params)[name] = value
        for name, value in params.items():
            self.set_reg(PARAMS, name, 'dword', value)
        self.set_reg(LOGKEY, 'FilePath', 'expand_sz', '/opt/kym/tolvex_sa/log/zavsmflw.log')
        for name, value in log.items():
            self.set_reg(LOGKEY, name, 'dword', value)

    def create_key(self, key):
        r = self.zavreg('create', key)
        if r.returncode != 0:
            raise SandboxError('zavreg create failed: %s' % r.stderr)

    def value_file(self, key, name):
        parts = [p.upper() for p in key.split('\\') if p]
        return self.path('registry/HKEY_LOCAL_MACHINE/%s/V_%s' % ('/'.join(parts), name.upper()))

    # -- life --------------------------------------------------------------
    def close(self):
        if self.proc.poll() is None:
            try:
                self.proc.stdin.close()
            except OSError:
                pass
            try:
                self.proc.wait(15)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        for stream in (self.proc.stdout, self.proc.stderr):
            stream.close()
        if not os.environ.get('ZAV_KEEP_SANDBOX'):
            shutil.rmtree(self.scratch, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
