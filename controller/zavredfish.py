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

from zavcommon import Failure, native, seconds, text_type
from zavrfentry import map_entry, parse_rule, utc_text  # noqa: F401 (map_entry, utc_text: the backend's API)
from zavrfsession import ROOT, Session, _Connection, link_path, urlsplit

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


class Controller(object):
    def __init__(self, settings, log):
        self.s, self.log = settings, log
        self.http = Session(settings, log, _Connection)  # looked up here: a test may replace it
        self.service = self.entries = self.manager = None

    def get(self, path):
        return self.http.get(path)

    # -- Redfish --------------------------------------------------------------
    def members(self, path, expand=True):
        """Every member of a collection: next links and $skip/$top pages, each
        link once; a page that brings nothing new ends the walk."""
        visited, seen, out = set([path]), set(), []
        doc = self.get(path)
        size = None
        while True:
            page = doc.get('Members')
            if not isinstance(page, list) or not all(isinstance(m, dict) for m in page):
                raise Failure(502, 'Members of %s is not a list of objects' % path)
            size = size or len(page)
            fresh = 0
            for m in page:
                key = m.get('@odata.id') or json.dumps(m, sort_keys=True)
                if key not in seen:
                    seen.add(key)
                    out.append(m)
                    fresh += 1
            link = doc.get('Members@odata.nextLink')
            total = doc.get('Members@odata.count')
            probe = not link and isinstance(total, int) and len(out) < total and size
            if probe:
                link = '%s%s$skip=%d&$top=%d' % (path, '&' if '?' in path else '?', len(out), size)
            if not fresh or not isinstance(link, (str, text_type)) or link in visited:
                break
            visited.add(link)
            try:
                doc = self.get(link_path(link, path))
            except Failure as e:
                if probe and e.http in (400, 405, 501):
                    break                                # the service has no $skip: this was all
                raise
        if expand:
            out = [self.get(link_path(m['@odata.id'], path)) if set(m) <= set(['@odata.id']) and m else m
                   for m in out]
        return out

    def _link(self, doc, key):
        value = doc.get(key)
        link = value.get('@odata.id') if isinstance(value, dict) else None
        return native(link) if isinstance(link, (str, text_type)) else None

    def _discover(self):
        root = self.get(ROOT)
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
        return doc

    def _manager_clock(self):
        if self.manager is None:
            m = re.match(r'^(.*/Managers/[^/]+)/', self.service)
            if m:
                self.manager = m.group(1)
            else:
                managers = self.members(self._link(self.get(ROOT), 'Managers') or ROOT + 'Managers',
                                        expand=False)
                if not managers or not managers[0].get('@odata.id'):
                    raise Failure(404, 'no manager to read the clock from')
                self.manager = native(managers[0]['@odata.id'])
        return self.get(self.manager).get('DateTime')

    # -- the two calls ----------------------------------------------------------
    def _run(self, work, empty):
        return self.http.deadline.run(work, empty, self.log, self.http.close)

    def get_datetime(self):
        def work():
            doc = self._log_service()
            clock = utc_text(doc.get('DateTime')) or utc_text(self._manager_clock())
            if not clock:
                raise Failure(502, 'the controller clock cannot be read (no valid DateTime)')
            return clock
        return self._run(work, native(''))

    def get_iml(self):
        def work():
            if self.entries is None:
                self._log_service()
            try:
                raw = self.members(self.entries)
            except Failure as e:
                if e.status == 404:
                    self.entries = None
                raise
            out = [map_entry(r, self.s.class_rule, self.s.code_rule) for r in raw]
            out.sort(key=lambda e: (e.get('Created', ''), e['EventNumber']))
            return out
        return self._run(work, [])

    def close_session(self):
        self.http.close_session()
