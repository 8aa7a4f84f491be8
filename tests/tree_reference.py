"""Plain-Python model of the Hoeffding tree classifier, written from the algorithm's definition.

Tables are dicts (insertion order), like the native leaf tables: classes in the
order they reached the leaf. ``nodes()`` lists the tree in the probe's format.
"""

from __future__ import annotations

import math
import sys

import random_reference as rnd

NEG_INF = -math.inf


def total(values):
    """Left-to-right sum (the built-in sum compensates rounding since Python 3.12)."""
    acc = 0.0
    for v in values:
        acc += v
    return acc


def normalise_terms(terms, log_terms):
    """Divide by the sum when it is a normal positive number; when it underflowed or
    overflowed, normalise exp(log - max log) instead (unless a log is NaN)."""
    norm = total(terms.values())
    if not (sys.float_info.min <= norm <= sys.float_info.max) and not math.isnan(norm) and terms:
        logs = log_terms()
        if not any(math.isnan(v) for v in logs.values()):
            top = max(logs.values())
            shifted = {c: 1.0 if v == top else math.exp(v - top) for c, v in logs.items()}
            norm = total(shifted.values())
            return {c: v / norm for c, v in shifted.items()}
    return {c: p / norm for c, p in terms.items()} if norm > 0 else terms


class Stats:
    def __init__(self):
        self.n = self.mean = self.m2 = self.min = self.max = 0.0

    def update(self, v):
        if self.n <= 0:
            self.min = self.max = v
        elif v < self.min:
            self.min = v
        elif v > self.max:
            self.max = v
        self.n += 1
        d = v - self.mean
        self.mean += d / self.n
        self.m2 += (v - self.mean) * d

    def var(self):
        return self.m2 / (self.n - 1) if self.n > 1 else 0.0

    def density(self, t):
        if self.n < 2:
            return 0.0
        v = self.var()
        if v <= 0:
            return 1.0 if self.mean == t else 0.0
        return math.exp(-((t - self.mean) ** 2) / (2 * v)) / math.sqrt(6.283185307179586 * v)


def phi(z):
    return (1 + math.erf(z / 1.4142135623730951)) / 2


def gini(pre, pre_total, branches):
    if not branches:
        return 0.0
    w_all = total([w for _, w in branches])
    if w_all <= 0:
        return 0.0
    acc = 0.0
    for dist, w in branches:
        g = 1 - total([(c / w) ** 2 for c in dist.values()]) if w > 0 else 0.0
        acc += (w / w_all) * g
    return 1 - acc


def entropy(dist, w):
    if w <= 0:
        return 0.0
    return -total([(c / w) * math.log2(c / w) for c in dist.values() if c > 0])


def info_gain(pre, pre_total, branches):
    if not branches:
        return NEG_INF
    w_all = total([w for _, w in branches])
    if w_all <= 0 or sum(1 for _, w in branches if w / w_all > 0.01) < 2:
        return NEG_INF
    return entropy(pre, pre_total) - total([(w / w_all) * entropy(d, w) for d, w in branches])


class Node:
    def __init__(self, counts=None):
        self.is_leaf = True
        self.observers: dict[int, dict[str, Stats]] = {}
        self.counts: dict[int, float] = dict(counts or {})
        self.total = total(self.counts.values())
        self.mc = self.nb = 0.0
        self.feature, self.threshold, self.left, self.right = "", 0.0, None, None

    def majority(self):
        best = None
        for c, w in self.counts.items():
            if best is None or w > self.counts[best]:
                best = c
        return 0 if best is None else best

    def nb_scores(self, x):
        if self.total <= 0:
            return {}
        out = {}
        for c, w in self.counts.items():
            score = math.log(w / self.total)
            for name, v in x.items():
                s = self.observers.get(c, {}).get(name)
                if s is not None:
                    score += math.log(max(s.density(v), 1e-300))
            out[c] = score
        return out


class ReferenceTree:
    def __init__(self, grace_period=200, split_confidence=1e-7, tie_threshold=0.05,
                 nb_threshold=0, max_depth=20, split_criterion="info_gain", *,
                 n_split_points=10, leaf_prediction="nba", no_pre_prune=False):
        self.grace_period, self.split_confidence = grace_period, split_confidence
        self.tie_threshold, self.nb_threshold, self.max_depth = tie_threshold, nb_threshold, max_depth
        self.split_criterion, self.n_split_points = split_criterion, n_split_points
        self.leaf_prediction, self.no_pre_prune = leaf_prediction, no_pre_prune
        self.subspace_size = 0
        self.rng = rnd.MT19937(0)
        self.reset()

    def reset(self):
        self.root, self.classes = Node(), set()

    def set_subspace(self, size, seed):
        self.subspace_size, self.rng = size, rnd.MT19937(seed)

    def route(self, x):
        node, depth = self.root, 0
        while not node.is_leaf:
            node = node.left if x.get(node.feature, 0.0) <= node.threshold else node.right
            depth += 1
        return node, depth

    def learn_one(self, x, y):
        self.classes.add(y)
        leaf, depth = self.route(x)
        if self.leaf_prediction != "mc" and leaf.total > 0:
            if leaf.majority() == y:
                leaf.mc += 1
            best, label = NEG_INF, None
            for c, s in leaf.nb_scores(x).items():
                if s > best:
                    best, label = s, c
            if label is not None and label == y:
                leaf.nb += 1
        leaf.counts[y] = leaf.counts.get(y, 0.0) + 1.0
        leaf.total += 1.0
        for name, v in x.items():
            leaf.observers.setdefault(y, {}).setdefault(name, Stats()).update(v)
        if (self.grace_period != 0 and int(leaf.total) % self.grace_period == 0
                and depth < self.max_depth and leaf.total >= 2 and len(self.classes) >= 2):
            self._attempt(leaf)

    def _side_weights(self, leaf, name, t):
        left, right = {}, {}
        for c in leaf.counts:
            s = leaf.observers.get(c, {}).get(name)
            if s is None or s.n <= 0:
                continue
            if t < s.min:
                right[c] = right.get(c, 0.0) + s.n
            elif s.max <= t:
                left[c] = left.get(c, 0.0) + s.n
            else:
                eq = s.n * s.density(t)
                lt = s.n * phi((t - s.mean) / math.sqrt(s.var())) - eq
                left[c] = left.get(c, 0.0) + (eq + lt)
                right[c] = right.get(c, 0.0) + max(0.0, s.n - eq - lt)
        return left, right

    def _best_threshold(self, leaf, name, merit):
        stats = [leaf.observers[c][name] for c in leaf.counts
                 if name in leaf.observers.get(c, {}) and leaf.observers[c][name].n > 0]
        if not stats:
            return None
        lo, hi = min(s.min for s in stats), max(s.max for s in stats)
        if not lo < hi:
            return None
        step = (hi - lo) / (self.n_split_points + 1)
        grid = sorted({t for i in range(1, self.n_split_points + 1)
                       if lo < (t := lo + i * step) < hi})
        if not grid:
            return None
        best = (NEG_INF, 0.0, {}, {})
        for t in grid:
            left, right = self._side_weights(leaf, name, t)
            m = merit(leaf.counts, leaf.total, [(left, total(left.values())), (right, total(right.values()))])
            if m > best[0]:
                best = (m, t, left, right)
        return (False, name) + best

    def _attempt(self, leaf):
        names = sorted({n for per in leaf.observers.values() for n in per})
        if not names:
            return
        gini_mode = self.split_criterion == "gini"
        merit = gini if gini_mode else info_gain
        r = 1.0 if gini_mode else math.log2(len(self.classes))
        eps = math.sqrt(r * r * math.log(1 / self.split_confidence) / (2 * leaf.total))
        cands = []
        if not self.no_pre_prune:
            cands.append((True, None, merit(leaf.counts, leaf.total, [(leaf.counts, leaf.total)]), 0.0, {}, {}))
        if 0 < self.subspace_size < len(names):
            rnd.shuffle(self.rng, names)
            names = names[: self.subspace_size]
        for name in names:
            c = self._best_threshold(leaf, name, merit)
            if c is not None:
                cands.append(c)
        if not cands:
            return
        bi = 0
        for i, c in enumerate(cands):
            if c[2] > cands[bi][2]:
                bi = i
        best = cands[bi]
        second = max((c[2] for i, c in enumerate(cands) if i != bi), default=NEG_INF)
        if best[2] == NEG_INF or best[0]:
            return
        if len(cands) == 1 or best[2] - second > eps or eps < self.tie_threshold:
            leaf.is_leaf, leaf.feature, leaf.threshold = False, best[1], best[3]
            leaf.left = Node({c: w for c, w in best[4].items() if w > 0})
            leaf.right = Node({c: w for c, w in best[5].items() if w > 0})
            leaf.observers, leaf.counts, leaf.total = {}, {}, 0.0

    def nodes(self):
        out, stack = [], [(self.root, 0)]
        while stack:
            node, depth = stack.pop()
            out.append({
                "depth": depth, "is_leaf": node.is_leaf, "split_feature": node.feature,
                "split_threshold": node.threshold, "class_counts": dict(node.counts),
                "total_weight": node.total, "mc_correct": node.mc, "nb_correct": node.nb,
            })
            if not node.is_leaf:
                stack += [(node.right, depth + 1), (node.left, depth + 1)]
        return out

    def _mode_nb(self, leaf):
        if self.leaf_prediction == "mc" or leaf.total < self.nb_threshold:
            return False
        return self.leaf_prediction == "nb" or leaf.mc < leaf.nb

    def predict_one(self, x):
        leaf, _ = self.route(x)
        label = leaf.majority()
        if self._mode_nb(leaf):
            best = NEG_INF
            for c, s in leaf.nb_scores(x).items():
                if s > best:
                    best, label = s, c
        return label

    def predict_proba_one(self, x):
        leaf, _ = self.route(x)
        if leaf.total <= 0:
            return {c: 1 / len(self.classes) for c in self.classes}
        if not self._mode_nb(leaf):
            out = {c: w / leaf.total for c, w in leaf.counts.items()}
        else:
            out = {}
            for c, w in leaf.counts.items():
                p = w / leaf.total
                for name, v in x.items():
                    s = leaf.observers.get(c, {}).get(name)
                    if s is not None:
                        p *= max(s.density(v), 1e-300)
                out[c] = p
            out = normalise_terms(out, lambda: leaf.nb_scores(x))
        for c in self.classes:
            out.setdefault(c, 0.0)
        return out
