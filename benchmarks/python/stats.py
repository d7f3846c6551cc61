"""Summaries that hold up on a noisy machine, and the one shape every figure
takes in the report."""

import statistics
from dataclasses import dataclass


def median(values):
    return statistics.median(values)


def quartiles(values):
    """First and third quartile, for the spread shown next to a median."""
    q1, _, q3 = statistics.quantiles(values, n=4, method="inclusive")
    return q1, q3


def paired_median(a, b):
    """Median of a[i] - b[i]: samples taken side by side, so that a slow spell
    of the machine cancels out instead of landing on one side."""
    return statistics.median(x - y for x, y in zip(a, b, strict=True))


def us(nanoseconds):
    return f"{nanoseconds / 1000:.1f} µs"


@dataclass
class Figure:
    name: str
    measured: str
    goal: str
    met: bool | None  # None: informative only, no goal applies


def verdict(met):
    return "n/a" if met is None else ("met" if met else "MISSED")
