"""The demo's script: two runs of the daemon against the simulated controller, or with `ipmi` against a
simulated IPMI controller on loopback, read with the real protocol and tools."""
import os
import sys
import time

from zavsandbox import INSTALL, PARAMS, Sandbox


def entry(number, cls, code, severity, created, updated=None, repaired=0, message=u'', action=u''):
    return {'EventNumber': number, 'Class': cls, 'Code': code, 'Severity': severity, 'Repaired': repaired,
            'Created': created, 'Updated': updated or created, 'Message': message, 'RecommendedAction': action}


def show(title, text):
    print('\n--- %s ---' % title)
    print(text.rstrip('\n') if text.strip() else '(empty)')


def alerts(sb, seen):
    lines = []
    for ind in sb.indications()[seen:]:
        text = ind['strings'][1 if ind['count'] == 5 else 0] or ''
        lines.append('%s %s type %d strings %d\n    %s' % (ind['event_id'], ind['source'], ind['type'],
                                                        ind['count'], text.replace('\n', '\n    ')))
    return '\n'.join(lines)


def two_runs(sb, intro, arrive, restart, while_down):
    """What both demos show: a first start, arrive() after its first poll, a restart after while_down();
    the alerts of each run, the event data file and the operation log."""
    sb.set_reg(PARAMS, 'MonitorInterval', 'dword', 10)
    sb.set_reg(PARAMS, 'RequireCoreDaemon', 'dword', 0)  # standalone, as the Debian package installs it
    print('Standalone (RequireCoreDaemon 0): no core daemon runs.')
    print(intro)
    rc = sb.start()
    print('launcher exit status %s, PID file %r' % (rc, sb.pidfile()))
    sb.wait_log('Wait')
    arrive()
    sb.wait_log('Wait', count=2, timeout=40)
    first = len(sb.indications())
    show('alerts delivered (first run)', alerts(sb, 0))
    sb.stop()
    print('\n' + restart)
    while_down()
    sb.start()
    sb.wait_log('Wait', count=3, timeout=40)
    sb.stop()
    show('alerts delivered (second run)', alerts(sb, first))
    show('event data file log/zavsmsel.log', sb.datfile().decode('euc-jp', 'replace'))
    show('operation log log/zavsmflw.log', sb.oplog())


def simulated():
    log = [
        entry(1, 0x02, 0x0001, 'Informational', '2026-12-07T08:00:00', message=u'System power restored'),
        entry(2, 0x01, 0x0002, 'Critical', '2026-12-07T08:10:00', message=u'Fan 3 failed',
              action=u'Replace fan 3'),
    ]
    scenario = {'clock': '2026-12-07T09:00:00', 'entries': log}

    def arrive():
        log.append(entry(3, 0x23, 0x1A05, 'Warning', '2026-12-07T09:00:05', message=u'Temperature above threshold',
                         action=u'Check the air flow'))
        log.append(entry(4, 0x01, 0x0002, 'OK', '2026-12-07T09:00:07', repaired=1, message=u'Fan 3 replaced'))
        scenario['clock'] = '2026-12-07T09:00:10'
        sb.write_scenario(scenario)

    def while_down():
        log.append(entry(5, 0x01, 0x0002, 'Critical', '2026-12-07T09:00:30', message=u'Fan 4 failed',
                         action=u'Replace fan 4'))
        scenario['clock'] = '2026-12-07T09:01:00'
        sb.write_scenario(scenario)

    with Sandbox() as sb:
        sb.write_scenario(scenario)
        two_runs(sb, 'First start, empty registry. The controller already holds entries 1 and 2 (before the service '
                 'start:\nrecorded, not reported). Entries 3 and 4 arrive after the first poll.', arrive,
                 'Restart. Entry 5 was logged while the service was down: it goes out as a past report (0xC000057F,\n'
                 'message as the second of five strings). Entries 1 to 4 are not recorded or reported again.',
                 while_down)
        show('registry (service parameters)', sb.zavreg('list', PARAMS).stdout)
        show('metrics log/zavsmsrv.prom (the second run: counters start with each start)',
             sb.read('log/zavsmsrv.prom'))
        recorded = sb.datfile().count(b'\n')
        print('\nentries seen: %d, records written: %d, alerts: %d' % (len(log), recorded, len(sb.indications())))


IPMI_INI = ('[controller]\nbackend = ipmi\n[ipmi]\ndriver = lan\nhost = %s\nusername = %s\npassword_file = ' + INSTALL +
            '/data/ipmi.secret\nworkaround_flags = opensesspriv\ntimeout = 2\ndeadline = 10\n')


def ipmi():
    from zavipmisim import CPU_BIST, FAN_LOW, INLET_COOL, INLET_HOT, PASSWORD, USER, IpmiSim

    def while_down():
        sim.clear()
        sim.add(CPU_BIST)
        time.sleep(1.1)  # a whole second before the next start: a past report
    with IpmiSim([INLET_HOT]) as sim, Sandbox() as sb:
        sim.set_clock(int(time.time()))
        sb.write_conf('[00010109]\nf=Inlet too hot\n\n[00040102]\nf=Fan too slow\n\n[00076F02]\nf=CPU self-test failed\n')
        with open(sb.path('data/controller.ini'), 'w') as f:
            f.write(IPMI_INI % (sim.host, USER))
        with open(sb.path('data/ipmi.secret'), 'w') as f:
            f.write(PASSWORD + '\n')
        os.chmod(sb.path('data/ipmi.secret'), 0o600)
        two_runs(sb, 'An IPMI controller simulator (ipmi_sim) listens on %s; the module reads its SEL over IPMI 2.0\n'
                 'with ipmi-sel and ipmi-raw. First start, empty registry: the SEL already holds record 1 (an inlet\n'
                 'temperature event, before the service start: recorded, not reported). Records 2 and 3 arrive after\n'
                 'the first poll (ipmitool sel add).' % sim.host, lambda: sim.add(FAN_LOW, INLET_COOL),
                 'The SEL is cleared and record 4 (a processor self-test failure) is logged while the service is\n'
                 'down: it goes out as a past report. The module reads the whole SEL again after the clear.',
                 while_down)
        show('the module\'s reasons and milestones log/zavsmctl.log', sb.read('log/zavsmctl.log'))
        print('\nSEL records seen: 4, records written: %d, alerts: %d' % (sb.datfile().count(b'\n'),
                                                                      len(sb.indications())))


if __name__ == '__main__':
    ipmi() if sys.argv[1:] == ['ipmi'] else simulated()
