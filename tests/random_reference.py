"""Plain-Python model of the seeded draws, written from the algorithms' definitions.

MT19937 is implemented here from its recurrence (not taken from the ``random``
module, whose seeding differs), and every draw counts the raw outputs it takes.
"""

from __future__ import annotations

import math

MASK32 = 0xFFFFFFFF
MAX_DOUBLE = 1.7976931348623157e308
FACTORIALS = [1, 1, 2, 6, 24, 120, 720, 5040, 40320, 362880]


class MT19937:
    def __init__(self, seed: int):
        self.state = [seed & MASK32]
        for i in range(1, 624):
            prev = self.state[-1]
            self.state.append((1812433253 * (prev ^ (prev >> 30)) + i) & MASK32)
        self.index = 624
        self.consumed = 0

    def _twist(self) -> None:
        s = self.state
        for i in range(624):
            y = (s[i] & 0x80000000) | (s[(i + 1) % 624] & 0x7FFFFFFF)
            v = s[(i + 397) % 624] ^ (y >> 1)
            s[i] = v ^ 0x9908B0DF if y & 1 else v
        self.index = 0

    def raw(self) -> int:
        if self.index >= 624:
            self._twist()
        y = self.state[self.index]
        self.index += 1
        self.consumed += 1
        y ^= y >> 11
        y ^= (y << 7) & 0x9D2C5680
        y ^= (y << 15) & 0xEFC60000
        y ^= y >> 18
        return y & MASK32


def uniform01(g: MT19937) -> float:
    a = g.raw()
    b = g.raw()
    return float(a + b * 2**32) * 2.0**-64


def uniform_int(g: MT19937, a: int, b: int) -> int:
    r = b - a + 1
    if r == 1:
        return a
    w = (r - 1).bit_length()
    while True:
        u = g.raw() if w <= 32 else g.raw() | (g.raw() << 32)
        u &= (1 << w) - 1
        if u < r:
            return a + u


def standard_normal(g: MT19937) -> float:
    while True:
        u = 2.0 * uniform01(g) - 1.0
        v = 2.0 * uniform01(g) - 1.0
        q = u * u + v * v
        if not (q > 1.0 or q == 0.0):
            return u * math.sqrt(-2.0 * math.log(q) / q)


def exponential(g: MT19937) -> float:
    return -math.log(1.0 - uniform01(g))


def clamp(k: float) -> int:
    if k >= 2147483648.0:
        return 2147483647
    if k <= -2147483648.0:
        return -2147483648
    return int(k)


def poisson(g: MT19937, mu: float) -> int:
    if math.isinf(mu):
        mu = MAX_DOUBLE
    if mu < 10:
        k, p, limit = 0, uniform01(g), math.exp(-mu)
        while p > limit:
            k += 1
            p *= uniform01(g)
        return k
    s = math.sqrt(mu)
    d = 6.0 * mu * mu
    big_l = math.trunc(mu - 1.1484)
    omega = 0.3989423 / s
    b1 = 0.04166667 / mu
    b2 = 0.3 * b1 * b1
    c3 = 0.1428571 * b1 * b2
    c2 = b2 - 15.0 * c3
    c1 = b1 - 6.0 * b2 + 45.0 * c3
    c0 = 1.0 - b1 + 3.0 * b2 - 15.0 * c3
    c = 0.1069 / mu

    g_val = mu + s * standard_normal(g)
    exp_pass = True
    k = fk = u = 0.0
    if g_val > 0:
        k = float(math.trunc(g_val))
        if k >= big_l:
            return clamp(k)
        fk = mu - k
        u = uniform01(g)
        if d * u >= fk * fk * fk:
            return clamp(k)
        exp_pass = False
    while True:
        e = 0.0
        if exp_pass:
            while True:
                e = exponential(g)
                u = uniform01(g)
                u = 2.0 * u - 1.0
                t = 1.8 + (-e if u < 0 else e)
                if t > -0.6744:
                    break
            k = float(math.trunc(mu + s * t))
            fk = mu - k
        if 0 <= k < 10:
            px = -mu
            py = mu**k / FACTORIALS[int(k)]
        else:
            dl = 0.08333333 / k
            dl = dl - 4.8 * dl * dl * dl
            v = fk / k
            if abs(v) > 0.25:
                px = k * math.log(1.0 + v) - fk - dl
            else:
                poly = (((((((0.1250060 * v - 0.1384794) * v + 0.1421878) * v - 0.1661269) * v
                           + 0.2000118) * v - 0.2500068) * v + 0.3333333) * v - 0.5)
                px = k * v * v * poly - dl
            py = 0.3989423 / math.sqrt(k)
        r = (0.5 - fk) / s
        r2 = r * r
        fx = -0.5 * r2
        fy = omega * (((c3 * r2 + c2) * r2 + c1) * r2 + c0)
        if exp_pass:
            if c * abs(u) <= py * math.exp(px + e) - fy * math.exp(fx + e):
                return clamp(k)
        elif fy - u * fy <= py * math.exp(px - fx):
            return clamp(k)
        exp_pass = True


def shuffle(g: MT19937, items: list) -> None:
    n = len(items)
    for i in range(n - 1):
        j = uniform_int(g, 0, n - 1 - i)
        if j:
            items[i], items[i + j] = items[i + j], items[i]
