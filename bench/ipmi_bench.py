"""What the IPMI backend costs against a simulated IPMI controller on loopback (ipmi_sim, see
scripts/zavipmisim.py): tool runs and seconds of a first read of N records, a steady poll, a poll with
5 new records; get_iml against a controller that stops answering; and, with ZAV_STAGE set, the
installed daemon's stop time while the controller is silent.

    PYTHONPATH=scripts python3 bench/ipmi_bench.py 3000
    ZAV_STAGE=$PWD/build-py3/stage PYTHONPATH=scripts python3 bench/ipmi_bench.py 3000
"""
import os
import shutil
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [os.path.join(HERE, os.pardir, 'controller'), os.path.join(HERE, os.pardir, 'scripts')]
import zavipmi  # noqa: E402
from zavipmisim import FAN_LOW, INLET_HOT, PASSWORD, USER, IpmiSim  # noqa: E402


def timed(controller, call):
    runs, start = controller.runs, time.time()
    status, value = getattr(controller, call)()
    return status, len(value) if isinstance(value, list) else value, controller.runs - runs, time.time() - start


def module(count, tmp):
    secret = os.path.join(tmp, 'ipmi.secret')
    with open(secret, 'w') as f:
        f.write(PASSWORD + '\n')
    os.chmod(secret, 0o600)
    print('simulator start with %d records...' % count)
    with IpmiSim([INLET_HOT] * count, capacity=max(count * 2, 100)) as sim:
        sim.set_clock(int(time.time()))
        settings = dict(driver='lan', host=sim.host, username=USER, password_file=secret,
                        workaround_flags='opensesspriv', timeout='10', deadline='60')
        os.environ['CACHE_DIRECTORY'] = os.path.join(tmp, 'cache')
        controller = zavipmi.Controller(zavipmi.Settings(lambda key: settings.get(key)), lambda *a: None)
        print('%-34s %7s %8s %5s %9s' % ('call', 'status', 'entries', 'runs', 'seconds'))
        rows = [('get_datetime', 'get_datetime'), ('get_iml: first read (SDR cache made)', 'get_iml'),
                ('get_iml: nothing new', 'get_iml'), ('get_datetime', 'get_datetime')]
        for name, call in rows:
            print('%-34s %7d %8s %5d %9.3f' % ((name,) + timed(controller, call)))
        sim.add(*[FAN_LOW] * 5)
        print('%-34s %7d %8s %5d %9.3f' % (('get_iml: 5 new records',) + timed(controller, 'get_iml')))
        fresh = zavipmi.Controller(zavipmi.Settings(lambda key: settings.get(key)), lambda *a: None)
        print('%-34s %7d %8s %5d %9.3f' % (('get_iml: whole read, cache warm',) + timed(fresh, 'get_iml')))
        sim.pause()
        print('%-34s %7d %8s %5d %9.3f' % (('get_iml: controller silent',) + timed(controller, 'get_iml')))
        sim.resume()


def daemon_stop(tmp):
    from zavsandbox import INSTALL, Sandbox
    secret = INSTALL + '/data/ipmi.secret'
    with IpmiSim([INLET_HOT]) as sim, Sandbox() as sb:
        sim.set_clock(int(time.time()))
        sb.preset(MonitorInterval=10)
        with open(sb.path('data/controller.ini'), 'w') as f:
            f.write('[controller]\nbackend = ipmi\n[ipmi]\ndriver = lan\nhost = %s\nusername = %s\npassword_file = '
                    '%s\nworkaround_flags = opensesspriv\ntimeout = 10\ndeadline = 30\n' % (sim.host, USER, secret))
        with open(sb.path('data/ipmi.secret'), 'w') as f:
            f.write(PASSWORD + '\n')
        os.chmod(sb.path('data/ipmi.secret'), 0o600)
        sb.start_core()
        sb.start()
        sb.wait_log('Wait', timeout=60)
        sim.pause()
        time.sleep(10.5)                                 # the next poll is under way, its tool waiting
        start = time.time()
        sb.stop(timeout=90)
        print('daemon stop while the controller is silent (timeout 10, deadline 30): %.1f s' % (time.time() - start))
        sim.resume()


if __name__ == '__main__':
    tmp = tempfile.mkdtemp(prefix='zavipmibench-')
    try:
        module(int(sys.argv[1]) if sys.argv[1:] else 3000, tmp)
        if os.environ.get('ZAV_STAGE'):
            daemon_stop(tmp)
    finally:
        shutil.rmtree(tmp, ignore_errors=True)
