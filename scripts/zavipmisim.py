"""An IPMI controller simulator on loopback for the tests, the demo and the measurements (Python 2.7
and 3): OpenIPMI's ipmi_sim (Debian package openipmi) configured here with one LAN channel, one user,
an empty SEL with room and two named sensors, changed with ipmitool (package ipmitool).

Known on this simulator: the FreeIPMI tools need workaround_flags = opensesspriv; ipmitool's lanplus
needs cipher suite 3 (-C 3) or each call waits about 10 s; the SEL clock starts pre-init until set
(the raw Set SEL Time is used); the simulator stamps records itself; record IDs keep rising after a
clear.
"""
import os
import shutil
import signal
import socket
import subprocess
import tempfile
import time

USER, PASSWORD = 'monitor', 's3cret-pw'
LAN = '''name "zavsim"
set_working_mc 0x20
  startlan 1
    addr 127.0.0.1 %d
    priv_limit admin
    allowed_auths_callback none md2 md5 straight
    allowed_auths_user none md2 md5 straight
    allowed_auths_operator none md2 md5 straight
    allowed_auths_admin none md2 md5 straight
    guid a123456789abcdefa123456789abcdef
  endlan
  user 2 true "%s" "%s" admin 10 none md2 md5 straight
'''
# Sensor number: (type, event/reading type, name); the ones the events below name.
SENSORS = {0x30: (0x01, 0x01, 'Inlet Temp'), 0x31: (0x07, 0x6F, 'CPU1 Status'), 0x32: (0x04, 0x01, 'Fan 3')}
# Event bytes after the generator ID: revision, sensor type, number, direction|type, data 1 to 3.
INLET_HOT = (0x04, 0x01, 0x30, 0x01, 0x59, 0x50, 0x48)      # Upper Critical - going high: 0x01/0x0109
INLET_COOL = (0x04, 0x01, 0x30, 0x81, 0x59, 0x50, 0x48)     # its deassertion
CPU_BIST = (0x04, 0x07, 0x31, 0x6F, 0x02, 0xFF, 0xFF)       # FRB1/BIST failure: 0x07/0x6F02
FAN_LOW = (0x04, 0x04, 0x32, 0x01, 0x52, 0x00, 0x00)        # Lower Critical - going low: 0x04/0x0102


def _sdr(number, stype, etype, name):
    """A compact sensor record, so the tools print the sensor's name."""
    body = [0x20, 0x00, number, 0x37, 0x01, 0x7F, 0x68, stype, etype, 0xFF, 0x0F, 0xFF, 0x0F, 0xFF, 0x0F,
            0, 0x01, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xC0 | len(name)] + [ord(c) for c in name]
    return [number, 0, 0x51, 0x02, len(body)] + body                 # the sensor number as record ID


def _free_udp_port():
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.bind(('127.0.0.1', 0))
    port = s.getsockname()[1]
    s.close()
    return port


class IpmiSim(object):
    def __init__(self, records=(), capacity=4000):
        """Starts the simulator with records (event tuples as above) already in its SEL."""
        self.dir = tempfile.mkdtemp(prefix='zavipmisim-')
        self.port = _free_udp_port()
        self.host = '127.0.0.1:%d' % self.port
        with open(os.path.join(self.dir, 'lan.conf'), 'w') as f:
            f.write(LAN % (self.port, USER, PASSWORD))
        lines = ['mc_setbmc 0x20', 'mc_add 0x20 0 no-device-sdrs 0x23 9 8 0x9f 0x1291 0xf02',
                 'sel_enable 0x20 %d 0x0a' % capacity]
        lines += ['main_sdr_add 0x20 ' + ' '.join('0x%02x' % b for b in _sdr(n, *SENSORS[n])) for n in sorted(SENSORS)]
        lines += ['sel_add 0x20 0x02 ' + ' '.join('0x%02x' % b for b in (0, 0, 0, 0, 0x20, 0) + tuple(r))
                  for r in records]
        lines.append('mc_enable 0x20')
        with open(os.path.join(self.dir, 'sim.emu'), 'w') as f:
            f.write('\n'.join(lines) + '\n')
        os.mkdir(os.path.join(self.dir, 'state'))
        self.log = open(os.path.join(self.dir, 'sim.log'), 'w')
        self.proc = subprocess.Popen(['ipmi_sim', '-n', '-c', 'lan.conf', '-f', 'sim.emu', '-s', 'state'],
                                     cwd=self.dir, stdin=subprocess.PIPE, stdout=self.log,
                                     stderr=subprocess.STDOUT)
        deadline = time.time() + 20
        while self.ipmitool('raw', '0x0a', '0x40', check=False)[0] != 0:
            if self.proc.poll() is not None or time.time() > deadline:
                self.close()
                raise RuntimeError('ipmi_sim did not come up on %s' % self.host)
            time.sleep(0.1)

    def ipmitool(self, *args, **kw):
        p = subprocess.Popen(['ipmitool', '-I', 'lanplus', '-C', '3', '-H', '127.0.0.1', '-p', str(self.port),
                              '-U', USER, '-P', PASSWORD, '-N', '1', '-R', '2'] + list(args),
                             stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        out = p.communicate()[0].decode('utf-8', 'replace')
        if kw.get('check', True) and p.returncode != 0:
            raise RuntimeError('ipmitool %s: %s' % (' '.join(args), out.strip()))
        return p.returncode, out

    def add(self, *events):
        """Adds system event records through Add SEL Entry; their IDs."""
        ids = []
        for e in events:
            out = self.ipmitool('raw', '0x0a', '0x44', '0', '0', '0x02', '0', '0', '0', '0', '0x20', '0',
                                *['0x%02x' % b for b in e])[1].split()
            ids.append(int(out[0], 16) | int(out[1], 16) << 8)
        return ids

    def clear(self):
        self.ipmitool('sel', 'clear')

    def set_clock(self, stamp):
        """Sets the SEL clock (seconds since 1970, UTC) with the raw Set SEL Time."""
        self.ipmitool('raw', '0x0a', '0x49', *['0x%02x' % (stamp >> s & 0xFF) for s in (0, 8, 16, 24)])

    def pause(self):
        """The simulator stops answering."""
        os.kill(self.proc.pid, signal.SIGSTOP)

    def resume(self):
        os.kill(self.proc.pid, signal.SIGCONT)

    def close(self):
        if self.proc.poll() is None:
            os.kill(self.proc.pid, signal.SIGKILL)
            self.proc.wait()
        self.proc.stdin.close()
        self.log.close()
        shutil.rmtree(self.dir, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
