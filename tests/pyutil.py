"""Helpers shared by the Python test drivers in tests/ (imported by path:
each driver puts tests/ on sys.path first)."""

failures = []


def check(condition, what):
    """Prints the outcome and records a failure; returns the condition so callers can go on or stop."""
    print(("ok   " if condition else "FAIL ") + what)
    if not condition:
        failures.append(what)
    return condition


def finish():
    """Ends the run failing when any check failed."""
    if failures:
        raise SystemExit("%d check(s) failed" % len(failures))
