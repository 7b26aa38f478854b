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

    __slots__ = ("_factor", "_shift", "_divisor", "_scale", "_offset")

    def __init__(self, scale, offset):
        scale, offset = exact(scale), exact(offset)
        # physical = (raw * factor + shift) / divisor, all integers, so a
        # decode is one integer product and one correctly rounded division.
        self._divisor = scale.denominator * offset.denominator // math.gcd(scale.denominator, offset.denominator)
        self._factor = scale.numerator * (self._divisor // scale.denominator)
        self._shift = offset.numerator * (self._divisor // offset.denominator)
        self._scale, self._offset = float(scale), float(offset)

    def physical(self, raw):
        """The physical value of `raw`."""
        if self._divisor == 1:
            return raw * self._factor + self._shift
        return (raw * self._factor + self._shift) / self._divisor

    def raw(self, physical):
        """The raw integer nearest `physical` (an int or finite float), half
        to even."""
        # Float arithmetic is off by a few units in the last place at most;
        # unless that could move the result across a half, it rounds the
        # same as the exact quotient, which is then computed only near one.
        quotient = (physical - self._offset) / self._scale
        if abs(quotient) < _FLOAT_EXACT:
            error = 4 * ((math.ulp(physical) + math.ulp(self._offset)) / abs(self._scale) + math.ulp(quotient))
            if abs(abs(quotient - math.floor(quotient)) - 0.5) > error:
                return round(quotient)
        return round(Fraction(exact(physical) * self._divisor - self._shift, self._factor))
