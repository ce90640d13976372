# -*- coding: utf-8 -*-
"""The simulated controller of the controller module zavsmsrv.py (Python 2.7
and 3): the backend when controller.ini is absent or says backend = sim.

It reads the scenario file ../data/iml-sim.json (beside the install's bin
folder) at every call, so the controller can be changed between polls:

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
"""
import datetime
import json
import os
import sys

from zavcommon import native

_HERE = os.path.dirname(os.path.abspath(__file__))
SCENARIO = os.path.join(_HERE, os.pardir, 'data', 'iml-sim.json')

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
            value = native(value)
        elif key in ('Message', 'RecommendedAction'):
            value = _wide(value)
        entry[key] = value
    return entry


def _maybe_raise(scenario, name):
    if scenario and scenario.get('raise') == name:
        raise RuntimeError('simulated controller failure in %s' % name)


def get_datetime():
    scenario = _load()
    _maybe_raise(scenario, 'get_datetime')
    clock = scenario.get('clock') if scenario else None
    status = scenario.get('datetime_status', 200) if scenario else 200
    return (int(status), native(clock) if clock else _host_clock())


def get_iml():
    scenario = _load()
    _maybe_raise(scenario, 'get_iml')
    if scenario is None:
        return (200, [_entry(e) for e in _BUILTIN])
    status = scenario.get('iml_status', 200)
    return (int(status), [_entry(e) for e in scenario.get('entries', [])])
