# -*- coding: utf-8 -*-
# The Redfish backend's mirror of the log (Python 2.7 and 3): a log in the three shapes a controller
# serves, changed between polls; each poll stays within its requests and returns what a whole read would.
import json
import os
import shutil
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import test_controller as base  # noqa: E402 (the fake connection and controller.ini)

zavredfish, zavsmsrv = base.zavredfish, base.zavsmsrv
try:
    from urllib.parse import parse_qs
except ImportError:  # Python 2
    from urlparse import parse_qs

ENTRIES = base.SEL + '/Entries'


def minute(n): return '2026-12-07T%02d:%02d:00+01:00' % (n // 60 % 24, n % 60)


class Log(object):
    """A controller's log answering as the fake connection's routes: oldest or newest first, pages
    with $skip links (and a count) or opaque ones, members in full or as links only."""

    def __init__(self, size, newest=False, opaque=False, links=False, page=5, count=True, filter=None,
                 skip=None, kind='SEL', lie=0):
        self.entries, self.ticks, self.gone, self.hooks = [], 0, set(), []
        self.newest, self.opaque, self.links, self.page, self.counted = newest, opaque, links, page, count
        self.filter, self.skip, self.kind, self.lie, self.bytes = filter, skip, kind, lie, 0
        self.twist = self.repeat = False  # the next first page in reverse; next links that name their own page
        self.add(size)

    def add(self, n, first=None):
        start = first or (max([int(e['Id']) for e in self.entries] or [0]) + 1)
        for i in range(start, start + n):
            self.ticks += 1
            self.entries.append({'@odata.id': '%s/%d' % (ENTRIES, i), 'Id': str(i), 'Created': minute(self.ticks),
                                 'EntryType': self.kind, 'SensorType': 'Fan', 'EntryCode': 'Assert',
                                 'Severity': 'Warning', 'Message': u'entry %d at %d' % (i, self.ticks)})

    def clock(self): return minute(self.ticks).replace(':00+', ':30+')  # the clock runs on past the last entry

    def get(self, path, default=None):
        if path == 'delay':
            return 0
        for hook in list(self.hooks):
            hook(self, path)
        answer = self.answer(path)
        self.bytes += len(json.dumps(answer))
        return answer if answer is not None else default

    def answer(self, path):
        where, _, query = path.partition('?')
        if where == ENTRIES:
            return self.collection(dict((k, v[0]) for k, v in parse_qs(query).items()))
        if where.startswith(ENTRIES + '/'):
            found = [e for e in self.entries if e['@odata.id'] == where and e['Id'] not in self.gone]
            return found[0] if found else None
        if where == base.R:
            features = dict(FilterQuery=self.filter is not None, TopSkipQuery=self.skip is not None)
            return {'Managers': {'@odata.id': base.R + 'Managers'}, 'ProtocolFeaturesSupported': features}
        if where == base.SEL:
            return {'DateTime': self.clock(), 'LogEntryType': self.kind, 'Entries': {'@odata.id': ENTRIES}}
        return base.site([]).get(where)

    def collection(self, query):
        members = self.entries[::-1] if self.newest else list(self.entries)
        if self.twist and not query:
            members, self.twist = members[:self.page][::-1] + members[self.page:], False
        if '$filter' in query and self.filter == 'honoured':
            floor = zavredfish.utc_text(query['$filter'].split("'")[1])
            members = [e for e in members if zavredfish.utc_text(e.get('Modified', e['Created'])) >= floor]
        start = int(query.get('$skip', query.get('at', '0')))
        start = 0 if '$skip' in query and self.skip == 'ignored' else start
        page = members[start:start + self.page]
        doc = {'Members': [{'@odata.id': e['@odata.id']} if self.links else e for e in page]}
        if self.counted:
            doc['Members@odata.count'] = len(members) + self.lie
        if start + self.page < len(members):
            more = dict(query, **{'at' if self.opaque else '$skip': str(start + (0 if self.repeat else self.page))})
            doc['Members@odata.nextLink'] = ENTRIES + '?' + '&'.join('%s=%s' % kv for kv in sorted(more.items()))
        return doc

    def whole(self):
        """What the service must get: every entry there is, as a whole read maps it."""
        out = [zavredfish.map_entry(e) for e in self.entries if e['Id'] not in self.gone]
        return sorted(out, key=lambda e: (e.get('Created', ''), e['EventNumber']))


def update(log, n):
    log.ticks += 1
    log.entries[n].update(Modified=minute(log.ticks), Resolved=True)


def clear(log, reuse=0):
    del log.entries[:]
    log.add(reuse, first=1)


def once(test, change):
    """A hook that changes the log at the first request that matches test."""
    def hook(log, path):
        if test(path):
            log.hooks.remove(hook)
            change(log)
    return lambda log: log.hooks.append(hook)


OLD, NEW, LINKS = dict(), dict(newest=True, opaque=True, count=False), dict(links=True)
FILTERED, EVENTS = dict(filter='honoured', kind='Event'), dict(kind='Event')
STEADY = (None, 2)
# name, log shape, settings, polls after the first: (change before the poll, most requests; None: a whole read)
CASES = [
    ('oldest first with counts', OLD, {}, [STEADY, (lambda lg: lg.add(5), 3), STEADY, (lambda lg: lg.add(12), 5)]),
    ('newest first, opaque links', NEW, {}, [STEADY, (lambda lg: lg.add(3), 2), (lambda lg: lg.add(12), 5), STEADY]),
    ('members as links only', LINKS, {}, [STEADY, (lambda lg: lg.add(5), 8), STEADY]),
    ('oldest first, opaque links, no count', dict(opaque=True, count=False), {},
     [(None, 3), (lambda lg: lg.add(5), 4), (None, 3)]),
    ('updates by $filter', FILTERED, {}, [(None, 3), (lambda lg: update(lg, 2), 3), (lambda lg: update(lg, 9), 3)]),
    ('updates by $filter, links only', dict(FILTERED, links=True), {}, [(lambda lg: update(lg, 1), 4)]),
    ('a SEL without $filter reads no updates', OLD, {}, [STEADY, STEADY]),
    ('other logs without $filter are read whole', EVENTS, {}, [(lambda lg: update(lg, 0), None)]),
    ('updates = skip', EVENTS, dict(updates='skip'), [STEADY, (lambda lg: lg.add(2), 3)]),
    ('refresh = 0 reads whole every poll', OLD, dict(refresh=0), [(None, None), (None, None)]),
    ('refresh period over', OLD, {}, [(lambda lg: setattr(zavsmsrv._backend.mirror, 'started', 0), None)]),
    ('a refresh longer than the deadline waits', LINKS, dict(timeout=2),  # no time left for it after the new
     [(lambda lg: setattr(zavsmsrv._backend.mirror, 'started', 0) or lg.add(2), 5), STEADY]),
    ('a clear: the count falls', OLD, {}, [(lambda lg: clear(lg, 3), None), STEADY]),
    ('a clear, newest first', NEW, {}, [(lambda lg: clear(lg, 4), None), STEADY]),
    # bad input
    ('a count that lies', dict(lie=3), {}, [(None, 3), (lambda lg: lg.add(4), 3), (None, 3)]),
    ('a first page that changes order', OLD, {}, [(lambda lg: setattr(lg, 'twist', True), None), (lambda lg: lg.add(2), 3), STEADY]),
    ('a $skip the service ignores', dict(opaque=True, skip='ignored'), {},
     [(lambda lg: lg.add(2), None), (lambda lg: lg.add(2), 4), STEADY]),
    ('a next link that repeats', dict(opaque=True), {}, [(lambda lg: setattr(lg, 'repeat', True) or lg.add(3), 3), (None, 3)]),
    ('a member link gone when fetched', LINKS, {},
     [(lambda lg: lg.add(3) or lg.gone.add('13'), 6), STEADY]),
    ('a clear between two pages', OLD, dict(refresh=0),
     [(once(lambda p: '$skip' in p, lambda lg: clear(lg, 2)), 'fails'), (None, None)]),
    ('an Id reused after a clear', OLD, {}, [(lambda lg: clear(lg, 12), None), STEADY]),
    ('a $filter the service ignores', dict(EVENTS, filter='ignored'), {}, [(lambda lg: update(lg, 3), None), (None, None)]),
]


class Mirror(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix='zavmirror-')
        self.addCleanup(shutil.rmtree, self.tmp)
        self.addCleanup(setattr, zavredfish, '_Connection', zavredfish._Connection)
        zavredfish._Connection = base.Connection

    def test_each_poll_costs_its_requests_and_returns_the_whole_log(self):
        for name, shape, settings, polls in CASES:
            log = base.Connection.routes = Log(12, **shape)
            base.configure(self.tmp, log_service=base.SEL, **settings)
            for i, (change, most) in enumerate([(None, None)] + polls):
                if change:
                    change(log)
                base.Connection.sent = []
                clock, (status, entries) = zavsmsrv.get_datetime(), zavsmsrv.get_iml()
                where = '%s, poll %d: %s' % (name, i, zavsmsrv.last_error())
                self.assertEqual((200, 502 if most == 'fails' else 200), (clock[0], status), where)
                if most != 'fails':
                    sent, live = len(base.Connection.sent), len(log.whole())
                    whole = 1 + max(-(-live // log.page), 1) + (live if log.links else 0)  # the clock, pages, members
                    self.assertEqual((log.whole(), True), (entries, sent <= (most or 2 * whole)), where)
                    if live > log.page:  # a whole read shows in its requests
                        self.assertEqual(most is None, sent >= whole, '%s: %d requests' % (where, sent))
            with open(base.zavcommon.LOG) as f:
                self.assertIn('updates of older entries:', f.read(), name)


if __name__ == '__main__':
    unittest.main()
