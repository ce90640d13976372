"""The demo's script: two runs of the daemon against the simulated controller."""

from zavsandbox import PARAMS, Sandbox


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


log = [
    entry(1, 0x02, 0x0001, 'Informational', '2026-12-07T08:00:00', message=u'System power restored'),
    entry(2, 0x01, 0x0002, 'Critical', '2026-12-07T08:10:00', message=u'Fan 3 failed',
          action=u'Replace fan 3'),
]
scenario = {'clock': '2026-12-07T09:00:00', 'entries': log}

with Sandbox() as sb:
    sb.set_reg(PARAMS, 'MonitorInterval', 'dword', 10)
    sb.write_scenario(scenario)
    sb.set_reg(PARAMS, 'RequireCoreDaemon', 'dword', 0)  # standalone, as the Debian package installs it
    print('Standalone (RequireCoreDaemon 0): no core daemon runs.')
    print('First start, empty registry. The controller already holds entries 1 and 2 (before the service start:')
    print('recorded, not reported). Entries 3 and 4 arrive after the first poll.')
    rc = sb.start()
    print('launcher exit status %s, PID file %r' % (rc, sb.pidfile()))
    sb.wait_log('Wait')
    log.append(entry(3, 0x23, 0x1A05, 'Warning', '2026-12-07T09:00:05', message=u'Temperature above threshold',
                     action=u'Check the air flow'))
    log.append(entry(4, 0x01, 0x0002, 'OK', '2026-12-07T09:00:07', repaired=1, message=u'Fan 3 replaced'))
    scenario['clock'] = '2026-12-07T09:00:10'
    sb.write_scenario(scenario)
    sb.wait_log('Wait', count=2, timeout=40)
    first = len(sb.indications())
    show('alerts delivered (first run)', alerts(sb, 0))
    sb.stop()

    print('\nRestart. Entry 5 was logged while the service was down: it goes out as a past report (0xC000057F,')
    print('message as the second of five strings). Entries 1 to 4 are not recorded or reported again.')
    log.append(entry(5, 0x01, 0x0002, 'Critical', '2026-12-07T09:00:30', message=u'Fan 4 failed',
                     action=u'Replace fan 4'))
    scenario['clock'] = '2026-12-07T09:01:00'
    sb.write_scenario(scenario)
    sb.start()
    sb.wait_log('Wait', count=3, timeout=40)
    sb.stop()
    show('alerts delivered (second run)', alerts(sb, first))
    show('event data file log/zavsmsel.log', sb.datfile().decode('euc-jp', 'replace'))
    show('operation log log/zavsmflw.log', sb.oplog())
    show('registry (service parameters)', sb.zavreg('list', PARAMS).stdout)
    recorded = sb.datfile().count(b'\n')
    print('\nentries seen: %d, records written: %d, alerts: %d' % (len(log), recorded, len(sb.indications())))
