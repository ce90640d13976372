# -*- coding: utf-8 -*-
"""Hostile controller: every call returns a randomly malformed result (or
raises), seeded by the call count so a failing poll can be replayed."""
import random
import sys

PY3 = sys.version_info[0] >= 3
if PY3:
    unichr = chr  # noqa: A001
    long = int  # noqa: A001
calls = [0]
KEYS = ['EventNumber', 'Message', 'RecommendedAction', 'Severity', 'Created', 'Updated', 'Class', 'Code',
        'Repaired']


class Raising(object):
    def __int__(self):
        raise ValueError('no int')
    __index__ = __int__

    def __str__(self):
        raise ValueError('no str')


class Mutator(object):
    """A key whose comparison empties the list being walked."""

    def __init__(self, victim, h):
        self.victim = victim
        self.h = h

    def __hash__(self):
        return self.h

    def __eq__(self, other):
        del self.victim[:]
        return False


def text(rng):
    kind = rng.randint(0, 9)
    if kind == 0:
        return u''
    if kind == 1:
        return u'\x00' + u'x' * rng.randint(0, 30)
    if kind == 2:
        return u'\u3042\u65e5\u672c' * rng.randint(1, 50)
    if kind == 3:
        return u'\U0001F600 emoji'
    if kind == 4 and PY3:
        return u'lone \ud800 surrogate'
    if kind == 5:
        return u'x' * rng.choice([19, 18, 20, 127, 128, 200000])
    if kind == 6:
        return u'2026-12-%02dT%02d:00:00' % (rng.randint(1, 28), rng.randint(0, 23))
    return u''.join(unichr(rng.randint(1, 0x2FFF)) for _ in range(rng.randint(1, 40)))


def value(rng, depth=0):
    kind = rng.randint(0, 16)
    if kind == 0:
        return None
    if kind == 1:
        return rng.randint(-2 ** 31, 2 ** 31 - 1)
    if kind == 2:
        return long(rng.choice([2 ** 31, -2 ** 31 - 1, 2 ** 64, -1, 0, 127, 128, 65535, 65536]))
    if kind == 3:
        return rng.random() * 1e6
    if kind == 4:
        return text(rng)
    if kind == 5:
        t = text(rng)
        return t.encode('utf-8', 'replace') if PY3 else t.encode('utf-8', 'replace')
    if kind == 6:
        return True
    if kind == 7:
        return Raising()
    if kind == 8 and depth < 3:
        return [value(rng, depth + 1) for _ in range(rng.randint(0, 3))]
    if kind == 9:
        cyc = []
        cyc.append(cyc)
        return cyc
    if kind == 10:
        deep = []
        for _ in range(2000):
            deep = [deep]
        return deep
    if kind == 11 and depth < 3:
        return dict((k, value(rng, depth + 1)) for k in rng.sample(KEYS, 3))
    if kind == 12:
        return u'2026-12-07T%02d:%02d:%02d' % (rng.randint(0, 23), rng.randint(0, 59), rng.randint(0, 59))
    if kind == 13:
        return 'Critical' if rng.random() < 0.5 else 'Warning'
    return rng.randint(0, 200)


def entry(rng, victim):
    if rng.random() < 0.1:
        return value(rng)
    d = {}
    for k in KEYS:
        if rng.random() < 0.8:
            d[k] = value(rng)
    if rng.random() < 0.05:
        d[Mutator(victim, hash('Class'))] = 1
    return d


def get_datetime():
    calls[0] += 1
    rng = random.Random(calls[0] * 2)
    kind = rng.randint(0, 9)
    if kind == 0:
        raise RuntimeError('clock failed')
    if kind == 1:
        return None
    if kind == 2:
        return (200,)
    if kind == 3:
        return (rng.choice([404, 500, 5, -1]), u'2026-12-07T00:00:00')
    if kind == 4:
        return (200, value(rng))
    if kind == 5:
        return [200, u'2026-12-07T00:00:00']
    return (200, u'2026-12-07T%02d:00:00.5' % rng.randint(0, 23))


def get_iml():
    rng = random.Random(calls[0] * 2 + 1)
    kind = rng.randint(0, 12)
    if kind == 0:
        raise ValueError('iml failed')
    if kind == 1:
        return value(rng)
    if kind == 2:
        return (200,)
    if kind == 3:
        return (200, value(rng))
    if kind == 4:
        return (500, [])
    if kind == 5:
        return (200, [], 'extra')
    if kind == 6:
        return (200, [entry(rng, []) for _ in range(rng.choice([0, 1, 1000]))])
    victim = []
    victim.extend(entry(rng, victim) for _ in range(rng.randint(0, 6)))
    return (200, victim)


def object_count():
    """Objects the interpreter holds: memory blocks where it can count them
    (strings and numbers are not tracked by the collector), else objects."""
    import gc
    gc.collect()
    if hasattr(sys, 'getallocatedblocks'):
        return sys.getallocatedblocks()
    return len(gc.get_objects())
