"""Number texts on the edges of rounding, shared by the float tests and
scripts/check_floats.py."""
import decimal
import math
import struct
import sys


def exact_midpoint(rng):
    """The exact decimal text of the point halfway between a random double and
    the next one up: a tie that must go to the even neighbour. Sometimes a
    digit is appended, which moves the value just past the tie."""
    x = abs(struct.unpack("<d", struct.pack("<Q", rng.getrandbits(63)))[0])
    if not math.isfinite(x) or x == sys.float_info.max:
        x = 1.0
    with decimal.localcontext() as context:
        context.prec = 1200
        middle = (decimal.Decimal(x) + decimal.Decimal(math.nextafter(x, math.inf))) / 2
    mantissa, exponent = format(middle, "e").split("e")
    return mantissa + rng.choice(["", "", "0", "1", "9"]) + "e" + exponent


def short_tie(rng, low=-20, high=10):
    """A 54-bit odd integer (halfway between two doubles) scaled by 2^k, with
    few enough digits for the fast methods to be tempted."""
    m = 2**53 + 2 * rng.randrange(2**52) + 1
    k = rng.randint(low, high)
    if k >= 0:
        return str(m << k) + rng.choice([".0", "e0", "0e-1"])
    return f"{m * 5**-k}e{k}"
