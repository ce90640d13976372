# -*- coding: utf-8 -*-
"""Controller script module of ZAVsmsrv (runs under Python 2.7 and 3).

The service imports this module at every poll (it stays in sys.modules) and
calls get_datetime() and get_iml(). The backend comes from
../data/controller.ini, read once per process:

    [controller]
    backend = sim        ; or redfish (zavredfish.py), or ipmi (zavipmi.py)

No file, or backend = sim: the simulated controller of zavsim.py. The real
backends never raise and never block past their deadline; the reason of the
last failing call is last_error(), also written to syslog and to
../log/zavsmctl.log (zavcommon.py, with the status table). Run this file
(python bin/zavsmsrv.py) to see what the service would get.

Warning: the service calls these functions on its monitoring thread and
waits for them to return. A call that blocks (a controller that does not
answer, a network read without a time-out) holds up the poll and also a
stop request, which the service only sees between polls. Give every
controller access a time-out.
"""
import atexit
import os
import sys

_HERE = os.path.dirname(os.path.abspath(__file__))
if _HERE not in sys.path:
    sys.path.insert(0, _HERE)
import zavcommon  # noqa: E402
import zavsim  # noqa: E402

INI = zavcommon.INI
_backend = None            # zavsim, a backend's Controller, or a _Refused setup
PARTS = {'redfish': ('zavrfsession', 'zavrfentry')}   # a backend's own further files


class _Refused(object):
    """A setup that failed: every call gives its status and reason again."""

    def __init__(self, failure):
        self.failure = failure

    def _fail(self, empty):
        zavcommon.note('error', self.failure.reason)
        return self.failure.status, empty

    def get_datetime(self):
        return self._fail(zavcommon.native(''))

    def get_iml(self):
        return self._fail([])


def _setup():
    if not os.path.exists(INI):
        return zavsim
    backend, get = zavcommon.read_ini(INI)
    if backend == 'sim':
        return zavsim
    for name in ('zavcommon', 'zav' + backend) + PARTS.get(backend, ()):
        zavcommon.check_file(os.path.join(_HERE, name + '.py'), secret=False)
    module = __import__('zav' + backend)
    controller = module.Controller(module.Settings(lambda key: get(key, backend)), zavcommon.note)
    atexit.register(controller.close_session)
    return controller


def _choose():
    global _backend
    if _backend is None:
        try:
            _backend = _setup()
        except zavcommon.Failure as e:
            _backend = _Refused(e)
        except Exception as e:                           # noqa: BLE001 (refused setup: a failing status)
            _backend = _Refused(zavcommon.Failure(500, 'controller setup failed: %s' % e))
    return _backend


def get_datetime():
    status, clock = _choose().get_datetime()
    if status == 200:
        zavcommon.clear_error()
    return status, clock


def get_iml():
    status, entries = _choose().get_iml()
    if status == 200:
        zavcommon.clear_error()
    return status, entries


def last_error():
    """Why the last call failed ('' after a success or with the simulated controller)."""
    return zavcommon.last_error()


if __name__ == '__main__':
    clock_status, clock = get_datetime()
    print('get_datetime: %d %s' % (clock_status, clock or last_error()))
    iml_status, entries = get_iml()
    print('get_iml: %d, %d entries%s' % (iml_status, len(entries), '' if iml_status == 200 else ': ' + last_error()))
    for e in entries:
        print(zavcommon.native(u'%s class 0x%02X code 0x%04X %s %s %s %s' % (
            e.get('EventNumber'), e.get('Class', 0), e.get('Code', 0), e.get('Created'), e.get('Updated'),
            e.get('Severity'), e.get('Message'))))
    sys.exit(0 if clock_status == iml_status == 200 else 1)
