"""The daemon with the installed controller module reading a loopback Redfish service (the sandbox
shares the host's network): entries in any offset recorded oldest first in UTC, a new one reported
once under the class and code of its SEL sensor, a poll with nothing new costing the controller two
requests, and a controller that stops answering costs its polls but never holds the service beyond
the module's deadline."""
import json
import os
import threading
import time
import unittest

from zavsandbox import PARAMS, open_sandbox

try:
    from http.server import BaseHTTPRequestHandler, HTTPServer
except ImportError:  # Python 2
    from BaseHTTPServer import BaseHTTPRequestHandler, HTTPServer

ROOT, SEL = '/redfish/v1/', '/redfish/v1/Managers/bmc/LogServices/SEL'
SITE = {ROOT: {'Managers': {'@odata.id': ROOT + 'Managers'}},
        ROOT + 'Managers': {'Members': [{'@odata.id': '/redfish/v1/Managers/bmc'}]},
        '/redfish/v1/Managers/bmc': {'LogServices': {'@odata.id': '/redfish/v1/Managers/bmc/LogServices'}},
        '/redfish/v1/Managers/bmc/LogServices': {'Members': [{'@odata.id': SEL}]},
        SEL: {'@odata.id': SEL, 'Id': 'SEL', 'Entries': {'@odata.id': SEL + '/Entries'}}, SEL + '/Entries': {'Members': []}}
INI = ('[controller]\nbackend = redfish\n[redfish]\nurl = http://127.0.0.1:%d\nusername = monitor\n'
       'password_file = /opt/kym/tolvex_sa/data/redfish.secret\ntimeout = 2\ndeadline = 5\n')


def fan(n, created):  # a fan below its lower critical threshold: class 0x04, code 0x0102
    return {'Id': str(n), 'Created': created, 'EntryType': 'SEL', 'SensorType': 'Fan', 'Severity': 'Critical',
            'EntryCode': 'Lower Critical - going low', 'Message': 'Fan %d low' % n}


class Handler(BaseHTTPRequestHandler):
    delay, paths = 0, []

    def answer(self, status, doc, headers=()):
        time.sleep(Handler.delay)
        body = json.dumps(doc).encode()
        self.send_response(status)
        for name, value in (('Content-Type', 'application/json'), ('Content-Length', str(len(body)))) + headers:
            self.send_header(name, value)
        self.end_headers()
        self.wfile.write(body)

    def do_GET(self):
        Handler.paths.append(self.path)
        if self.path.startswith(SEL + '/Entries?$skip=') or self.path == SEL + '/Entries':
            return self.answer(200, self.page(int(self.path.partition('=')[2] or 0)))
        self.answer(200 if self.path in SITE else 404, SITE.get(self.path, {}))

    def page(self, skip):  # two members a page
        members = SITE[SEL + '/Entries']['Members']
        doc = {'Members': members[skip:skip + 2], 'Members@odata.count': len(members)}
        if skip + 2 < len(members):
            doc['Members@odata.nextLink'] = SEL + '/Entries?$skip=%d' % (skip + 2)
        return doc

    def do_POST(self):
        self.rfile.read(int(self.headers['Content-Length']))
        self.answer(201, {}, (('X-Auth-Token', 'token'), ('Location', ROOT + 'SessionService/Sessions/1')))

    do_DELETE = do_GET

    def log_message(self, *args):
        pass


class RedfishController(unittest.TestCase):
    def test_entries_flow_and_a_silent_controller_never_holds_the_service(self):
        server = HTTPServer(('127.0.0.1', 0), Handler)
        threading.Thread(target=server.serve_forever, daemon=True).start()
        self.addCleanup(server.server_close)
        with open_sandbox(self) as sb:
            sb.preset(MonitorInterval=10)
            sb.write_conf('[00040102]\n')
            with open(sb.path('data/controller.ini'), 'w') as f:
                f.write(INI % server.server_address[1])
            with open(sb.path('data/redfish.secret'), 'w') as f:
                f.write('secret\n')
            os.chmod(sb.path('data/redfish.secret'), 0o600)
            sb.start_core()
            SITE[SEL]['DateTime'] = '2026-12-07T06:00:00+06:00'
            SITE[SEL + '/Entries']['Members'] = [fan(2, '2026-12-06T18:30:00-05:00'), fan(1, '2026-12-06T23:00:00Z')]
            self.assertEqual(0, sb.start())
            self.assertTrue(sb.wait_log('Wait', timeout=60), sb.oplog() + sb.read('log/zavsmctl.log'))
            SITE[SEL]['DateTime'] = '2026-12-07T00:01:00Z'
            SITE[SEL + '/Entries']['Members'].insert(0, fan(3, '2026-12-07T00:00:30Z'))
            self.assertTrue(sb.wait_log('Wait', count=2, timeout=60))
            before = len(Handler.paths)
            self.assertTrue(sb.wait_log('Wait', count=3, timeout=60))
            self.assertEqual([SEL, SEL + '/Entries'], Handler.paths[before:], 'a poll with nothing new')
            self.assertEqual(['01,0,Critical,04,102,2026-12-06 23:00:00,2026-12-06 23:00:00,Fan 1 low,,',
                              '02,0,Critical,04,102,2026-12-06 23:30:00,2026-12-06 23:30:00,Fan 2 low,,',
                              '03,0,Critical,04,102,2026-12-07 00:00:30,2026-12-07 00:00:30,Fan 3 low,,'],
                             sb.datfile().decode().splitlines())
            self.assertEqual(['0xC0018402'], [i['event_id'] for i in sb.indications()])
            self.assertEqual('2026-12-07 00:01:00', sb.get_reg(PARAMS, 'CheckedTime'))
            Handler.delay = 3600
            self.assertTrue(sb.wait_log('DateTime Status=408', timeout=30), sb.oplog()[-1500:])
            start = time.time()
            self.assertTrue(sb.daemon_pid(timeout=1) and sb.stop(timeout=20), 'the service must run, then stop')
            self.assertLess(time.time() - start, 5 + 3, 'a stop during a hanging request waits for the deadline')


if __name__ == '__main__':
    unittest.main()
