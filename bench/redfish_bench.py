#!/usr/bin/env python3
"""What the Redfish backend costs the controller: requests, response bytes and seconds per poll
(get_datetime and get_iml) against the fake log of the controller tests, for a log of N entries in
three shapes, at a per-request delay that is added per request rather than slept.

    python3 bench/redfish_bench.py [--size 2000] [--page 50] [--delay 0.3] [--module DIR]

--module: the controller folder to measure (default: this tree's); e.g. an older commit's, from
`git archive COMMIT controller | tar -x -C /tmp/old`, for the figures before a change.
"""
import argparse
import os
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SHAPES = (('oldest first, counts, $skip links', dict()),
          ('newest first, opaque links, no count', dict(newest=True, opaque=True, count=False)),
          ('members as links only', dict(links=True)))


def main():
    p = argparse.ArgumentParser()
    p.add_argument('--size', type=int, default=2000)
    p.add_argument('--page', type=int, default=50)
    p.add_argument('--delay', type=float, default=0.3)
    p.add_argument('--module', default=os.path.join(HERE, os.pardir, 'controller'))
    a = p.parse_args()
    sys.path.insert(0, os.path.abspath(a.module))
    import zavredfish  # noqa: F401 (the module measured: imported before the tests import theirs)
    sys.path.insert(0, os.path.join(HERE, os.pardir, 'tests', 'controller'))
    import test_redfish_mirror as mirror
    base = mirror.base
    zavredfish._Connection = base.Connection
    tmp = tempfile.mkdtemp(prefix='zavbench-')
    print('| shape | poll | requests | bytes | seconds at %gs a request |' % a.delay)
    print('|---|---|---|---|---|')
    for name, shape in SHAPES:
        log = base.Connection.routes = mirror.Log(a.size, page=a.page, **shape)
        base.configure(tmp, log_service=base.SEL, deadline=3600, timeout=10)
        polls = (('first', None), ('steady', None), ('5 new', lambda: log.add(5)), ('steady', None),
                 ('whole read (refresh)', lambda: setattr(getattr(base.zavsmsrv._backend, 'mirror', None)
                                                          or log, 'started', 0)))
        for what, change in polls:
            if change:
                change()
            base.Connection.sent, log.bytes = [], 0
            start = time.time()
            clock, (status, entries) = base.zavsmsrv.get_datetime(), base.zavsmsrv.get_iml()
            cpu = time.time() - start
            assert (clock[0], status, len(entries)) == (200, 200, len(log.entries)), base.zavsmsrv.last_error()
            n = len(base.Connection.sent)
            print('| %s | %s | %d | %d | %.1f |' % (name, what, n, log.bytes, cpu + n * a.delay))


if __name__ == '__main__':
    main()
