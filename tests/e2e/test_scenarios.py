"""End-to-end scenarios: the installed daemon in the sandbox against the simulated controller.

A scenario is a set-up and steps. A step changes the controller (clock, entries, a failing status),
files or the registry, starts the daemon, lets it poll again or sends SIGTERM at a chosen moment, and
checks what the step added: data-file records (whole lines, or numbers), alerts ('ID', or 'ID/5' for
five strings, with the whole message of some), operation-log lines, registry values. A step with no
error line among its expected lines must leave none in the log. A step naming entry states first runs
zavsmcheck, which must change no file and announce exactly what the daemon then records and reports.
"""
import ctypes
import json
import os
import shutil
import socket
import subprocess
import sys
import time
import unittest
import urllib.request

import zavsandbox
from zavsandbox import INSTALL, PARAMS, TABLE, open_sandbox, stage_dir, wait_until

DAY = '2026-12-07'
STATE = ('CheckedTime', 'ServiceStart', 'ReadEventNumber', 'ReadCreated', 'ReadUpdated', 'ReadEventClass',
         'ReadEventCode', 'ReadRepaired')
END = ['[CloseHandle],Debug,ServerStopEvent', '[CloseHandle],Debug,ExitThreadEvent',
       '[FreeLibrary],Debug,ReportLib', 'End', '', '']


def E(n, cls, code, sev, created, updated=0, msg=None, act=u'', rep=0):
    """A controller entry on DAY; updated 0: as created, None: left out."""
    at = lambda t: t if t is None or 'T' in t else DAY + 'T' + t
    return {'EventNumber': n, 'Class': cls, 'Code': code, 'Severity': sev, 'Repaired': rep, 'Created': at(created),
            'Updated': at(created if updated == 0 else updated), 'Message': msg or u'entry %d' % n,
            'RecommendedAction': act}


def msg(updated, cls, code, status, text, action=''):
    return ('Date : %s %s\nEvent Class : %s\nEvent Code : %s\nStatus : %s\nDescription : %s\n' % (
        DAY, updated, cls, code, status, text)) + ('Recommended Action : ' + action if action else '')


def euc(text):
    return text.encode('euc_jp')


def jmsg(head, updated, cls, code, status, text, action=u''):
    out = (euc(head) + b'\n' if head else b'') + euc(u'日時 : ') + (DAY + ' ' + updated).encode()
    out += b'\nEvent Class : ' + cls + b'\nEvent Code : ' + code + b'\n' + euc(u'状態 : ') + status + b'\n'
    return out + euc(u'詳細 : ') + euc(text) + b'\n' + (euc(u'対処 : ') + euc(action) if action else b'')


FIRST = [E(1, 1, 2, 'Critical', '04:00:00', msg=u'Fan 1 failed', act=u'Replace fan 1'),
         E(2, 2, 1, 'Informational', '05:00:00', msg=u'Power restored'),
         E(3, 1, 2, 'Warning', '04:59:00', '05:00:00', u'Fan 2 slow', u'Check fan 2'),
         E(4, 0x23, 0x1A05, 'Warning', '05:00:10.250', msg=u'Temperature high'),
         E(5, 1, 2, 'OK', '04:00:00', '05:00:15', u'Fan 1 replaced', u'Nothing to do', rep=1),
         E(6, 1, 2, 'critical', '05:00:16', msg=u'Odd severity', act=u'None'),
         E(7, 1, 2, 'Critical', '05:00:20', None, u'No update time', u'Look'),
         E(123, 0x7F, 0xFFFF, 'OK', '05:00:30', msg=u'Newest')]
FIRST_RECORDS = [
    '01,0,Critical,01,02,2026-12-07 04:00:00,2026-12-07 04:00:00,Fan 1 failed,Replace fan 1,',
    '02,0,Informational,02,01,2026-12-07 05:00:00,2026-12-07 05:00:00,Power restored,,',
    '03,0,Warning,01,02,2026-12-07 05:00:00,2026-12-07 04:59:00,Fan 2 slow,Check fan 2,',
    '04,0,Warning,23,1A05,2026-12-07 05:00:10,2026-12-07 05:00:10,Temperature high,,',
    '05,1,OK,01,02,2026-12-07 05:00:15,2026-12-07 04:00:00,Fan 1 replaced,Nothing to do,',
    '06,0,critical,01,02,2026-12-07 05:00:16,2026-12-07 05:00:16,Odd severity,None,',
    '07,0,Critical,01,02,,2026-12-07 05:00:20,No update time,Look,',
    '123,0,OK,7F,FFFF,2026-12-07 05:00:30,2026-12-07 05:00:30,Newest,,']
FIRST_REPORTS = ['0x80008102', '0x801AA305', '0x40008102']
FIRST_MESSAGES = {0: msg('05:00:00', '0x01', '0x02', 'Warning', 'Fan 2 slow', 'Check fan 2'),
                  2: msg('05:00:15', '0x01', '0x02', 'Repaired', 'Fan 1 replaced')}

R1 = [E(1, 1, 2, 'OK', '04:00:00'), E(2, 1, 2, 'Critical', '04:10:00', act=u'Replace fan 2'),
      E(3, 1, 2, 'Warning', '04:20:00'), E(4, 1, 2, 'Critical', '04:25:00'),
      E(5, 0x23, 0x1A05, 'Warning', '04:30:00', '05:00:00')]
# Down from 05:00 to 06:00: entries 1-3 updated (3 exactly at the checked time), 6-8 new before the start, 9 after.
R2 = [dict(R1[0], Updated=DAY + 'T05:20:00'), dict(R1[1], Updated=DAY + 'T05:30:00'),
      dict(R1[2], Updated=DAY + 'T05:00:00'), R1[3], R1[4],
      E(6, 0x23, 0x1A05, 'Warning', '05:50:00'), E(7, 0x23, 0x1A05, 'Critical', '05:51:00'),
      E(8, 0x23, 0x1A05, 'OK', '05:52:00', rep=1), E(9, 1, 2, 'Critical', '06:00:05')]
R3 = R2[:4] + [dict(R2[4], Updated=DAY + 'T06:00:10')] + R2[5:] + [E(10, 1, 2, 'Warning', '05:58:00')]
R4 = R3[:-1] + [dict(R3[-1], Updated=DAY + 'T06:00:30', Severity='Critical')]
HALVERN = [('801AA305', 2), ('C01AA305', 0), ('401AA305', 3)]  # remote-routed at these alive levels

JCONF = (b'# headlines\n[00010002]\nf=' + euc(u'ファン故障') + b'\nw=' + euc(u'ファン低下') + b'\ni=' +
         euc(u'ファン回復') + b'\n\n[00231A05]\n')
JA = [E(1, 1, 2, 'Critical', '05:00:01', msg=u'ファン1が故障しました', act=u'ファン1を交換してください'),
      E(2, 1, 2, 'Warning', '05:00:02', msg=u'ファン2が低下しました'),
      E(3, 1, 2, 'OK', '05:00:03', msg=u'ファン1が回復しました', rep=1),
      E(4, 0x23, 0x1A05, 'Warning', '05:00:05', msg=u'温度が上昇しました', act=u'空調を確認してください')]

GOOD = [E(1, 1, 2, 'Critical', '04:00:00'), E(2, 1, 2, 'Critical', '05:00:05')]
LATER = {'clock': '06:00:00', 'entries': GOOD + [E(3, 1, 2, 'Critical', '05:30:00')], 'same_state': True}
STOPPED_EARLY = {'clock': '05:00:00', 'entries': GOOD, 'records': [], 'reports': [], 'absent': ['Check'],
                 'reg': dict((n, None) for n in STATE), 'log': ['[ZavMonitoringThread],Start'],
                 'tail': ['[ZavMonitoringThread],End', 'End', '', '']}
CALL = 'zavsmsrv_controller_calls_total{call="%s",status="%s"}'
ALERT = 'zavsmsrv_alerts_total{kind="%s",severity="%s"}'
METRICS_AT_START = dict(
    [(ALERT % (k, v), '0') for k in ('current', 'past') for v in ('critical', 'warning', 'ok', 'repaired')],
    zavsmsrv_poll_success='0', zavsmsrv_controller_entries='0', zavsmsrv_entries_recorded_total='0',
    **{CALL % ('get_datetime', '200'): '0', CALL % ('get_iml', '200'): '0'})
MODULE = 'bin/zavsmsrv.py'
PARAMS_DIR = 'registry/HKEY_LOCAL_MACHINE/SYSTEM/CURRENTCONTROLSET/SERVICES/ZAVSYSTEMMANAGEMENTSERVICE/PARAMETERS'
INST = '/opt/kym/tolvex_sa/'


def ends(conf, tail=(), log=(), files=None, reports=(), messages=None):
    """A start-up failure: the service ends by itself with status 0, before any poll."""
    return {'preset': {'LogLevel': 5}, 'conf': conf,
            'steps': [{'ends': True, 'files': files or {}, 'tail': list(tail), 'log': list(log), 'reports': list(reports),
                       'messages': messages or {}, 'absent': ['[ZavMonitoringThread],Start', 'Check']}]}


def bad_conf(conf, line, text):
    return ends(conf, tail=['[GetTargetEventInfo],Error,' + line] + END, reports=['0xC000238D'], messages={0: text})


SCENARIOS = {
    'first_start_records_everything_and_reports_what_follows_the_service_start': {
        'preset': None, 'conf': '[00010002]\n[00231A05]\n',
        'steps': [{'clock': '05:00:00.500', 'entries': FIRST, 'states': 'new ' * 8, 'records': FIRST_RECORDS, 'reports': FIRST_REPORTS,
                   'messages': FIRST_MESSAGES,
                   'reg': {'ReadEventNumber': 123, 'ReadCreated': DAY + ' 05:00:30', 'ReadUpdated': DAY + ' 05:00:30',
                           'ReadEventClass': 0x7F, 'ReadEventCode': 0xFFFF, 'ReadRepaired': 0,
                           'CheckedTime': DAY + ' 05:00:00', 'ServiceStart': 1},
                   'log': ['Cycle=30000', 'JP=00', '[GetServiceStart],00', '[GetTargetEventInfo],01',
                           'StartTime=2026-12-07 05:00:00', '[SetServiceStart],OK']}]},
    'restart_reports_new_and_updated_entries_past_reports_first': {
        'preset': {'MonitorInterval': 10}, 'conf': '[00010002]\n[00231A05]\n', 'halvern': HALVERN,
        'steps': [
            {'clock': '05:00:00', 'entries': R1, 'states': 'new ' * 5, 'records': [1, 2, 3, 4, 5], 'reports': ['0x801AA305']},
            {'clock': '06:00:00', 'entries': R2, 'keep': True, 'states': 'updated ' * 3 + 'checked ' * 2 + 'new ' * 4,
             'records': [
                '01,0,OK,01,02,2026-12-07 05:20:00,2026-12-07 04:00:00,entry 1,,',
                '02,0,Critical,01,02,2026-12-07 05:30:00,2026-12-07 04:10:00,entry 2,Replace fan 2,', 3, 6, 7,
                '08,1,OK,23,1A05,2026-12-07 05:52:00,2026-12-07 05:52:00,entry 8,,', 9],
             'reports': ['0x40000581/5', '0xC000057F/5', '0x80000580/5', '0x80000579/5', '0xC0000578/5',
                         '0x40000585/5', '0xC0008102'],
             'messages': {1: msg('05:30:00', '0x01', '0x02', 'Critical', 'entry 2', 'Replace fan 2'),
                          5: msg('05:52:00', '0x23', '0x1A05', 'Repaired', 'entry 8'),
                          6: msg('06:00:05', '0x01', '0x02', 'Critical', 'entry 9')},
             'reg': {'ReadEventNumber': 9, 'CheckedTime': DAY + ' 06:00:00'}},
            {'clock': '06:00:20', 'entries': R3, 'records': [5, 10], 'states': 'checked ' * 4 + 'updated ' + 'checked ' * 4 + 'new',
             'reports': ['0x801AA305', '0x80008102'], 'reg': {'ReadEventNumber': 10}},
            # Only the checked entry, the newest, changed: handled although it is not new.
            {'clock': '06:01:00', 'entries': R4, 'states': 'checked ' * 9 + 'updated',
             'records': ['10,0,Critical,01,02,2026-12-07 06:00:30,2026-12-07 05:58:00,entry 10,,'],
             'reports': ['0xC000057F/5'], 'reg': {'ReadUpdated': DAY + ' 06:00:30', 'CheckedTime': DAY + ' 06:01:00'}}]},
    'checked_entry_gone_falls_back_on_the_checked_time': {
        'conf': '[00010002]\n',
        'steps': [
            {'clock': '05:00:00', 'entries': [E(1, 1, 2, 'Critical', '04:00:00'), E(2, 1, 2, 'Warning', '04:10:00'),
                                              E(3, 1, 2, 'Critical', '04:30:00')], 'records': [1, 2, 3]},
            # Renumbered: old entries 2 and 3 are now 1 and 2; number 3 belongs to a new entry.
            {'clock': '05:10:00', 'entries': [E(1, 1, 2, 'Warning', '04:10:00'), E(2, 1, 2, 'Critical', '04:30:00'),
                                              E(3, 1, 2, 'Critical', '05:06:00'), E(4, 1, 2, 'Warning', '05:08:00')],
             'records': [3, 4], 'reports': ['0xC000057F/5', '0x80000580/5'], 'states': 'checked checked new new',
             'log': ['[SearchNewEventNumber],Match Event Not Found'], 'reg': {'ReadCreated': DAY + ' 05:08:00'}},
            # Cleared: numbering starts again.
            {'clock': '05:20:00', 'entries': [E(1, 2, 0x10, 'Informational', '05:15:00'),
                                              E(2, 1, 2, 'Critical', '05:16:00')],
             'records': [1, 2], 'reports': ['0xC000057F/5'], 'reg': {'ReadEventNumber': 2}, 'states': 'new new'},
            # No checked time either: the poll only stores its time, the next start falls back on it.
            {'delete': ['CheckedTime'], 'clock': '05:30:00', 'entries': [E(1, 1, 2, 'Critical', '05:25:00')],
             'records': [], 'reports': [], 'log': ['[SearchNewEventNumber],Checked Time Not Found'],
             'reg': {'ReadCreated': DAY + ' 05:16:00', 'CheckedTime': DAY + ' 05:30:00'}},
            {'clock': '05:40:00', 'entries': [E(1, 1, 2, 'Critical', '05:25:00'), E(2, 1, 2, 'Critical', '05:35:00')],
             'records': [2], 'reports': ['0xC000057F/5'], 'states': 'checked new'}]},
    'japanese_messages_lead_with_the_euc_jp_headline': {
        'preset': {'JapaneseMessage': 1}, 'conf': JCONF,
        'steps': [{'clock': '05:00:00', 'entries': JA, 'log': ['JP=01'],
                   'reports': ['0xC0008102', '0x80008102', '0x40008102', '0x801AA305'],
                   'records': [1, 2, 3, b'04,0,Warning,23,1A05,2026-12-07 05:00:05,2026-12-07 05:00:05,' +
                               euc(JA[3]['Message']) + b',' + euc(JA[3]['RecommendedAction']) + b','],
                   'messages': {0: jmsg(u'ファン故障', '05:00:01', b'0x01', b'0x02', b'Critical', JA[0]['Message'],
                                        JA[0]['RecommendedAction']),
                                1: jmsg(u'ファン低下', '05:00:02', b'0x01', b'0x02', b'Warning', JA[1]['Message']),
                                2: jmsg(u'ファン回復', '05:00:03', b'0x01', b'0x02', b'Repaired', JA[2]['Message']),
                                3: jmsg(None, '05:00:05', b'0x23', b'0x1A05', b'Warning', JA[3]['Message'],
                                        JA[3]['RecommendedAction'])}}]},
    'failed_polls_record_nothing_and_the_service_polls_on': {
        'preset': {'MonitorInterval': 10, 'LogLevel': 5}, 'conf': '[00010002]\n',
        'steps': [
            {'clock': '05:00:00', 'iml_status': 500, 'entries': GOOD, 'keep': True, 'records': [], 'reports': [],
             'log': ['[CallMethod],Error,Status=500'], 'reg': dict((n, None) for n in STATE)},
            # The service start is the clock of the first poll that read it: entry 2 is current.
            {'do': 'poll', 'clock': '05:00:10', 'entries': GOOD, 'records': [1, 2], 'reports': ['0xC0008102'],
             'reg': {'ServiceStart': 1, 'CheckedTime': DAY + ' 05:00:10'}, 'scrape': True, 'metrics': dict(
                 METRICS_AT_START, zavsmsrv_polls_total='2', zavsmsrv_poll_success='1',
                 zavsmsrv_controller_entries='2', zavsmsrv_checked_event_number='2',
                 zavsmsrv_entries_recorded_total='2', **{
                     CALL % ('get_datetime', '200'): '2', CALL % ('get_iml', '200'): '1',
                     CALL % ('get_iml', '500'): '1', ALERT % ('current', 'critical'): '1'})},
            # Counters start again with the service; a failed poll leaves no success time.
            dict(LATER, datetime_status=500, log=['[CallMethod],Error,DateTime Status=500'], metrics=dict(
                METRICS_AT_START, zavsmsrv_polls_total='1', zavsmsrv_poll_last_success_timestamp_seconds=None,
                **{CALL % ('get_datetime', '500'): '1', CALL % ('get_iml', '500'): None})),
            dict(LATER, files={MODULE: None}, log=['[PyImport_ImportModule],Error,NULL'], metrics=dict(
                METRICS_AT_START, zavsmsrv_polls_total='1', **{CALL % ('get_datetime', '200'): '0'})),
            dict(LATER, files={MODULE: 'def get_datetime(:\n'}, log=['[PyImport_ImportModule],Error,NULL'])]},
    'missing_definition_file_ends_the_service': bad_conf(None, 'File Open', 'Definition File(zavsmsrv.conf) Not Found'),
    'invalid_section_ends_the_service': bad_conf('[xyz]\n', 'Read=xyz Index = 00', 'Definition File(zavsmsrv.conf) Invalid'),
    'missing_report_library_ends_the_service': ends(
        '[00010002]\n', files={'lib/libstdalert.so': None}, reports=[], tail=[
            '[LoadReportFunc],Error,libstdalert.so', '[LoadReportFunc],Error,LoadReportFunc'] + END[:2] + END[3:]),
    'report_library_without_entry_ends_the_service': ends(
        '[00010002]\n', files={'lib/libstdalert.so': '/usr/lib/x86_64-linux-gnu/libm.so.6'},
        log=['[GetProcAddress],Error,SendIndication']),
    'operation_log_path_expands_the_install_folder': {
        'reg': [('SOFTWARE\\KYM\\ZAVAgent\\Log\\zavsmsrv', 'FilePath', 'expand_sz', '%ZavDir%/log/operation.log')],
        'oplog': 'log/operation.log',
        'steps': [{'clock': '05:00:00', 'entries': GOOD, 'records': [1, 2], 'log': ['ZavDir=/opt/kym/tolvex_sa']}]},
    'full_log_disk_loses_lines_not_state': {'steps': [
        {'sh': ['mount -t tmpfs -o size=64k zavfull %slog; cat /dev/zero > %slog/filler; true' % (INST, INST)],
         'clock': '10:00:00', 'entries': GOOD, 'do': 'until_checked', 'keep': True,
         'reg': {'CheckedTime': DAY + ' 10:00:00', 'ReadEventNumber': 2}},
        {'sh': ['rm %slog/filler' % INST], 'do': 'stop'}]},
    'read_only_data_file_is_logged_with_its_error': {'steps': [
        {'sh': ['touch {0}; mount --bind {0} {0}; mount -o remount,bind,ro {0}'.format(INST + 'log/zavsmsel.log')],
         'clock': '10:00:00', 'entries': GOOD, 'records': [], 'reg': {'ReadEventNumber': 2},
         'log': ['[WriteDat],Error,0x1E'] * 2}]},
    'planted_link_at_the_data_file_is_not_followed': {'steps': [
        {'sh': ['ln -s ../data/victim %slog/zavsmsel.log' % INST], 'clock': '10:00:00', 'entries': GOOD,
         'records': [], 'log': ['[WriteDat],Error,0x28'] * 2}]},
    'full_registry_logs_each_failed_store_and_polls_on': {'steps': [
        {'sh': ['mount -t tmpfs -o size=16k zavreg {0}{1}; printf "dword:1\\n" > {0}{1}/V_SERVICESTART; '
                'cat /dev/zero > {0}{1}/filler; true'.format(INST, PARAMS_DIR)],
         'clock': '10:00:00', 'entries': GOOD, 'records': [1, 2],
         'log': ['[SetCheckedImlInfo],Error,0x1C', '[SetCheckedTime],Error,0x1C']}]},
    'junk_registry_values_read_as_missing': {'steps': [
        {'clock': '10:00:00', 'entries': GOOD},
        {'junk': {'ReadEventNumber': b'dword:\xff\xfe\x00junk', 'CheckedTime': b'\x00\x01',
                  'MonitorInterval': b'dword:99999999999', 'ReadCreated': b''},
         'clock': '10:10:00', 'entries': GOOD, 'log': ['Cycle=30000'], 'reg': {'ReadEventNumber': 2}}]},
    'hardened_unit_restrictions_let_the_service_run': {'hardened': True, 'steps': [
        {'clock': '05:00:00', 'entries': GOOD, 'records': [1, 2], 'reg': {'ServiceStart': 1}, 'tail': ['End', '', '']}]},
    'sigterm_in_the_wait_closes_everything_in_order': {'preset': {'LogLevel': 5}, 'steps': [
        {'clock': '05:00:00', 'entries': GOOD, 'signals': 5, 'once': ['End'],
         'tail': ['Wait', '[ZavMonitoringThread],End', '[CloseHandle],Debug,MonitoringThread'] + END}]},
    'sigterm_in_the_longest_wait_ends_it_at_once': {'preset': {'MonitorInterval': 4294967}, 'steps': [
        {'clock': '05:00:00', 'entries': GOOD, 'linger': 2, 'log': ['Cycle=4294967000'], 'once': ['Check'],
         'tail': ['Wait', '[ZavMonitoringThread],End', 'End', '', ''], 'reg': {'CheckedTime': DAY + ' 05:00:00'}}]},
    'sigterm_before_the_stop_event_exists_stops_before_any_poll': {'preset': None, 'steps': [
        dict(STOPPED_EARLY, do='stop_at_handler')]},
    'sigterm_while_settings_are_read_stops_before_any_poll': {'preset': None, 'steps': [
        dict(STOPPED_EARLY, do='stop_at:Cycle=30000')]},
}


def snapshot(sb):
    out = {}
    for top in ('registry', 'log', 'data'):
        for folder, _, files in os.walk(sb.path(top)):
            for name in files:
                with open(os.path.join(folder, name), 'rb') as f:
                    out[os.path.join(folder, name)] = f.read()
    return out


def unit_settings():
    """[Service] settings of the staged unit: name -> values (an empty assignment resets)."""
    settings, section = {}, None
    with open(os.path.join(stage_dir(), 'usr/lib/systemd/system/ZAVsmsrv.service')) as f:
        for line in f.read().splitlines():
            name, _, value = line.strip().partition('=')
            if line.startswith('['):
                section = line.strip()
            elif section == '[Service]' and name and name[0] not in '#;':
                settings[name] = settings.get(name, []) + value.split() if value.strip() else []
    return settings


def mounts(mountinfo):
    return dict((l.split()[4], l.split()[5].split(',')) for l in mountinfo.splitlines())


def launch_hardened(settings):
    """In a nested mount namespace: the unit's ProtectSystem=strict with its ReadWritePaths,
    ProtectKernelTunables, PrivateTmp, its closed device policy (a private /dev of pseudo devices: the
    IPMI devices it allows are not reproduced), MemoryDenyWriteExecute (PR_SET_MDWE),
    NoNewPrivileges and empty CapabilityBoundingSet (setpriv); then its ExecStart. The system-call
    filter, RestrictAddressFamilies and RestrictNamespaces need the service manager."""
    sh = lambda *argv: subprocess.check_call(list(argv))
    for name in ('ASAN_OPTIONS', 'LSAN_OPTIONS', 'TSAN_OPTIONS'):  # the private /tmp may hide suppression files
        opts = [o.split('=', 1) for o in os.environ.get(name, '').split(':') if o]
        for o in opts:
            if o[0] == 'suppressions':
                o[1] = shutil.copy(o[1], '/run/%s-%s' % (name, os.path.basename(o[1])))
        os.environ[name] = ':'.join('='.join(o) for o in opts)
    writable = [os.path.realpath(p.lstrip('-')) for p in settings['ReadWritePaths']
                if not p.startswith('-') or os.path.exists(p[1:])]  # '-': ignored where missing
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


class Scenarios(unittest.TestCase):
    def setup(self, sb, sc):
        if sc.get('preset', {}) is not None:
            sb.preset(**sc.get('preset', {}))
        if sc.get('conf') is not None:
            sb.write_conf(sc['conf'])
        elif 'conf' in sc:
            os.remove(sb.path('data/zavsmsrv.conf'))
        for args in sc.get('reg', []):
            sb.set_reg(*args)
        for report_id, level in sc.get('halvern', []):
            for key in ('DESTINATIONSETTING\\ID_LIST\\HALVERNREPORT', 'EVENTSETTING'):
                sb.set_reg(TABLE + report_id + '\\' + key, None, None, None)
            sb.set_reg(TABLE + report_id + '\\EVENTSETTING', 'AliveLevel', 'dword', level)
        if sc.get('hardened'):
            shutil.copy(os.path.join(stage_dir(), 'usr/lib/systemd/system/ZAVsmsrv.service'), sb.unit_dir)
        if os.environ.get('ZAV_STANDALONE'):  # an installed package: no core daemon at all
            self.assertEqual(0, sb.get_reg(PARAMS, 'RequireCoreDaemon'), 'the package installs standalone')
            self.core = None
        else:
            self.core = sb.start_core()

    def change(self, sb, st):
        for rel, content in st.get('files', {}).items():
            if os.path.exists(sb.path(rel)):
                os.remove(sb.path(rel))
            shutil.rmtree(sb.path('bin/__pycache__'), True)  # a compiled copy would stand in for the module
            if os.path.exists(sb.path(MODULE + 'c')):
                os.remove(sb.path(MODULE + 'c'))
            if content and content.startswith('/'):
                shutil.copy(content, sb.path(rel))
            elif content:
                with open(sb.path(rel), 'w') as f:
                    f.write(content)
        for command in st.get('sh', []):
            self.assertEqual(0, sb.run(['sh', '-c', command])['rc'], command)
        for name in st.get('delete', []):
            sb.zavreg('delete', PARAMS, name)
        for name, junk in st.get('junk', {}).items():
            with open(sb.value_file(PARAMS, name), 'wb') as f:
                f.write(junk)
        scenario = dict((k, st[k]) for k in ('iml_status', 'datetime_status') if k in st)
        scenario.update(clock=DAY + 'T' + st.get('clock', '05:00:00'), entries=st.get('entries', []))
        sb.write_scenario(scenario)

    def state(self, sb):
        return sb.datfile(), sb.indications(), [sb.get_reg(PARAMS, n) for n in STATE]

    def step(self, sb, sc, st, running):
        """Runs one step; whether the daemon is still running after it."""
        self.change(sb, st)
        oplog = sc.get('oplog', 'log/zavsmflw.log')
        messages = lambda: [l[20:] for l in sb.read(oplog, 'rb').decode('latin-1').split('\n')]
        log0, dat0, ind0, before = len(messages()) - 1, len(sb.datfile().splitlines()), len(sb.indications()), \
            self.state(sb)
        waits = messages().count('Wait') + 1
        if 'states' in st:  # zavsmcheck first: it changes no file and announces what the daemon then does
            files = snapshot(sb)
            r = sb.run([INSTALL + '/bin/zavsmcheck', '--json', 'poll'], timeout=120)
            rows = [json.loads(l) for l in r['stdout'].splitlines()][:-1]
            self.assertEqual((0, files, st['states'].split()), (r['rc'], snapshot(sb), [x['state'] for x in rows]))
        if sc.get('hardened') and not running:
            settings = unit_settings()
            self.assertEqual((['strict'], [INSTALL + '/log', INSTALL + '/registry', '/run',
                                           '-/var/lib/prometheus/node-exporter'], [], ['yes']),
                             (settings['ProtectSystem'], settings['ReadWritePaths'], settings['CapabilityBoundingSet'],
                              settings['NoNewPrivileges']), 'what this test reproduces is what the unit asks')
            r = sb.run(['unshare', '--mount', '--propagation', 'private', 'env', 'PYTHONPATH=' + os.path.dirname(
                zavsandbox.__file__), sys.executable, os.path.abspath(__file__), '--launch', json.dumps(settings)])
            self.assertEqual(0, r['rc'], r)
        elif not running:
            self.assertEqual(0, sb.start())
        do = st.get('do', 'poll')
        if st.get('ends'):
            ended = lambda: [c for p, c in sb.exits().items() if p != self.core and not sb.pids()]
            self.assertEqual([0], wait_until(ended, 30), 'the service must end by itself with status 0')
        elif do == 'stop_at_handler':  # SIGTERM caught, before the first log line
            pid = sb.daemon_pid()
            self.assertTrue(wait_until(lambda: sb.process(pid)['sigcgt'] & (1 << 14), 10, 0.002))
            self.assertEqual([''], messages(), 'too late: the service has written its first line')
        elif do.startswith('stop_at:'):
            pid = sb.daemon_pid()
            self.assertTrue(wait_until(lambda: do[8:] in messages(), 60, 0.002))
            self.assertNotIn('[ZavMonitoringThread],Start', messages(), 'too late: the thread runs')
        elif do == 'until_checked':  # the log may be lost
            self.assertTrue(wait_until(lambda: sb.get_reg(PARAMS, 'CheckedTime'), 60), 'no poll')
        elif do == 'poll':
            self.assertTrue(wait_until(lambda: messages().count('Wait') >= waits, 60), 'no poll: %s' % messages())
        time.sleep(st.get('linger', 0))
        if sc.get('hardened'):
            pid = sb.daemon_pid()
            status = dict(l.split(':\t', 1) for l in sb.run(['cat', '/proc/%d/status' % pid])['stdout'].splitlines())
            seen = mounts(sb.run(['cat', '/proc/%d/mountinfo' % pid])['stdout'])
            self.assertEqual((0, 0, '1', 'ro', 'ro', 'rw', 'rw', str(pid).encode()), (
                int(status['CapEff'], 16), int(status['CapBnd'], 16), status['NoNewPrivs'].strip(), seen['/'][0],
                seen[INSTALL][0], seen[INSTALL + '/log'][0], seen[INSTALL + '/registry'][0], sb.pidfile()))
        if not st.get('keep') and not st.get('ends'):
            pid = sb.daemon_pid()
            for _ in range(st.get('signals', 1)):
                sb.kill(pid)
            self.assertEqual(0, sb.wait_exit(pid, 60), 'exit status on SIGTERM')
        new = messages()[log0:]
        records = sb.datfile().splitlines()[dat0:]
        want = st.get('records')
        if want is not None:
            self.assertEqual([w.encode() if isinstance(w, str) else w for w in want],
                             [int(r.split(b',')[0]) if isinstance(w, int) else r for r, w in zip(records, want)]
                             + records[len(want):])
        reports = sb.indications()[ind0:]
        if 'reports' in st:
            self.assertEqual(st['reports'], [r['event_id'] + ('/%d' % r['count'] if r['count'] != 2 else '')
                                             for r in reports])
        for i, text in st.get('messages', {}).items():
            strings = [bytes.fromhex(h) for h in reports[i]['hex']]
            self.assertEqual(text if isinstance(text, bytes) else text.encode(),
                             strings.pop(1 if reports[i]['count'] == 5 else 0))
            self.assertEqual([b''] * 4, strings)
        if 'states' in st:
            self.assertEqual([x['number'] for x in rows if x['recorded']], [int(r.split(b',')[0]) for r in records])
            self.assertEqual([(x['event_id'], x['message_hex']) for x in rows if x['event_id'] != '0x00000000'],
                             [(r['event_id'], next((h for h in r['hex'] if h), '')) for r in reports])
        for name, value in st.get('reg', {}).items():
            self.assertEqual(value, sb.get_reg(PARAMS, name), name)
        for line in st.get('log', []):
            self.assertGreaterEqual(sum(1 for l in new if l.endswith(line)), st['log'].count(line), line)
        for line in st.get('absent', []):
            self.assertNotIn(line, new)
        for line in st.get('once', []):
            self.assertEqual(1, new.count(line), line)
        if st.get('tail'):
            self.assertEqual(st['tail'], new[-len(st['tail']):])
        if not [l for l in st.get('log', []) + st.get('tail', []) if ',Error,' in l]:
            self.assertEqual([], [l for l in new if ',Error,' in l])
        if st.get('same_state'):
            self.assertEqual(before, self.state(sb))
        if 'metrics' in st:
            self.check_metrics(sb, st['metrics'], st.get('scrape'))
        return st.get('keep', False)

    def check_metrics(self, sb, want, scrape):
        """The metrics file: promtool-clean, the series asked for (None: absent); served by a real node
        exporter's textfile collector when scrape is set."""
        text = sb.read('log/zavsmsrv.prom')
        r = subprocess.run(['promtool', 'check', 'metrics'], input=text, stdout=subprocess.PIPE,
                           stderr=subprocess.STDOUT, universal_newlines=True)
        self.assertEqual((0, ''), (r.returncode, r.stdout), text)
        series = dict(l.rsplit(' ', 1) for l in text.splitlines() if not l.startswith('#'))
        self.assertEqual(want, dict((k, series.get(k)) for k in want), text)
        if not scrape:
            return
        with socket.socket() as s:
            s.bind(('127.0.0.1', 0))
            port = s.getsockname()[1]
        exporter = subprocess.Popen(['prometheus-node-exporter', '--collector.disable-defaults', '--collector.textfile',
                                     '--collector.textfile.directory=' + sb.path('log'),
                                     '--web.listen-address=127.0.0.1:%d' % port], stderr=subprocess.DEVNULL)
        try:
            def scraped():
                try:
                    return urllib.request.urlopen('http://127.0.0.1:%d/metrics' % port, timeout=5).read().decode()
                except OSError:
                    return None
            page = wait_until(scraped, 20, 0.1) or ''
        finally:
            exporter.kill()
            exporter.wait()
        lines = page.splitlines()
        self.assertIn('node_textfile_scrape_error 0', lines)
        def samples(text):  # the exporter sorts labels and writes floats its own way
            out = {}
            for line in text.splitlines():
                if line.startswith('zavsmsrv_'):
                    series, value = line.rsplit(' ', 1)
                    name, _, labels = series.partition('{')
                    out[(name, tuple(sorted(labels.rstrip('}').split(','))))] = float(value)
            return out
        self.assertEqual(samples(text), samples(page))

    def test_scenarios(self):
        only = os.environ.get('ZAV_SCENARIO')
        shard, shards = (int(n) for n in os.environ.get('ZAV_SHARD', '0/1').split('/'))  # CTest runs shards at once
        for name, sc in sorted(SCENARIOS.items())[shard::shards]:
            if only and only not in name:
                continue
            with self.subTest(name), open_sandbox(self, systemd=sc.get('hardened', False)) as sb:
                self.setup(sb, sc)
                running = False
                for st in sc['steps']:
                    running = self.step(sb, sc, st, running)


if __name__ == '__main__':
    if sys.argv[1:2] == ['--launch']:
        launch_hardened(json.loads(sys.argv[2]))
    unittest.main()
