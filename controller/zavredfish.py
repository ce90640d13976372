# -*- coding: utf-8 -*-
"""Redfish backend of the controller module zavsmsrv.py (Python 2.7 and 3,
standard library only): discovery of the log, its pages, and the two calls.
The transport and the session are in zavrfsession.py, the entry mapping and
the time texts in zavrfentry.py, what all backends share in zavcommon.py.

zavsmsrv.py builds one Controller from data/controller.ini and keeps it for
the life of the process (the service imports the module once and calls it at
every poll), so the session token, the chosen LogService and a refused login
survive from poll to poll. Every public call returns (status, value) and
never raises; see zavcommon.STATUS for what a failing status means.
"""
import json
import re
import time

from zavcommon import Failure, choice, native, seconds, text_type
from zavrfentry import event_number, map_entry, parse_rule, utc_text
from zavrfsession import ROOT, Session, _Connection, link_path, quote, urlsplit

REFRESH = 600              # seconds between whole reads of the log by default
_IDENTITY = ('Id', 'Created', 'MessageId', 'EntryCode', 'SensorType')   # what an update never changes

class Settings(object):
    """The [redfish] section of controller.ini."""

    def __init__(self, get):
        url = get('url')
        parts = urlsplit(url or '')
        if parts.scheme not in ('http', 'https') or not parts.hostname:
            raise Failure(500, 'url = %r: give scheme://host[:port]' % (url or ''))
        if parts.username or parts.password:
            raise Failure(500, 'url must not hold a user or password: use username and password_file')
        self.scheme, self.host = parts.scheme, parts.hostname
        try:
            self.port = parts.port or (443 if self.scheme == 'https' else 80)
        except ValueError:
            raise Failure(500, 'url = %r: bad port' % url)
        self.log_service = get('log_service') or 'auto'
        self.username = get('username') or ''
        self.password_file = get('password_file') or ''
        self.auth = (get('auth') or 'session').lower()
        if self.auth not in ('session', 'basic'):
            raise Failure(500, 'auth = %r: session or basic' % self.auth)
        if not self.username or not self.password_file:
            raise Failure(500, 'username and password_file are needed')
        self.verify_tls = (get('verify_tls') or 'yes').lower() not in ('no', 'false', 'off', '0')
        self.ca_file = get('ca_file') or None
        self.timeout = seconds(get, 'timeout', 10)
        self.deadline = seconds(get, 'deadline', 60)
        self.class_rule = parse_rule(get('class'))
        self.code_rule = parse_rule(get('code'))
        self.refresh = _refresh(get('refresh'))
        self.updates = choice(get, 'updates', 'auto', ('auto', 'skip'))


def _refresh(text):
    try:
        value = int(text) if text else REFRESH
    except ValueError:
        value = -1
    if not 0 <= value <= 604800:
        raise Failure(500, 'refresh = %r: whole seconds, 0 (every poll) to 604800' % text)
    return value


def member_key(member):
    link = member.get('@odata.id')
    return native(link) if isinstance(link, (str, text_type)) and link else json.dumps(member, sort_keys=True)


def only_link(member):
    return bool(member) and set(member) <= set(['@odata.id'])


def identity(doc):
    return tuple(doc.get(k) for k in _IDENTITY)


def newest_first(first, last, before):
    """The order of a log from its first and last members (before: when they cannot tell)."""
    if first is None or last is None or first is last:
        return before
    a, b = [(utc_text(d.get('Created')) or '', event_number(d)) for d in (first, last)]
    return a > b if a != b else before


class Changed(Exception):
    """A sign that the log was cleared, wrapped or reordered: read it whole."""


class Later(Exception):
    """A whole read for the refresh that does not fit in this call: it goes on at the next poll."""


class Mirror(object):
    """The log as last read: member keys in the service's page order and each
    member's entry (None: listed, but gone when fetched)."""

    def __init__(self, keys, docs, newest, started):
        self.keys, self.docs, self.newest, self.started = keys, docs, newest, started
        self.count = None                                # Members@odata.count, while it is true
        self.page, self.last_link = 0, None
        self.mapped = {}

    def update(self, key, doc):
        self.docs[key] = doc
        self.mapped.pop(key, None)

    def add(self, keys, docs):
        self.keys = keys + self.keys if self.newest else self.keys + keys
        self.docs.update(docs)

    def entries(self, class_rule, code_rule):
        """The whole log as the service reads it, oldest first."""
        out = []
        for key in self.keys:
            doc = self.docs.get(key)
            if doc is not None:
                if key not in self.mapped:
                    self.mapped[key] = map_entry(doc, class_rule, code_rule)
                out.append(self.mapped[key])
        out.sort(key=lambda e: (e.get('Created', ''), e['EventNumber']))
        return out

    def check_start(self, page):
        """Changed unless the members of a first page that are known stand where they stood."""
        keys = [member_key(m) for m in page]
        at = 0
        if self.newest:
            at = next((i for i, k in enumerate(keys) if k in self.docs), len(keys))
            if at == len(keys) and self.keys:
                return len(keys)                             # all new so far: the caller pages on
        n = min(len(keys) - at, len(self.keys))
        if keys[at:at + n] != self.keys[:n]:
            raise Changed('the known entries on the first page moved or vanished')
        for m in page[at:at + n]:
            known = self.docs.get(member_key(m))
            if not only_link(m) and known is not None and identity(m) != identity(known):
                raise Changed('entry %s came back with other content' % member_key(m))
        return at




class Controller(object):
    def __init__(self, settings, log):
        self.s, self.log = settings, log
        self.http = Session(settings, log, _Connection)  # looked up here: a test may replace it
        self.service = self.entries = self.manager = self.root = None
        self.service_doc = {}
        self.mirror = None
        self.partial = {}                                # members fetched by a whole read that did not finish
        self.skip = None                                 # True: the service pages with $skip
        self.next_shape = None                           # one of its next links with $skip, to write ours alike
        self.way = None                                  # how updates are read: filter, sel, whole, skip
        self.clock = self.since = None                   # DateTime as written: this poll's, the last read's
        self.filter_off = False                          # the service ignores or refuses $filter
        self.soft = False                                # a refresh under way: stop before the deadline

    def get(self, path):
        if self.soft and self.http.deadline.until - time.time() < self.s.timeout:
            raise Later()
        return self.http.get(path)

    # -- collections --------------------------------------------------------------
    def pages(self, path, doc=None, probe=True):
        """(link, page, members not seen before) of each page from path on: next
        links, else $skip while Members@odata.count says more; each link once,
        and a page that brings nothing new ends the walk."""
        link, visited, seen = path, set([path]), set()
        doc = self.get(path) if doc is None else doc
        while True:
            page = doc.get('Members')
            if not isinstance(page, list) or not all(isinstance(m, dict) for m in page):
                raise Failure(502, 'Members of %s is not a list of objects' % link)
            fresh = [m for m in page if member_key(m) not in seen]
            seen.update(member_key(m) for m in fresh)
            yield link, doc, fresh
            nxt = doc.get('Members@odata.nextLink')
            total = doc.get('Members@odata.count')
            probing = probe and not nxt and isinstance(total, int) and len(seen) < total and page
            if probing:
                nxt = self._skip_link(path, len(seen), len(page))
            if not fresh or not isinstance(nxt, (str, text_type)) or nxt in visited:
                return
            visited.add(nxt)
            link = link_path(nxt, path)
            if path == self.entries and '$skip=' in link and not probing:
                self.skip, self.next_shape = True, link
            try:
                doc = self.get(link)
            except Failure as e:
                if probing and e.http in (400, 405, 501):
                    self.skip = False
                    return                               # the service has no $skip: this was all
                raise

    def _skip_link(self, path, skip, top):
        """The page from member skip on, written as the service writes its own next links."""
        if self.next_shape and path == self.entries:
            return re.sub(r'\$skip=\d+', '$skip=%d' % skip, self.next_shape)
        return '%s%s$skip=%d&$top=%d' % (path, '&' if '?' in path else '?', skip, top)

    def members(self, path, expand=True):
        out = [m for _, _, fresh in self.pages(path) for m in fresh]
        return [self.fetch(m, path) for m in out] if expand else out

    def fetch(self, member, base, cache=None):
        """The whole member where the collection gave only its link; None when it is gone."""
        if not only_link(member):
            return member
        key = member_key(member)
        if cache is not None and key in cache:
            return cache[key]
        try:
            doc = self.get(link_path(member['@odata.id'], base))
        except Failure as e:
            if e.status != 404 or cache is None:
                raise
            doc = None                                   # listed, then gone: the log changed meanwhile
            self.log('warning', '%s was listed but is gone (HTTP 404)' % key)
        if cache is not None:
            cache[key] = doc
        return doc

    # -- discovery --------------------------------------------------------------------
    def _link(self, doc, key):
        value = doc.get(key)
        link = value.get('@odata.id') if isinstance(value, dict) else None
        return native(link) if isinstance(link, (str, text_type)) else None

    def _root(self):
        if self.root is None:
            self.root = self.get(ROOT)
        return self.root

    def _discover(self):
        root = self._root()
        found = []
        for kind in ('Managers', 'Systems'):
            link = self._link(root, kind)
            if not link:
                continue
            for owner in self.members(link):
                services = self._link(owner, 'LogServices')
                if services:
                    found += [s for s in self.members(services) if s.get('@odata.id')]

        def pick(test):
            for s in found:
                ident = s.get('Id')
                if test(s.get('LogEntryType'), ident.upper() if isinstance(ident, (str, text_type)) else ''):
                    return s
        chosen = (pick(lambda t, i: t == 'SEL' or 'SEL' in i) or
                  pick(lambda t, i: t == 'Event' or 'EVENT' in i))
        if chosen is None:
            raise Failure(404, 'no SEL or event log among the log services (%s): set log_service' %
                          (', '.join(native(s['@odata.id']) for s in found) or 'none'))
        self.log('info', 'log service chosen: %s (%s)' % (native(chosen['@odata.id']),
                                                         chosen.get('LogEntryType') or chosen.get('Id')))
        return native(chosen['@odata.id'])

    def _log_service(self):
        if self.service is None:
            self.service = self.s.log_service if self.s.log_service != 'auto' else self._discover()
        try:
            doc = self.get(self.service)
        except Failure as e:
            if e.status == 404 and self.s.log_service == 'auto':
                self.service = self.entries = None       # find it again next time
            raise
        self.entries = self._link(doc, 'Entries') or self.service.rstrip('/') + '/Entries'
        self.service_doc = doc
        return doc

    def _manager_clock(self):
        if self.manager is None:
            m = re.match(r'^(.*/Managers/[^/]+)/', self.service)
            if m:
                self.manager = m.group(1)
            else:
                managers = self.members(self._link(self._root(), 'Managers') or ROOT + 'Managers', expand=False)
                if not managers or not managers[0].get('@odata.id'):
                    raise Failure(404, 'no manager to read the clock from')
                self.manager = native(managers[0]['@odata.id'])
        return self.get(self.manager).get('DateTime')

    def _feature(self, name):
        """A ProtocolFeaturesSupported flag of the service root (False where it cannot be read)."""
        try:
            features = self._root().get('ProtocolFeaturesSupported')
        except Failure as e:
            if e.status not in (403, 404, 502):
                raise
            self.root, features = {}, None
        value = features.get(name) if isinstance(features, dict) else None
        return value.get('Supported') is True if isinstance(value, dict) else value is True

    # -- the mirror of the log ----------------------------------------------------------
    def _read_whole(self):
        """Every page and every member again; what was fetched survives a read the deadline cut."""
        started = time.time()
        self.skip = self.skip if self.skip is not None else (self._feature('TopSkipQuery') or None)
        keys, docs, last, count, size = [], {}, self.entries, None, None
        for link, page, fresh in self.pages(self.entries):
            was, count = count, page.get('Members@odata.count')
            if isinstance(was, int) and isinstance(count, int) and count < was:
                raise Failure(502, 'the log was cleared during a whole read (count %d, then %d); '
                                   'read again next poll' % (was, count))
            size = len(fresh) if size is None else size
            last = link if fresh else last
            for m in fresh:
                keys.append(member_key(m))
                docs[keys[-1]] = m
        for key in keys:
            docs[key] = self.fetch(docs[key], self.entries, self.partial)
        self.partial = {}
        known = [docs[k] for k in keys if docs[k] is not None]
        before = self.mirror.newest if self.mirror else False
        mirror = Mirror(keys, docs, newest_first(known[0] if known else None, known[-1] if known else None,
                                                 before), started)
        mirror.count = count if count == len(keys) else None
        if isinstance(count, int) and count != len(keys):
            self.log('warning', 'Members@odata.count of %s says %d, its pages hold %d: not relied on'
                     % (self.entries, count, len(keys)))
        mirror.page, mirror.last_link = size, last
        self.mirror = mirror

    def _read_new(self):
        """The entries added since the last read, into the mirror; Changed on a sign of a clear."""
        m = self.mirror
        walk = self.pages(self.entries, probe=False)
        _, first, page = next(walk)
        count = first.get('Members@odata.count')
        if m.count is not None and isinstance(count, int) and count < m.count:
            raise Changed('the count fell from %d to %d' % (m.count, count))
        new, last = self._new_newest(walk, page) if m.newest else self._new_oldest(first, page, count)
        cache = {}
        docs = dict((member_key(x), self.fetch(x, self.entries, cache)) for x in new)
        m.add([member_key(x) for x in new], docs)
        m.last_link = last or m.last_link
        m.count = count if isinstance(count, int) and count == len(m.keys) else None

    def _new_newest(self, walk, seen):
        """Newest first: the members before the first known one, paging until it shows."""
        m, seen = self.mirror, list(seen)
        at = m.check_start(seen)
        while at == len(seen):
            try:
                seen += next(walk)[2]
            except StopIteration:
                if m.keys:
                    raise Changed('no known entry is listed any more')
                return seen, None
            at = m.check_start(seen)
        return seen[:at], None

    def _new_oldest(self, first, page, count):
        """Oldest first: the pages from the known count on ($skip), else from the last page read."""
        m = self.mirror
        m.check_start(page)
        nxt = first.get('Members@odata.nextLink')
        if m.count is not None and count == m.count:
            return [], None
        if not nxt and not (isinstance(count, int) and count > len(page)):
            return [x for x in page if member_key(x) not in m.docs], None
        if self.skip:
            link = self._skip_link(self.entries, len(m.keys), m.page or len(page))
        else:
            link = m.last_link if m.last_link != self.entries else nxt
        new, last = [], None
        try:
            for at, (where, _, fresh) in enumerate(self.pages(link_path(link, self.entries), probe=False)):
                if at == 0 and self.skip and m.keys and fresh and \
                        [member_key(x) for x in fresh] == [member_key(x) for x in page]:
                    self._no_skip('%s gave the first page again' % link)
                new += [x for x in fresh if member_key(x) not in m.docs]
                last = where if fresh else last
        except Failure as e:
            if not self.skip or not (e.status == 404 or e.http in (400, 405, 501)):
                raise
            self._no_skip('HTTP %d for %s' % (e.http or e.status, link))
        return new, last

    def _no_skip(self, why):
        self.skip = False
        self.log('warning', 'the service does not page with $skip (%s): its next links are followed' % why)
        raise Changed('$skip not honoured')

    # -- updates of older entries ------------------------------------------------------
    def _choose_way(self):
        docs = [d for d in self.mirror.docs.values() if d is not None]
        sel = self.service_doc.get('LogEntryType') == 'SEL' or bool(docs) and all(
            d.get('EntryType') == 'SEL' for d in docs)
        if self.s.updates == 'skip':
            self.way, why = 'skip', 'not read (updates = skip): an older entry updated later is not reported again'
        elif not self.filter_off and self._feature('FilterQuery'):
            self.way, why = 'filter', 'asked for at every poll with $filter on Modified'
        elif sel:
            self.way, why = 'sel', 'none to read (a SEL keeps its records unchanged)'
        else:
            self.way, why = 'whole', 'the whole log read at every poll (no $filter; updates = skip saves the load)'
        self.log('info', 'updates of older entries: %s' % why)

    def _read_updates(self):
        """Entries modified since the last read's clock (>=: times have one-second resolution)."""
        if self.way != 'filter':
            return
        m, floor, cache = self.mirror, utc_text(self.since), {}
        query = '%s%s$filter=%s' % (self.entries, '&' if '?' in self.entries else '?',
                                    quote("Modified ge '%s'" % self.since, safe="'"))
        try:
            for _, _, fresh in self.pages(query, probe=False):
                for key, x in ((member_key(x), x) for x in fresh):
                    doc = self.fetch(x, self.entries, cache) if m.docs.get(key) is not None else None
                    if doc is None:
                        continue                         # new: the read of new entries places it
                    modified = utc_text(doc.get('Modified')) or utc_text(doc.get('Created'))
                    if modified and floor and modified < floor:
                        return self._no_filter('it answered with %s, modified %s' % (key, modified))
                    if identity(doc) != identity(m.docs[key]):
                        raise Changed('entry %s came back with other content' % key)
                    m.update(key, doc)
        except Failure as e:
            if not (e.status == 404 or e.http in (400, 405, 501)):
                raise
            self._no_filter('HTTP %d' % (e.http or e.status))

    def _no_filter(self, why):
        self.filter_off = True
        self.log('warning', 'the service does not honour $filter (%s)' % why)
        self._choose_way()
        if self.way == 'whole':
            raise Changed('updates are read with the whole log from now on')

    # -- the two calls ----------------------------------------------------------
    def _run(self, work, empty):
        return self.http.deadline.run(work, empty, self.log, self.http.close)

    def _whole_why(self):
        m = self.mirror
        if m is None:
            return 'first read'
        if time.time() - m.started >= self.s.refresh or time.time() < m.started:
            return 'refresh'
        if self.way == 'whole' or self.way == 'filter' and not self.since:
            return 'updates'
        return None

    def _read(self):
        why = self._whole_why()
        if why in (None, 'refresh'):
            try:
                self._read_new()
                self._read_updates()
            except Changed as e:
                why = str(e)
                self.log('info', 'the log is read whole: %s' % why)
        self.soft = why == 'refresh'                     # the mirror is current: the refresh may wait
        try:
            if why is not None:
                self._read_whole()
        except Later:
            self.log('info', 'the whole read for the refresh goes on at the next poll (%d members kept)'
                     % len(self.partial))
        finally:
            self.soft = False
        if self.way is None:
            self._choose_way()
        self.since = self.clock

    def get_datetime(self):
        def work():
            written = self._log_service().get('DateTime')
            if not utc_text(written):
                written = self._manager_clock()
            if not utc_text(written):
                raise Failure(502, 'the controller clock cannot be read (no valid DateTime)')
            self.clock = written
            return utc_text(written)
        return self._run(work, native(''))

    def get_iml(self):
        def work():
            if self.entries is None:
                self._log_service()
            try:
                self._read()
            except Failure as e:
                if e.status == 404:
                    self.entries = None
                raise
            return self.mirror.entries(self.s.class_rule, self.s.code_rule)
        return self._run(work, [])

    def close_session(self):
        self.http.close_session()
