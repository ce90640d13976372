"""Runs as PID 1 of a private mount and PID namespace (started by zavsandbox).

It mounts the scratch install on /opt/kym/tolvex_sa, a scratch folder on
/run and the chosen unit folder, then answers one JSON command per line on
stdin with one JSON reply per line on stdout. It reaps every orphan, so a
daemon that ended is gone, not a zombie.
"""
import json
import os
import signal
import subprocess
import sys
import tempfile
import time

INSTALL = '/opt/kym/tolvex_sa'
# Exit status of every orphan reaped here (a detached daemon's own status):
# the code, or minus the signal that ended it.
EXITS = {}
ENV = {'PATH': '/usr/sbin:/usr/bin:/sbin:/bin'}
# The sanitizer build's daemon needs its runtime options; nothing else passes.
for _name in ('ASAN_OPTIONS', 'LSAN_OPTIONS', 'UBSAN_OPTIONS', 'TSAN_OPTIONS'):
    if os.environ.get(_name):
        ENV[_name] = os.environ[_name]


def sh(*argv):
    subprocess.check_call(list(argv))


def setup(cfg):
    sh('mount', '-t', 'tmpfs', '-o', 'mode=0755', 'zavopt', '/opt')
    os.makedirs(INSTALL)
    sh('mount', '--bind', cfg['install'], INSTALL)
    sh('mount', '--bind', cfg['run'], '/run')
    sh('mount', '--bind', cfg['unit_dir'], '/usr/lib/systemd/system')
    if cfg.get('mask_systemctl'):
        sh('mount', '--bind', cfg['mask_systemctl'], '/usr/bin/systemctl')


def reap():
    while True:
        try:
            pid, status = os.waitpid(-1, os.WNOHANG)
        except ChildProcessError:
            return
        if pid == 0:
            return
        EXITS[pid] = os.WEXITSTATUS(status) if os.WIFEXITED(status) else -os.WTERMSIG(status)


def proc_info(pid):
    """Session, process group, parent, caught-signal mask, umask, working
    folder and standard streams of a live process."""
    try:
        with open('/proc/%d/stat' % pid) as f:
            fields = f.read().rsplit(')', 1)[1].split()
        with open('/proc/%d/status' % pid) as f:
            status = dict(line.rstrip('\n').split(':\t', 1) for line in f if ':\t' in line)
    except (IOError, OSError, IndexError, ValueError):
        return {'alive': False}
    def link(name):
        try:
            return os.readlink('/proc/%d/%s' % (pid, name))
        except OSError:
            return None
    return {'alive': fields[0] != 'Z', 'ppid': int(fields[1]), 'pgrp': int(fields[2]),
            'session': int(fields[3]), 'sigcgt': int(status.get('SigCgt', '0'), 16),
            'umask': int(status.get('Umask', '-1'), 8), 'cwd': link('cwd'),
            'streams': [link('fd/%d' % n) for n in range(3)]}


def comm_pids(name):
    pids = []
    for d in os.listdir('/proc'):
        if not d.isdigit():
            continue
        try:
            with open('/proc/%s/comm' % d) as f:
                if f.read().strip() != name:
                    continue
            with open('/proc/%s/stat' % d) as f:
                if f.read().rsplit(')', 1)[1].split()[0] == 'Z':
                    continue
        except (IOError, OSError, IndexError):
            continue
        pids.append(int(d))
    return sorted(pids)


def handle(cmd, children):
    op = cmd['op']
    if op == 'run':
        env = dict(ENV)
        env.update(cmd.get('env', {}))
        # Files, not pipes: a child forked under systemd keeps the launcher's
        # streams open, and waiting for their end would wait for the child.
        with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
            umask = cmd.get('umask')
            p = subprocess.Popen(cmd['argv'], env=env, cwd=cmd.get('cwd') or '/', stdin=subprocess.DEVNULL,
                                 stdout=out, stderr=err,
                                 preexec_fn=None if umask is None else (lambda: os.umask(umask)))
            try:
                p.wait(timeout=cmd.get('timeout', 60))
            except subprocess.TimeoutExpired:
                p.kill()
                p.wait()
                return {'rc': None, 'timeout': True}
            out.seek(0)
            err.seek(0)
            return {'rc': p.returncode, 'stdout': out.read().decode('utf-8', 'replace'),
                    'stderr': err.read().decode('utf-8', 'replace')}
    if op == 'spawn':
        env = dict(ENV)
        env.update(cmd.get('env', {}))
        p = subprocess.Popen(cmd['argv'], env=env, cwd='/', stdin=subprocess.DEVNULL,
                             stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        children[p.pid] = p
        return {'pid': p.pid}
    if op == 'pids':
        reap()
        return {'pids': comm_pids(cmd['name'])}
    if op == 'kill':
        try:
            os.kill(cmd['pid'], cmd.get('sig', signal.SIGTERM))
            return {'ok': True}
        except OSError as e:
            return {'ok': False, 'error': str(e)}
    if op == 'wait_gone':
        deadline = time.time() + cmd.get('timeout', 30)
        while time.time() < deadline:
            reap()
            if not comm_pids(cmd['name']):
                return {'gone': True}
            time.sleep(0.05)
        return {'gone': False}
    if op == 'exits':
        reap()
        return {'exits': [[pid, code] for pid, code in sorted(EXITS.items())]}
    if op == 'proc':
        return proc_info(cmd['pid'])
    if op == 'threads':
        try:
            return {'threads': len(os.listdir('/proc/%d/task' % cmd['pid']))}
        except OSError:
            return {'threads': 0}
    raise ValueError('unknown op %r' % op)


def main():
    cfg = json.loads(sys.argv[1])
    setup(cfg)
    children = {}
    sys.stdout.write(json.dumps({'ready': True}) + '\n')
    sys.stdout.flush()
    for line in sys.stdin:
        line = line.strip()
        if not line:
            continue
        try:
            reply = handle(json.loads(line), children)
        except Exception as e:  # the reply carries the failure to the test
            reply = {'error': repr(e)}
        sys.stdout.write(json.dumps(reply) + '\n')
        sys.stdout.flush()
    for pid in comm_pids('ZAVsmsrv') + comm_pids('ZAVntserver'):
        try:
            os.kill(pid, signal.SIGKILL)
        except OSError:
            pass


if __name__ == '__main__':
    main()
