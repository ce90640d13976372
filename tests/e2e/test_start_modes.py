"""Start modes and exit statuses: a classic start (no unit file, or one but no executable systemctl)
detaches and refuses a second instance; under systemd the parent records the child and a second
instance is allowed; standalone (RequireCoreDaemon 0) needs no core daemon; otherwise no core daemon,
or an unwritable PID file, ends the start."""
import os
import re
import unittest

from zavsandbox import PARAMS, open_sandbox, wait_until


def launch(sb):
    return sb.start(umask=0o077, cwd='/tmp')  # so that what the daemon changes shows


class StartModes(unittest.TestCase):
    def test_classic_and_systemd_starts(self):
        for kw, classic, alone in (({}, True, False), ({'mask_systemctl': True}, True, False),
                                   ({'systemd': True}, False, False), ({}, True, True)):
            with self.subTest(kw=kw, standalone=alone), open_sandbox(self, **kw) as sb:
                sb.preset()
                if alone:
                    sb.set_reg(PARAMS, 'RequireCoreDaemon', 'dword', 0)
                else:
                    sb.start_core()
                with open(os.path.join(sb.run_dir, 'ZAVsmsrv.pid'), 'w') as f:
                    f.write('987654321\n')  # left by an earlier run
                self.assertEqual(0, launch(sb))
                named = lambda: re.match(br'^[0-9]+$', sb.pidfile() or b'') and int(sb.pidfile()) in sb.pids()
                self.assertTrue(wait_until(named, 10), 'no PID file naming the daemon: %r' % sb.pidfile())
                pid = int(sb.pidfile())
                self.assertEqual([pid], sb.pids())
                info = sb.process(pid)
                if classic:
                    self.assertEqual((pid, 0o022, '/', ['/dev/null'] * 3),
                                     (info['session'], info['umask'], info['cwd'], info['streams']))
                else:
                    self.assertEqual((0o077, '/tmp'), (info['umask'], info['cwd']), 'the child keeps these')
                    self.assertNotEqual(pid, info['session'])
                    self.assertIn('fork the child process success. Childpid is %d' % pid, sb.trace())
                self.assertTrue(sb.wait_log('Wait'))
                self.assertIn('RequireCoreDaemon=%d' % (not alone), sb.oplog_messages())
                self.assertIn('Start loop.', sb.trace(), 'the trace survives the closing of descriptors')
                if classic:
                    self.assertEqual(7, launch(sb), 'a second classic start while one runs')
                    self.assertEqual(([pid], 1), (sb.pids(), sb.oplog_messages().count('Start')))
                    self.assertIn('ZAVsmsrv is already running!', sb.trace())
                else:
                    self.assertEqual(0, launch(sb), 'under systemd a second instance is not refused')
                    self.assertTrue(wait_until(lambda: len(sb.pids()) == 2, 10))
                    self.assertTrue(sb.wait_log('Wait', count=2))
                pids = sb.pids()
                self.assertTrue(sb.stop())
                self.assertEqual([0] * len(pids), [sb.wait_exit(p) for p in pids])

    def test_failed_starts(self):
        # sandbox, core daemon, PID file a folder, RequireCoreDaemon file, status of the launcher, of the
        # detached daemon, why the setting was not taken
        for kw, core, blocked, value, status, detached, why in (
                ({}, False, False, None, 1, None, None), ({}, False, False, 'dword:1', 1, None, None),
                ({}, False, False, 'dword:2', 1, None, 'RequireCoreDaemon=2 is neither 0 nor 1'),
                ({}, False, False, 'sz:0', 1, None, 'RequireCoreDaemon is not a dword'),
                ({}, True, True, None, 0, 3, None), ({'systemd': True}, True, True, None, 3, None, None)):
            with self.subTest(kw=kw, core=core, value=value), open_sandbox(self, **kw) as sb:
                sb.preset()
                if value:
                    with open(sb.value_file(PARAMS, 'RequireCoreDaemon'), 'w') as f:
                        f.write(value)
                pid = sb.start_core() if core else None
                if blocked:
                    os.mkdir(os.path.join(sb.run_dir, 'ZAVsmsrv.pid'))
                self.assertEqual(status, launch(sb))
                if detached:
                    ended = lambda: [c for p, c in sb.exits().items() if p != pid and not sb.pids()]
                    self.assertEqual([detached], wait_until(ended, 20))
                    self.assertEqual('', sb.oplog(), 'the service must not start without its PID file')
                self.assertIn('Unable open pid file' if blocked else 'ZAVntserver is not active!So ZAVsmsrv exit',
                              sb.trace())
                told = [l for l in sb.trace().splitlines() if 'the core daemon is required' in l]
                self.assertEqual([bool(why)] * bool(why), [(why or '') in l for l in told], 'why the setting was not taken')
                if not core:
                    self.assertEqual(([], None, ''), (sb.pids(), sb.pidfile(), sb.oplog()))
                sb.stop()


if __name__ == '__main__':
    unittest.main()
