"""The service under the sandbox of its own systemd unit.

The unit is read from the staged install (ZAV_STAGE), so the same test runs
the build's install and one installed from the Debian package. Its settings
are reproduced in a mount namespace nested in the test sandbox:
ProtectSystem=strict (every mount read-only but /proc, /dev and the
ReadWritePaths, so home folders too), ProtectHome=yes (empty home folders),
PrivateTmp, PrivateDevices (a /dev of pseudo devices), ProtectKernelTunables
(/proc/sys read-only), CapabilityBoundingSet and NoNewPrivileges (setpriv),
MemoryDenyWriteExecute (the kernel's PR_SET_MDWE). Not reproduced: the
system-call filter, RestrictAddressFamilies and RestrictNamespaces
(seccomp), which need the service manager.
"""
import ctypes
import json
import os
import shutil
import subprocess
import sys
import unittest

from zavsandbox import PARAMS, Sandbox, stage_dir

UNIT = 'usr/lib/systemd/system/ZAVsmsrv.service'
INSTALL = '/opt/kym/tolvex_sa'


def unit_settings(path):
    """[Service] settings as name -> list of values (an empty assignment resets)."""
    settings, section = {}, None
    with open(path) as f:
        for line in f:
            line = line.strip()
            if not line or line[0] in '#;':
                continue
            if line.startswith('['):
                section = line
                continue
            name, _, value = line.partition('=')
            if section == '[Service]':
                values = settings.setdefault(name.strip(), [])
                if not value.strip():
                    del values[:]
                values.extend(value.split())
    return settings


def mounts(mountinfo):
    """Mount point -> options, the last mount of a point winning."""
    out = {}
    for line in mountinfo.splitlines():
        fields = line.split()
        out[fields[4].replace('\\040', ' ')] = fields[5].split(',')
    return out


def keep_sanitizer_suppressions():
    """A sanitizer build reads its suppression files at run time; the private
    /tmp would hide a tree under /tmp, so they are read from /run instead."""
    for name in ('ASAN_OPTIONS', 'LSAN_OPTIONS', 'TSAN_OPTIONS', 'UBSAN_OPTIONS'):
        options = os.environ.get(name, '').split(':')
        for i, option in enumerate(options):
            if option.startswith('suppressions='):
                path = option.split('=', 1)[1]
                copy = '/run/%s-%s' % (name.lower(), os.path.basename(path))
                shutil.copyfile(path, copy)
                options[i] = 'suppressions=' + copy
        if name in os.environ:
            os.environ[name] = ':'.join(options)


def launch(settings):
    """Runs in the nested mount namespace: applies the unit's settings, then
    becomes the service's ExecStart."""
    def sh(*argv):
        subprocess.check_call(list(argv))
    keep_sanitizer_suppressions()
    writable = [os.path.realpath(p) for p in settings.get('ReadWritePaths', [])]
    for path in writable:
        sh('mount', '--bind', path, path)
    if settings.get('ProtectSystem') == ['strict']:
        with open('/proc/self/mountinfo') as f:
            points = list(mounts(f.read()))
        for point in points:
            if point in writable or any(point == top or point.startswith(top + '/')
                                        for top in ('/proc', '/dev')):
                continue
            sh('mount', '-o', 'remount,bind,ro', point)
    if settings.get('ProtectKernelTunables') == ['yes']:
        sh('mount', '--bind', '/proc/sys', '/proc/sys')
        sh('mount', '-o', 'remount,bind,ro', '/proc/sys')
    if settings.get('ProtectHome') in (['yes'], ['tmpfs']):
        for path in ('/home', '/root', '/run/user'):
            if os.path.isdir(path):
                sh('mount', '-t', 'tmpfs', '-o', 'ro,mode=755', 'protect-home', path)
    if settings.get('PrivateTmp') == ['yes']:
        for path in ('/tmp', '/var/tmp'):
            sh('mount', '-t', 'tmpfs', '-o', 'mode=1777', 'private-tmp', path)
    if settings.get('PrivateDevices') == ['yes']:
        sh('mount', '-t', 'tmpfs', '-o', 'mode=755,nosuid', 'private-dev', '/dev')
        for name, major, minor in (('null', 1, 3), ('zero', 1, 5), ('full', 1, 7),
                                   ('random', 1, 8), ('urandom', 1, 9), ('tty', 5, 0)):
            os.mknod('/dev/' + name, 0o20666, os.makedev(major, minor))
            os.chmod('/dev/' + name, 0o666)
        for name, target in (('fd', '/proc/self/fd'), ('stdin', '/proc/self/fd/0'),
                             ('stdout', '/proc/self/fd/1'), ('stderr', '/proc/self/fd/2'),
                             ('log', '/run/systemd/journal/dev-log')):
            os.symlink(target, '/dev/' + name)
    if settings.get('MemoryDenyWriteExecute') == ['yes']:
        libc = ctypes.CDLL(None, use_errno=True)
        if libc.prctl(65, 1, 0, 0, 0) != 0:  # PR_SET_MDWE, PR_MDWE_REFUSE_EXEC_GAIN
            sys.stderr.write('PR_SET_MDWE unavailable (kernel before 6.3): '
                             'MemoryDenyWriteExecute not reproduced\n')
    argv = ['setpriv']
    if settings.get('NoNewPrivileges') == ['yes']:
        argv.append('--no-new-privs')
    if 'CapabilityBoundingSet' in settings:
        caps = ''.join(',+' + c.lower().replace('cap_', '', 1) for c in settings['CapabilityBoundingSet'])
        argv += ['--bounding-set=-all' + caps, '--inh-caps=-all']
    os.execv('/usr/bin/setpriv', argv + settings['ExecStart'])


class HardenedUnit(unittest.TestCase):
    def test_starts_polls_and_stops_in_the_units_sandbox(self):
        unit = os.path.join(stage_dir(), UNIT)
        settings = unit_settings(unit)
        # What this test reproduces must be what the unit asks for.
        self.assertEqual(settings['ProtectSystem'], ['strict'])
        self.assertEqual(sorted(settings['ReadWritePaths']),
                         [INSTALL + '/log', INSTALL + '/registry', '/run'])
        self.assertEqual(settings['CapabilityBoundingSet'], [])
        with Sandbox(systemd=True) as sb:
            with open(unit) as src, open(os.path.join(sb.unit_dir, 'ZAVsmsrv.service'), 'w') as dst:
                dst.write(src.read())
            sb.preset(MonitorInterval=10)
            sb.start_core()
            r = sb.run(['unshare', '--mount', '--propagation', 'private', sys.executable,
                        os.path.abspath(__file__), '--launch', json.dumps(settings)])
            self.assertEqual(r['rc'], 0, r)
            self.assertTrue(sb.wait_log('Wait'), sb.oplog() + sb.trace())
            pid = sb.daemon_pid()
            self.assertEqual(sb.pidfile(), str(pid).encode())

            status = sb.run(['cat', '/proc/%d/status' % pid])['stdout']
            fields = dict(l.split(':\t', 1) for l in status.splitlines() if ':\t' in l)
            self.assertEqual(int(fields['CapEff'], 16), 0)
            self.assertEqual(int(fields['CapBnd'], 16), 0)
            self.assertEqual(fields['NoNewPrivs'].strip(), '1')
            seen = mounts(sb.run(['cat', '/proc/%d/mountinfo' % pid])['stdout'])
            self.assertIn('ro', seen['/'])
            self.assertIn('ro', seen[INSTALL])
            self.assertIn('rw', seen[INSTALL + '/log'])
            self.assertIn('rw', seen[INSTALL + '/registry'])

            # The poll wrote its records and its registry values.
            self.assertTrue(sb.datfile())
            self.assertEqual(sb.get_reg(PARAMS, 'ServiceStart'), 1)
            self.assertTrue(sb.stop())
            log = sb.oplog()
        self.assertTrue(log.endswith(',End\n\n'), log)
        self.assertNotIn(',Error,', log)


if __name__ == '__main__':
    if len(sys.argv) == 3 and sys.argv[1] == '--launch':
        launch(json.loads(sys.argv[2]))
    unittest.main()
