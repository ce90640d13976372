# -*- coding: utf-8 -*-
"""Benchmark controller: serves a prepared log of N entries (no work per call)."""
import datetime

CLOCK = '2026-12-08T00:00:00'
_entries = []


def _text(value):
    try:
        return unicode(value)  # noqa: F821 (Python 2)
    except NameError:
        return value


def prepare(n, first_number=1):
    """Builds n entries, one second apart, all updated before CLOCK."""
    del _entries[:]
    start = datetime.datetime(2026, 12, 7, 0, 0, 0)
    for i in range(n):
        t = (start + datetime.timedelta(seconds=i)).strftime('%Y-%m-%dT%H:%M:%S')
        _entries.append({
            'EventNumber': first_number + i,
            'Class': 1 + (i % 0x7F),
            'Code': 1 + (i % 0xFFFF),
            'Severity': ('Critical', 'Warning', 'OK')[i % 3],
            'Created': t,
            'Updated': t,
            'Repaired': 0,
            'Message': _text(u'Fan %d of the system board reports a failure' % (i % 8)),
            'RecommendedAction': _text(u'Replace the fan and check the air flow'),
        })
    return len(_entries)


def get_datetime():
    return (200, CLOCK)


def get_iml():
    return (200, _entries)
