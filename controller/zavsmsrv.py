# -*- coding: utf-8 -*-
"""Controller script module of ZAVsmsrv (runs under Python 2.7 and 3).

The service imports this module at every poll (it stays in sys.modules) and
calls get_datetime() and get_iml(). The backend comes from
../data/controller.ini, read once per process:

    [controller]
    backend = sim        ; or redfish: a real controller, see zavredfish.py

No file, or backend = sim: the simulated controller below. The Redfish
backend never raises and never blocks past its deadline; the reason of its
last failing call is last_error(), also written to syslog and to
../log/zavsmctl.log. Run this file (python bin/zavsmsrv.py) to see what the
service would get.

The simulated controller reads the scenario file ../data/iml-sim.json
(beside the install's bin folder) at every call, so the controller can be
changed between polls:

    {
      "clock": "2026-12-07T05:00:00",   # controller time; null or absent: host clock
      "datetime_status": 200,           # status returned by get_datetime
      "iml_status": 200,                # status returned by get_iml
      "raise": null,                    # "get_datetime" or "get_iml" raises instead
      "entries": [                      # oldest first; null fields are left out
        {"EventNumber": 1, "Class": 2, "Code": 3, "Severity": "Critical",
         "Created": "2026-12-07T04:00:00", "Updated": "2026-12-07T04:00:00",
         "Repaired": 0, "Message": "...", "RecommendedAction": "..."}
      ]
    }

Without a scenario file a small built-in log is served and the clock follows
the host clock.

Warning: the service calls these functions on its monitoring thread and
waits for them to return. A call that blocks (a controller that does not
answer, a network read without a time-out) holds up the poll and also a
stop request, which the service only sees between polls. Give every
controller access a time-out.
"""
import atexit
import datetime
import json
import os
import sys
import time

_HERE = os.path.dirname(os.path.abspath(__file__))
SCENARIO = os.path.join(_HERE, os.pardir, 'data', 'iml-sim.json')
INI = os.path.join(_HERE, os.pardir, 'data', 'controller.ini')
LOG = os.path.join(_HERE, os.pardir, 'log', 'zavsmctl.log')
LOG_MAX = 1048576          # bytes before log rotates into log.1

# Fields the service reads as byte strings under Python 2 ("s" format).
_NARROW = ('Severity', 'Created', 'Updated')

_BUILTIN = [
    {"EventNumber": 1, "Class": 0x02, "Code": 0x0001, "Severity": "Informational", "Repaired": 0,
     "Created": "2026-01-01T00:00:01", "Updated": "2026-01-01T00:00:01",
     "Message": u"Server power restored", "RecommendedAction": u""},
    {"EventNumber": 2, "Class": 0x01, "Code": 0x0002, "Severity": "Critical", "Repaired": 0,
     "Created": "2026-01-01T00:10:00", "Updated": "2026-01-01T00:10:00",
     "Message": u"Fan 3 failed", "RecommendedAction": u"Replace fan 3"},
    {"EventNumber": 3, "Class": 0x23, "Code": 0x1A05, "Severity": "Warning", "Repaired": 0,
     "Created": "2026-01-01T00:20:00", "Updated": "2026-01-01T00:20:00",
     "Message": u"Temperature above threshold", "RecommendedAction": u"Check the air flow"},
]


def _load():
    try:
        with open(SCENARIO, 'rb') as f:
            return json.loads(f.read().decode('utf-8'))
    except (IOError, OSError):
        return None


def _host_clock():
    return datetime.datetime.now().strftime('%Y-%m-%dT%H:%M:%S')


def _narrow(value):
    if sys.version_info[0] < 3 and isinstance(value, unicode):  # noqa: F821 (Python 2 only)
        return value.encode('utf-8')
    return value


def _wide(value):
    if sys.version_info[0] < 3 and isinstance(value, str):
        return value.decode('utf-8')
    return value


def _entry(raw):
    entry = {}
    for key, value in raw.items():
        if value is None:
            continue
        key = str(key)
        if key in _NARROW:
            value = _narrow(value)
        elif key in ('Message', 'RecommendedAction'):
            value = _wide(value)
        entry[key] = value
    return entry


def _maybe_raise(scenario, name):
    if scenario and scenario.get('raise') == name:
        raise RuntimeError('simulated controller failure in %s' % name)


def _sim_datetime():
    scenario = _load()
    _maybe_raise(scenario, 'get_datetime')
    clock = scenario.get('clock') if scenario else None
    status = scenario.get('datetime_status', 200) if scenario else 200
    return (int(status), _narrow(clock) if clock else _host_clock())


def _sim_iml():
    scenario = _load()
    _maybe_raise(scenario, 'get_iml')
    if scenario is None:
        return (200, [_entry(e) for e in _BUILTIN])
    status = scenario.get('iml_status', 200)
    return (int(status), [_entry(e) for e in scenario.get('entries', [])])


# -- backend choice ------------------------------------------------------------
_backend = None            # 'sim', a zavredfish.Controller, or the Failure that refused the setup
_last_error = ''


def _note(level, text):
    """One reason or milestone line: syslog and log/zavsmctl.log."""
    global _last_error
    if level == 'error':
        _last_error = text
    try:
        import zavredfish
        zavredfish.syslog_line(level, text)
    except Exception:                                    # noqa: BLE001 (no syslog: the file still has it)
        pass
    try:
        if os.path.getsize(LOG) > LOG_MAX:
            os.rename(LOG, LOG + '.1')
    except OSError:
        pass
    try:
        with open(LOG, 'a') as f:
            f.write('%s %s %s\n' % (time.strftime('%Y-%m-%d %H:%M:%S'), level, text))
    except (IOError, OSError):
        pass


def _choose():
    global _backend
    if _backend is not None:
        return _backend
    if not os.path.exists(INI):
        _backend = 'sim'
        return _backend
    if _HERE not in sys.path:
        sys.path.insert(0, _HERE)
    try:
        import zavredfish
        zavredfish.check_file(os.path.join(_HERE, 'zavredfish.py'), secret=False)
        backend, settings = zavredfish.read_ini(INI)
        if backend == 'sim':
            _backend = 'sim'
        else:
            _backend = zavredfish.Controller(settings, _note)
            atexit.register(_backend.close_session)
    except Exception as e:                               # noqa: BLE001 (refused setup: a failing status)
        _backend = e if hasattr(e, 'status') else _Refused('controller setup failed: %s' % e)
    return _backend


class _Refused(Exception):
    status = 500

    def __init__(self, reason):
        Exception.__init__(self, reason)
        self.reason = reason


def _call(name, sim, empty):
    global _last_error
    backend = _choose()
    if backend == 'sim':
        return sim()
    if isinstance(backend, Exception):
        _note('error', backend.reason)
        return backend.status, empty
    status, value = getattr(backend, name)()
    if status == 200:
        _last_error = ''
    return status, value


def get_datetime():
    return _call('get_datetime', _sim_datetime, _narrow(''))


def get_iml():
    return _call('get_iml', _sim_iml, [])


def last_error():
    """Why the last call failed ('' after a success or with the simulated controller)."""
    return _last_error


if __name__ == '__main__':
    clock_status, clock = get_datetime()
    print('get_datetime: %d %s' % (clock_status, clock or last_error()))
    iml_status, entries = get_iml()
    print('get_iml: %d, %d entries%s' % (iml_status, len(entries), '' if iml_status == 200 else ': ' + last_error()))
    for e in entries:
        print(_narrow(u'%s class 0x%02X code 0x%04X %s %s %s %s' % (
            e.get('EventNumber'), e.get('Class', 0), e.get('Code', 0), e.get('Created'), e.get('Updated'),
            e.get('Severity'), e.get('Message'))))
    sys.exit(0 if clock_status == iml_status == 200 else 1)
