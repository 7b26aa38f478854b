"""Physical values of scaled integer fields: physical = raw * scale + offset.

The arithmetic is exact on the numbers as written: a float is read as the
shortest decimal that gives it back (`repr`), so 0.15 at scale 0.1 is raw
1.5 exactly, which rounds half to even to 2 (float division would give
1.4999999999999998 and raw 1). Raw values round half to even; decoded
physical values are the float nearest the exact result (an int when scale
and offset are integers).
"""

import math
from fractions import Fraction

__all__ = ["exact", "Scale"]

_FLOAT_EXACT = 2.0 ** 52  # below it a float holds every integer and half


def exact(number):
    """`number` (int or finite float) as the Fraction its decimal text says."""
    if isinstance(number, float):
        return Fraction(repr(number))
    return Fraction(number)


class Scale:
    """The conversions of one field's scale and offset."""

    __slots__ = ("_factor", "_shift", "_divisor", "_scale", "_offset", "physical")

    def __init__(self, scale, offset):
        scale, offset = exact(scale), exact(offset)
        # physical = (raw * factor + shift) / divisor, all integers, so a
        # decode is one integer product and one correctly rounded division.
        self._divisor = scale.denominator * offset.denominator // math.gcd(scale.denominator, offset.denominator)
        self._factor = scale.numerator * (self._divisor // scale.denominator)
        self._shift = offset.numerator * (self._divisor // offset.denominator)
        self._scale, self._offset = float(scale), float(offset)
        # physical(raw): the physical value of `raw`, the very arithmetic
        # message codecs inline
        self.physical = eval("lambda raw: " + self.physical_source("raw"))

    def physical_source(self, raw):
        """The physical value of the integer expression `raw`, as Python
        source: message codecs inline it."""
        text = raw if self._factor == 1 else "%s * %d" % (raw, self._factor)
        if self._shift:
            text = "%s %s %d" % (text, "-" if self._shift < 0 else "+", abs(self._shift))
        if self._divisor == 1:
            return text
        return "%s / %d" % (text if text == raw else "(%s)" % text, self._divisor)

    def quotient_source(self, physical):
        """The float quotient (physical - offset) / scale that `raw()`
        rounds, as Python source over the expression `physical`."""
        if self._offset:
            physical = "(%s %s %r)" % (physical, "+" if self._offset < 0 else "-", abs(self._offset))
        return "%s / %r" % (physical, self._scale)

    def raw(self, physical):
        """The raw integer nearest `physical` (an int or finite float), half
        to even."""
        # Float arithmetic is off by a few units in the last place at most;
        # unless that could move the result across a half, it rounds the
        # same as the exact quotient, which is then computed only near one.
        quotient = (physical - self._offset) / self._scale
        if abs(quotient) < _FLOAT_EXACT:
            if abs(abs(quotient - math.floor(quotient)) - 0.5) > self._error(physical, quotient):
                return round(quotient)
        return round(Fraction(exact(physical) * self._divisor - self._shift, self._factor))

    def fast_range(self, raw_low, raw_high):
        """(low, high, half) for rounding in floats alone: a physical value
        from low to high has a float quotient q (see `quotient_source`)
        whose round(q) is the exact raw value, within raw_low to raw_high,
        whenever abs(q - round(q)) < half. None where floats cannot tell."""
        low, high = sorted((self.physical(raw_low), self.physical(raw_high)))
        largest_raw = max(abs(raw_low), abs(raw_high)) + 1
        if largest_raw >= _FLOAT_EXACT:
            return None
        # The error bound grows with the magnitudes, so the largest ones
        # bound it over the whole range.
        half = 0.5 - self._error(max(abs(low), abs(high)), largest_raw)
        return (low, high, half) if half > 0 else None

    def _error(self, physical, quotient):
        """How far, with room to spare, the float quotient of `physical` may
        be from the exact one."""
        return 4 * ((math.ulp(physical) + math.ulp(self._offset)) / abs(self._scale) + math.ulp(quotient))
