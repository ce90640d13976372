"""The service under the restrictions of its own systemd unit (read from the staged install, so the
same test runs the build's install and the Debian package's), reproduced in a mount namespace nested
in the sandbox: ProtectSystem=strict with its ReadWritePaths, ProtectKernelTunables, PrivateTmp,
PrivateDevices, MemoryDenyWriteExecute (PR_SET_MDWE), NoNewPrivileges and an empty
CapabilityBoundingSet (setpriv). The system-call filter, RestrictAddressFamilies and
RestrictNamespaces need the service manager and are not reproduced.
"""
import ctypes
import json
import os
import shutil
import subprocess
import sys
import unittest

from zavsandbox import INSTALL, PARAMS, Sandbox, stage_dir


def unit_settings(path):
    """[Service] settings: name -> values (an empty assignment resets)."""
    settings, section = {}, None
    with open(path) as f:
        lines = f.read().splitlines()
    for line in lines:
        name, _, value = line.strip().partition('=')
        if line.startswith('['):
            section = line.strip()
        elif section == '[Service]' and name and name[0] not in '#;':
            settings[name] = settings.get(name, []) + value.split() if value.strip() else []
    return settings


def mounts(mountinfo):
    return dict((l.split()[4], l.split()[5].split(',')) for l in mountinfo.splitlines())


def launch(settings):
    """In the nested namespace: applies the unit's settings, then becomes its ExecStart."""
    sh = lambda *argv: subprocess.check_call(list(argv))
    for name in ('ASAN_OPTIONS', 'LSAN_OPTIONS', 'TSAN_OPTIONS'):  # the private /tmp may hide suppression files
        opts = [o.split('=', 1) for o in os.environ.get(name, '').split(':') if o]
        for o in opts:
            if o[0] == 'suppressions':
                o[1] = shutil.copy(o[1], '/run/%s-%s' % (name, os.path.basename(o[1])))
        os.environ[name] = ':'.join('='.join(o) for o in opts)
    writable = [os.path.realpath(p) for p in settings['ReadWritePaths']]
    for path in writable:
        sh('mount', '--bind', path, path)
    with open('/proc/self/mountinfo') as f:
        points = list(mounts(f.read()))
    for point in points:
        if point not in writable and not any(point == t or point.startswith(t + '/') for t in ('/proc', '/dev')):
            sh('mount', '-o', 'remount,bind,ro', point)
    sh('mount', '--bind', '/proc/sys', '/proc/sys')
    sh('mount', '-o', 'remount,bind,ro', '/proc/sys')
    for path in ('/tmp', '/var/tmp'):
        sh('mount', '-t', 'tmpfs', '-o', 'mode=1777', 'private-tmp', path)
    sh('mount', '-t', 'tmpfs', '-o', 'mode=755,nosuid', 'private-dev', '/dev')
    for name, minor in (('null', 3), ('zero', 5), ('full', 7), ('random', 8), ('urandom', 9)):
        os.mknod('/dev/' + name, 0o20666, os.makedev(1, minor))
        os.chmod('/dev/' + name, 0o666)
    os.symlink('/run/systemd/journal/dev-log', '/dev/log')
    if ctypes.CDLL(None).prctl(65, 1, 0, 0, 0) != 0:  # PR_SET_MDWE, PR_MDWE_REFUSE_EXEC_GAIN
        sys.stderr.write('PR_SET_MDWE unavailable (kernel before 6.3): MemoryDenyWriteExecute not reproduced\n')
    os.execv('/usr/bin/setpriv', ['setpriv', '--no-new-privs', '--bounding-set=-all', '--inh-caps=-all'] +
             settings['ExecStart'])


class HardenedUnit(unittest.TestCase):
    def test_starts_polls_and_stops_in_the_units_sandbox(self):
        unit = os.path.join(stage_dir(), 'usr/lib/systemd/system/ZAVsmsrv.service')
        settings = unit_settings(unit)
        reproduced = dict((k, settings.get(k)) for k in ('ProtectSystem', 'ReadWritePaths', 'CapabilityBoundingSet',
                                                        'NoNewPrivileges', 'PrivateTmp', 'PrivateDevices'))
        self.assertEqual({'ProtectSystem': ['strict'], 'ReadWritePaths': [INSTALL + '/log', INSTALL + '/registry', '/run'],
                          'CapabilityBoundingSet': [], 'NoNewPrivileges': ['yes'], 'PrivateTmp': ['yes'],
                          'PrivateDevices': ['yes']}, reproduced, 'what this test reproduces is what the unit asks')
        with Sandbox(systemd=True) as sb:
            shutil.copy(unit, sb.unit_dir)
            sb.preset(MonitorInterval=10)
            sb.start_core()
            r = sb.run(['unshare', '--mount', '--propagation', 'private', sys.executable, os.path.abspath(__file__),
                        '--launch', json.dumps(settings)])
            self.assertEqual(0, r['rc'], r)
            self.assertTrue(sb.wait_log('Wait'), sb.oplog() + sb.trace())
            pid = sb.daemon_pid()
            self.assertEqual(sb.pidfile(), str(pid).encode())
            status = dict(l.split(':\t', 1) for l in sb.run(['cat', '/proc/%d/status' % pid])['stdout'].splitlines())
            seen = mounts(sb.run(['cat', '/proc/%d/mountinfo' % pid])['stdout'])
            self.assertEqual((0, 0, '1', 'ro', 'ro', 'rw', 'rw'), (
                int(status['CapEff'], 16), int(status['CapBnd'], 16), status['NoNewPrivs'].strip(), seen['/'][0],
                seen[INSTALL][0], seen[INSTALL + '/log'][0], seen[INSTALL + '/registry'][0]))
            self.assertTrue(sb.datfile() and sb.get_reg(PARAMS, 'ServiceStart') == 1, 'the poll wrote nothing')
            self.assertTrue(sb.stop())
            self.assertTrue(sb.oplog().endswith(',End\n\n') and ',Error,' not in sb.oplog(), sb.oplog())


if __name__ == '__main__':
    if sys.argv[1:2] == ['--launch']:
        launch(json.loads(sys.argv[2]))
    unittest.main()
