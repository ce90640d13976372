# -*- coding: utf-8 -*-
# Hostile controller: every call returns a randomly malformed result (or raises),
# seeded by the call count so that a failing poll can be replayed.
import gc
import random
import sys

if sys.version_info[0] >= 3:
    unichr, long = chr, int
calls = [0]
KEYS = ['EventNumber', 'Message', 'RecommendedAction', 'Severity', 'Created', 'Updated', 'Class', 'Code', 'Repaired']


class Raising(object):
    def __int__(self):
        raise ValueError('no int')
    __index__ = __str__ = __int__


class Mutator(object):
    # A key whose comparison empties the list being walked.
    def __init__(self, victim):
        self.victim = victim
    __hash__ = lambda self: hash('Class')

    def __eq__(self, other):
        del self.victim[:]


def nested(make, depth):
    for _ in range(depth):
        make = [make]
    return make


def text(rng):
    return rng.choice([u'', u'\x00' + u'x' * rng.randint(0, 30), u'\u3042\u65e5\u672c' * rng.randint(1, 50),
                       u'\U0001F600 emoji', u'lone \ud800 surrogate' if unichr is chr else u'',
                       u'x' * rng.choice([18, 19, 20, 127, 128, 200000]),
                       u'2026-12-%02dT%02d:00:00' % (rng.randint(1, 28), rng.randint(0, 23)),
                       u''.join(unichr(rng.randint(1, 0x2FFF)) for _ in range(rng.randint(1, 40)))])


def value(rng, depth=0):
    cyc = []
    cyc.append(cyc)
    kinds = [lambda: None, lambda: rng.randint(-2 ** 31, 2 ** 31 - 1),
             lambda: long(rng.choice([2 ** 31, -2 ** 31 - 1, 2 ** 64, -1, 0, 127, 128, 65535, 65536])),
             lambda: rng.random() * 1e6, lambda: text(rng), lambda: text(rng).encode('utf-8', 'replace'),
             lambda: True, Raising, lambda: cyc, lambda: nested([], 2000),
             lambda: u'2026-12-07T%02d:%02d:%02d' % (rng.randint(0, 23), rng.randint(0, 59), rng.randint(0, 59)),
             lambda: rng.choice(['Critical', 'Warning']), lambda: rng.randint(0, 200)]
    if depth < 3:
        kinds += [lambda: [value(rng, depth + 1) for _ in range(rng.randint(0, 3))],
                  lambda: dict((k, value(rng, depth + 1)) for k in rng.sample(KEYS, 3))]
    return rng.choice(kinds)()


def entry(rng, victim):
    if rng.random() < 0.1:
        return value(rng)
    d = dict((k, value(rng)) for k in KEYS if rng.random() < 0.8)
    if rng.random() < 0.05:
        d[Mutator(victim)] = 1
    return d


def get_datetime():
    calls[0] += 1
    rng = random.Random(calls[0] * 2)
    kind = rng.randint(0, 9)
    if kind == 0:
        raise RuntimeError('clock failed')
    return [None, (200,), (rng.choice([404, 500, 5, -1]), u'2026-12-07T00:00:00'), (200, value(rng)),
            [200, u'2026-12-07T00:00:00']][kind - 1] if kind <= 5 else (200, u'2026-12-07T%02d:00:00.5' % rng.randint(0, 23))


def get_iml():
    rng = random.Random(calls[0] * 2 + 1)
    kind = rng.randint(0, 12)
    if kind == 0:
        raise ValueError('iml failed')
    if kind == 6:
        return (200, [entry(rng, []) for _ in range(rng.choice([0, 1, 1000]))])
    if kind > 6:
        victim = []
        victim.extend(entry(rng, victim) for _ in range(rng.randint(0, 6)))
        return (200, victim)
    return [None, value(rng), (200,), (200, value(rng)), (500, []), (200, [], 'extra')][kind - 1] if kind > 1 else value(rng)


# Memory blocks where the interpreter counts them (the collector does not track strings or numbers), else objects.
def object_count():
    gc.collect()
    return sys.getallocatedblocks() if hasattr(sys, 'getallocatedblocks') else len(gc.get_objects())
