"""Running a check in a thread with a small C stack, where recursion as deep as the data overflows."""

from __future__ import annotations

import threading


def run_in_small_stack(fn, stack_bytes=64 * 1024):
    """Runs fn() in a thread with a stack of stack_bytes; returns its result or raises its error."""
    out, errors = [], []

    def body():
        try:
            out.append(fn())
        except BaseException as e:  # pragma: no cover - reported below
            errors.append(e)

    old = threading.stack_size(stack_bytes)
    try:
        t = threading.Thread(target=body)
        t.start()
        t.join()
    finally:
        threading.stack_size(old)
    if errors:
        raise errors[0]
    return out[0] if out else None
