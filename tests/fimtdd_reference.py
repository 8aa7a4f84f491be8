"""Plain-Python model of the FIMT-DD regressor, written from the algorithm's definition.

Samples are visited in the native sample's iteration order (``order(x)``), so that the
perceptron's random weights and its sums come out bit-identical.
"""

from __future__ import annotations

import math

from random_reference import MASK32, MT19937, uniform01


def div(a, b):
    """IEEE division: Python raises where the native code gets an infinity or NaN."""
    if b == 0:
        return math.nan if a == 0 or a != a else math.copysign(math.inf, a) * math.copysign(1.0, b)
    return a / b


def log(v):
    return math.log(v) if v > 0 else (-math.inf if v == 0 else math.nan)


def add(t, y):
    t[0] += 1.0
    t[1] += y
    t[2] += y * y


def scaled(t, v):
    """(value, usable) of v standardised by (count, sum, sum_sq) with divisor 3 sd."""
    n, s, q = t
    if n > 1:
        var = (q - s * s / n) / n
        if var > 0:
            return (v - s / n) / (3 * math.sqrt(var)), True
    return 0.0, False


def spread(n, s, q):
    if n > 1:
        var = (q - s * s / n) / n
        if var > 0:
            return math.sqrt(var)
    return 0.0


class EBST:
    def __init__(self, key, y):
        self.key, self.le, self.left, self.right = key, [1.0, y, y * y], None, None

    def insert(self, v, y):
        node = self
        while True:
            if v <= node.key:
                add(node.le, y)
                if v == node.key:
                    return
                if node.left is None:
                    node.left = EBST(v, y)
                    return
                node = node.left
            else:
                if node.right is None:
                    node.right = EBST(v, y)
                    return
                node = node.right

    def best(self, N, S, Q):
        best_sdr, best_key = -1.0, 0.0
        stack, node, base = [], self, (0.0, 0.0, 0.0)
        whole = spread(N, S, Q)
        while node is not None or stack:
            while node is not None:
                stack.append((node, base))
                node = node.left
            node, b = stack.pop()
            c, s, q = b[0] + node.le[0], b[1] + node.le[1], b[2] + node.le[2]
            if c >= 5 and N - c >= 5:
                sdr = whole - (c / N) * spread(c, s, q) - ((N - c) / N) * spread(N - c, S - s, Q - q)
                if sdr > best_sdr:
                    best_sdr, best_key = sdr, node.key
            base, node = (c, s, q), node.right
        return best_sdr, best_key


class Node:
    def __init__(self):
        self.leaf = True
        self.t = [0.0, 0.0, 0.0]
        self.error_sum = self.visits = self.last_attempt = 0.0
        self.obs = {}
        self.w, self.bias, self.updates, self.init = {}, 0.0, 0.0, False
        self.sse_m = self.sse_p = 0.0
        self.low = self.high = 0.0
        self.bounds = False
        self.feature, self.threshold, self.left, self.right = None, 0.0, None, None
        self.ph_on, self.ph_sum, self.ph_min, self.ph_min_set = True, 0.0, 0.0, False
        self.alt = None
        self.alt_count = self.main_sse = self.alt_sse = self.last_compare = 0.0


class RefFIMTDD:
    def __init__(self, order, grace_period=200, split_confidence=1e-7, tie_threshold=0.05, max_depth=20,
                 leaf_prediction="adaptive", learning_ratio=0.02, learning_rate_decay=0.001,
                 learning_ratio_const=False, page_hinckley_alpha=0.005, page_hinckley_threshold=50.0,
                 alternate_tree_fading_factor=0.995, alternate_tree_t_min=150, alternate_tree_time=1500,
                 drift_detection=True, seed=1):
        self.order = order
        self.grace, self.conf, self.tie, self.max_depth = grace_period, split_confidence, tie_threshold, max_depth
        self.mode = leaf_prediction if leaf_prediction in ("mean", "perceptron") else "adaptive"
        self.lr, self.decay, self.const = learning_ratio, learning_rate_decay, learning_ratio_const
        self.alpha, self.threshold = page_hinckley_alpha, page_hinckley_threshold
        self.fade, self.t_min, self.t_time = alternate_tree_fading_factor, alternate_tree_t_min, alternate_tree_time
        self.drift = drift_detection
        self.root, self.gt, self.gf, self.splits = None, [0.0, 0.0, 0.0], {}, 0
        self.started = self.promoted = self.discarded = 0
        self.rng = MT19937(seed & MASK32)

    # --- predictions -------------------------------------------------------------------------
    @staticmethod
    def route(node, x):
        while not node.leaf:
            node = node.left if x.get(node.feature, 0.0) <= node.threshold else node.right
        return node

    def leaf_mean(self, leaf):
        if leaf.t[0] > 0:
            return leaf.t[1] / leaf.t[0]
        return self.gt[1] / self.gt[0] if self.gt[0] > 0 else 0.0

    def perceptron(self, leaf, x):
        if not leaf.init:
            return 0.0
        a = leaf.bias
        for k in self.order(x):
            s, ok = scaled(self.gf[k], x[k]) if k in self.gf else (0.0, False)
            if k in leaf.w and ok:
                a += leaf.w[k] * s
        n, su, q = self.gt
        if n > 1 and (q - su * su / n) / n > 0:
            return su / n + 3 * a * math.sqrt((q - su * su / n) / n)
        return su / n if n > 0 else 0.0

    @staticmethod
    def bounded(leaf, p):
        return max(leaf.low, min(p, leaf.high)) if leaf.bounds else p

    def value(self, leaf, x):
        if self.mode == "mean":
            return self.leaf_mean(leaf)
        if self.mode == "perceptron":
            return self.perceptron(leaf, x)
        p = self.bounded(leaf, self.perceptron(leaf, x))
        return p if leaf.sse_p < leaf.sse_m else self.leaf_mean(leaf)

    def predict_one(self, x):
        return 0.0 if self.root is None else self.value(self.route(self.root, x), x)

    # --- learning ----------------------------------------------------------------------------
    def learn_one(self, x, y):
        if self.root is None:
            self.root = Node()
        add(self.gt, y)
        for k in self.order(x):
            add(self.gf.setdefault(k, [0.0, 0.0, 0.0]), x[k])
        pred = self.value(self.route(self.root, x), x)
        self.nerr = abs(scaled(self.gt, y)[0] - scaled(self.gt, pred)[0])
        self.descend(self.root, False, 0, x, y, pred)

    def descend(self, node, in_alt, depth, x, y, pred):
        trained = False
        while not node.leaf:
            node.error_sum += self.nerr
            node.visits += 1
            if not in_alt and node.alt is not None:
                alt_pred = self.value(self.route(node.alt, x), x)
                node.main_sse = self.fade * node.main_sse + (y - pred) * (y - pred)
                node.alt_sse = self.fade * node.alt_sse + (y - alt_pred) * (y - alt_pred)
                node.alt_count += 1
                train = True
                if node.alt_count - node.last_compare >= self.t_min:
                    node.last_compare = node.alt_count
                    if log(div(node.main_sse + 1e-12, node.alt_sse + 1e-12)) > 0:
                        alt = node.alt
                        node.__dict__.update(alt.__dict__)
                        node.alt, node.ph_on, node.ph_sum, node.ph_min_set = None, True, 0.0, False
                        self.promoted += 1
                        continue
                    if node.alt_count >= self.t_time:
                        node.alt, node.ph_on, node.ph_sum, node.ph_min_set = None, True, 0.0, False
                        self.discarded += 1
                        train = False
                if train:
                    self.descend(node.alt, True, depth, x, y, pred)
                    trained = True
            if self.drift and node.ph_on and not in_alt:
                node.ph_sum += self.nerr - node.error_sum / node.visits - self.alpha
                node.ph_min = min(node.ph_min, node.ph_sum) if node.ph_min_set else node.ph_sum
                node.ph_min_set = True
                if node.ph_sum - node.ph_min > self.threshold:
                    node.alt, node.ph_on = Node(), False
                    node.alt_count = node.main_sse = node.alt_sse = node.last_compare = 0.0
                    self.started += 1
            node = node.left if x.get(node.feature, 0.0) <= node.threshold else node.right
            depth += 1
        self.learn_leaf(node, depth, x, y, in_alt or not trained)

    def learn_leaf(self, leaf, depth, x, y, may_split):
        if self.mode != "mean":
            m, p = self.leaf_mean(leaf), self.bounded(leaf, self.perceptron(leaf, x))
            leaf.sse_m += (m - y) * (m - y)
            leaf.sse_p += (p - y) * (p - y)
        if not leaf.bounds:
            leaf.low = leaf.high = y
            leaf.bounds = True
        else:
            leaf.low, leaf.high = min(leaf.low, y), max(leaf.high, y)
        add(leaf.t, y)
        leaf.visits += 1
        if self.mode != "mean":
            if not leaf.init:
                for k in self.order(x):
                    leaf.w[k] = 2 * uniform01(self.rng) - 1
                leaf.bias = 2 * uniform01(self.rng) - 1
                leaf.init = True
            leaf.updates += 1
            rate = self.lr if self.const else div(self.lr, 1 + leaf.updates * self.decay)
            out = leaf.bias
            for k in self.order(x):
                out += leaf.w.setdefault(k, 0.0) * scaled(self.gf[k], x[k])[0]
            err = scaled(self.gt, y)[0] - out
            for k in self.order(x):
                leaf.w[k] += rate * err * scaled(self.gf[k], x[k])[0]
            leaf.bias += rate * err
        for k in self.order(x):
            if k in leaf.obs:
                leaf.obs[k].insert(x[k], y)
            else:
                leaf.obs[k] = EBST(x[k], y)
        if may_split and depth < self.max_depth and leaf.t[0] - leaf.last_attempt >= self.grace:
            self.attempt(leaf)

    def attempt(self, leaf):
        best = second = None
        for k in sorted(leaf.obs, key=lambda name: name.encode()):
            sdr, key = leaf.obs[k].best(*leaf.t)
            if not sdr > 0:
                continue
            if best is None or sdr > best[0]:
                best, second = (sdr, key, k), best
            elif second is None or sdr > second[0]:
                second = (sdr, key, k)
        leaf.last_attempt = leaf.t[0]
        if best is None:
            return
        if second is not None:
            eps = log(div(1, self.conf)) / (2 * leaf.t[0])
            eps = math.sqrt(eps) if eps >= 0 else math.nan
            if not (second[0] / best[0] < 1 - eps or eps < self.tie):
                return
        leaf.leaf, leaf.feature, leaf.threshold, leaf.obs = False, best[2], best[1], {}
        leaf.left, leaf.right = Node(), Node()
        if self.mode != "mean":
            for child in (leaf.left, leaf.right):
                child.w, child.bias, child.updates, child.init = dict(leaf.w), leaf.bias, leaf.updates, leaf.init
        self.splits += 1
