"""The daemon with the installed controller module reading the SEL of a simulated IPMI controller on
loopback (the sandbox shares the host's network) with FreeIPMI's tools: a first start, a new target
entry reported, a poll with nothing new that runs one tool and reads no record, a clear, a restart that
reports what came while the service was down, and a controller that stops answering, which costs its
polls but never holds a stop beyond the module's deadline."""
import os
import time
import unittest

from zavipmisim import CPU_BIST, FAN_LOW, INLET_HOT, PASSWORD, USER, IpmiSim
from zavsandbox import INSTALL, open_sandbox

INI = ('[controller]\nbackend = ipmi\n[ipmi]\ndriver = lan\nhost = %s\nusername = %s\n'
       'password_file = ' + INSTALL + '/data/ipmi.secret\nworkaround_flags = opensesspriv\n'
       'ipmi_sel = ' + INSTALL + '/tools/ipmi-sel\ntimeout = 1\ndeadline = 4\n')
# The tools behind a wrapper that notes each run, so a test can count them.
WRAPPER = '#!/bin/sh\necho "$(basename "$0") $*" >> ' + INSTALL + '/log/tools.log\nexec /usr/sbin/$(basename "$0") "$@"\n'


class IpmiController(unittest.TestCase):
    def test_the_sel_flows_into_records_and_reports_and_a_silent_controller_never_holds_the_service(self):
        sim = IpmiSim([INLET_HOT])
        self.addCleanup(sim.close)
        sim.set_clock(int(time.time()))
        with open_sandbox(self) as sb:
            sb.preset(MonitorInterval=10)
            sb.write_conf('[00040102]\n[00076F02]\n')
            os.makedirs(sb.path('tools'))
            for tool in ('ipmi-sel', 'ipmi-raw'):
                with open(sb.path('tools/' + tool), 'w') as f:
                    f.write(WRAPPER)
                os.chmod(sb.path('tools/' + tool), 0o755)
            with open(sb.path('data/controller.ini'), 'w') as f:
                f.write(INI % (sim.host, USER))
            with open(sb.path('data/ipmi.secret'), 'w') as f:
                f.write(PASSWORD + '\n')
            os.chmod(sb.path('data/ipmi.secret'), 0o600)
            sb.start_core()

            def poll(count, change=lambda: None):  # the tool runs of the next poll after change
                runs = sb.read('log/tools.log').count('\n')
                change()
                self.assertTrue(sb.wait_log('Wait', count=count, timeout=30),
                                sb.oplog()[-1500:] + sb.read('log/zavsmctl.log'))
                return [line.split()[0] + (' range' if '--display-range' in line else '')
                        for line in sb.read('log/tools.log').splitlines()[runs:]]
            self.assertEqual(0, sb.start())
            self.assertEqual(['ipmi-raw', 'ipmi-raw', 'ipmi-sel', 'ipmi-sel'], poll(1))  # clock, info, the whole SEL
            self.assertEqual(['ipmi-raw', 'ipmi-raw', 'ipmi-sel range', 'ipmi-sel range'], poll(2, lambda: sim.add(FAN_LOW)))
            self.assertEqual(['ipmi-raw', 'ipmi-raw'], poll(3))               # nothing new: no record read
            self.assertEqual(['ipmi-raw', 'ipmi-raw', 'ipmi-sel', 'ipmi-sel'], poll(4, lambda: (sim.clear(), sim.add(CPU_BIST))))
            records = sb.datfile().decode().splitlines()
            self.assertEqual([(1, '01', '109', 'Inlet Temp Upper Critical - going high ; Sensor Reading = 50h ; '
                                                 'Threshold = 48h'),
                              (2, '04', '102', 'Fan 3 Lower Critical - going low ; Sensor Reading = 00h ; '
                                                 'Threshold = 00h'),
                              (3, '07', '6F02', 'CPU1 Status FRB1/BIST failure')],
                             [(int(r.split(',')[0]), r.split(',')[3], r.split(',')[4], r.split(',')[7]) for r in records])
            self.assertIn('the SEL was cleared', sb.read('log/zavsmctl.log'))
            self.assertEqual(['0xC0018402', '0xC06F8702'], [i['event_id'] for i in sb.indications()])

            self.assertTrue(sb.stop(timeout=20))
            sim.add(FAN_LOW)                                                  # while the service is down
            time.sleep(1.1)                                                   # and a whole second before its start
            self.assertEqual(0, sb.start())
            poll(5)
            self.assertEqual(4, len(sb.datfile().decode().splitlines()))
            self.assertEqual(3, len(sb.indications()))
            self.assertIn(sb.indications()[-1]['event_id'], ('0xC0000578', '0xC000057F'))  # a critical past report

            sim.pause()
            self.assertTrue(sb.wait_log('DateTime Status=503', timeout=30), sb.oplog()[-1500:])
            start = time.time()
            self.assertTrue(sb.daemon_pid(timeout=1) and sb.stop(timeout=20), 'the service must run, then stop')
            self.assertLess(time.time() - start, 4 + 3, 'a stop during a silent controller waits for the deadline')
            sim.resume()


if __name__ == '__main__':
    unittest.main()
