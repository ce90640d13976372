"""Start modes and exit statuses of the launched daemon: classic start (no
unit file, or a unit file but no executable systemctl) with its single-instance
test, start under systemd (the parent records the child and a second instance
is allowed), a missing core daemon and a PID file that cannot be written.
"""
import os
import re
import time
import unittest

from zavsandbox import open_sandbox

# The launcher runs with these, so that what the daemon changes shows.
LAUNCH_UMASK = 0o077
LAUNCH_DIR = '/tmp'


def launch(sb):
    return sb.start(umask=LAUNCH_UMASK, cwd=LAUNCH_DIR)


class StartModes(unittest.TestCase):
    def wait_pidfile(self, sb, timeout=10):
        deadline = time.time() + timeout
        while time.time() < deadline:
            data = sb.pidfile()
            if data and re.match(br'^[0-9]+$', data) and int(data) in sb.pids():
                return data
            time.sleep(0.02)
        self.fail('no PID file naming a running daemon: %r, running %r' % (sb.pidfile(), sb.pids()))

    def assert_pid_file_names(self, sb, data, pid):
        self.assertRegex(data, br'^[0-9]+$', 'the PID file holds digits only, no line end')
        self.assertEqual(pid, int(data))

    def assert_detached(self, sb, pid):
        info = sb.process(pid)
        self.assertEqual(pid, info['session'], 'a classic start detaches into its own session')
        self.assertEqual(0o022, info['umask'])
        self.assertEqual('/', info['cwd'])
        self.assertEqual(['/dev/null'] * 3, info['streams'])

    def assert_not_detached(self, sb, pid):
        info = sb.process(pid)
        self.assertNotEqual(pid, info['session'], 'under systemd the child keeps its session')
        self.assertEqual(LAUNCH_UMASK, info['umask'], 'under systemd the child keeps its umask')
        self.assertEqual(LAUNCH_DIR, info['cwd'])
        self.assertNotIn('/dev/null', info['streams'][1:], 'under systemd the child keeps its streams')

    def stop_all(self, sb, pids):
        self.assertTrue(sb.stop(), 'the daemon did not stop on SIGTERM')
        for pid in pids:
            self.assertEqual(0, sb.wait_exit(pid), 'exit status of daemon %d' % pid)

    def test_classic_start_records_its_pid_and_refuses_a_second_instance(self):
        with open_sandbox(self) as sb:
            sb.preset()
            sb.start_core()
            with open(os.path.join(sb.run_dir, 'ZAVsmsrv.pid'), 'w') as f:
                f.write('987654321\n')  # left by an earlier run: replaced, not overwritten in place
            self.assertEqual(0, launch(sb))
            data = self.wait_pidfile(sb)
            pids = sb.pids()
            self.assertEqual(1, len(pids), pids)
            pid = pids[0]
            self.assert_pid_file_names(sb, data, pid)
            self.assert_detached(sb, pid)
            self.assertTrue(sb.wait_log('Wait'))
            self.assertIn('PID=%02d' % pid, sb.oplog_messages())
            self.assertIn('Start loop.', sb.trace(), 'the trace must survive the closing of descriptors')

            self.assertEqual(7, launch(sb), 'a second classic start while one runs')
            self.assertEqual([pid], sb.pids())
            self.assertEqual(data, sb.pidfile(), 'the refused start leaves the PID file alone')
            self.assertEqual(1, sb.oplog_messages().count('Start'), 'the refused start must not run the service')
            self.assertIn('ZAVsmsrv is already running!', sb.trace())
            self.stop_all(sb, [pid])

    def test_start_without_core_daemon_exits_1(self):
        with open_sandbox(self) as sb:
            sb.preset()
            self.assertEqual(1, launch(sb))
            self.assertEqual([], sb.pids())
            self.assertIsNone(sb.pidfile(), 'no PID file without the core daemon')
            self.assertEqual('', sb.oplog(), 'the service must not start without the core daemon')
            self.assertIn('ZAVntserver is not active!So ZAVsmsrv exit', sb.trace())

    def test_systemd_start_records_the_child_and_allows_a_second_instance(self):
        with open_sandbox(self, systemd=True) as sb:
            sb.preset()
            sb.start_core()
            self.assertEqual(0, launch(sb), 'the parent exits 0 once it has recorded the child')
            first = self.wait_pidfile(sb)
            pids = sb.pids()
            self.assertEqual(1, len(pids), pids)
            child = pids[0]
            self.assert_pid_file_names(sb, first, child)
            self.assert_not_detached(sb, child)
            self.assertIn('fork the child process success. Childpid is %d' % child, sb.trace())
            self.assertTrue(sb.wait_log('Wait'))

            self.assertEqual(0, launch(sb), 'under systemd a second instance is not refused')
            deadline = time.time() + 10
            while time.time() < deadline and len(sb.pids()) < 2:
                time.sleep(0.02)
            pids = sb.pids()
            self.assertEqual(2, len(pids), 'two daemons run: %r' % pids)
            second = [p for p in pids if p != child][0]
            deadline = time.time() + 10
            while time.time() < deadline and sb.pidfile() != str(second).encode():
                time.sleep(0.02)
            self.assert_pid_file_names(sb, sb.pidfile(), second)
            self.assertTrue(sb.wait_log('Wait', count=2))
            self.stop_all(sb, pids)

    def test_unit_file_without_executable_systemctl_starts_classic(self):
        with open_sandbox(self, mask_systemctl=True) as sb:
            self.assertTrue(os.path.exists(os.path.join(sb.unit_dir, 'ZAVsmsrv.service')))
            sb.preset()
            sb.start_core()
            self.assertEqual(0, launch(sb))
            data = self.wait_pidfile(sb)
            pid = sb.pids()[0]
            self.assert_pid_file_names(sb, data, pid)
            self.assert_detached(sb, pid)
            self.assertTrue(sb.wait_log('Wait'))
            self.assertEqual(7, launch(sb), 'the running-instance test applies in classic mode')
            self.assertEqual([pid], sb.pids())
            self.stop_all(sb, [pid])

    def test_unwritable_pid_file_ends_the_classic_daemon_with_status_3(self):
        with open_sandbox(self) as sb:
            sb.preset()
            core = sb.start_core()
            os.mkdir(os.path.join(sb.run_dir, 'ZAVsmsrv.pid'))
            # The launcher itself ends inside daemon() with 0; the detached
            # process is the one that meets the PID file.
            self.assertEqual(0, launch(sb))
            deadline = time.time() + 20
            ended = {}
            while time.time() < deadline:
                ended = dict((p, c) for p, c in sb.exits().items() if p != core)
                if ended and not sb.pids():
                    break
                time.sleep(0.05)
            self.assertEqual([], sb.pids(), 'the daemon must end without its PID file')
            self.assertEqual([3], list(ended.values()), 'exit status of the detached daemon')
            self.assertEqual('', sb.oplog(), 'the service must not start without its PID file')
            self.assertIn('Unable open pid file', sb.trace())

    def test_unwritable_pid_file_makes_the_systemd_parent_exit_3(self):
        with open_sandbox(self, systemd=True) as sb:
            sb.preset()
            sb.start_core()
            os.mkdir(os.path.join(sb.run_dir, 'ZAVsmsrv.pid'))
            self.assertEqual(3, launch(sb))
            self.assertIn('Unable open pid file', sb.trace())
            # The child does not depend on the parent's PID file; do not leave it running.
            if sb.daemon_pid(timeout=2):
                self.assertTrue(sb.wait_log('Wait'))
                self.assertTrue(sb.stop())


if __name__ == '__main__':
    unittest.main()
