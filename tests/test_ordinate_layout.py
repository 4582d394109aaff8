"""Every combination of digit count and decimal-point position the ordinate
formatter lays out: 1 to 17 significant digits, the point before, inside and
after them, with short and long zero runs on either side. Each shape is
checked against the repr-based reference of test_wkt_format."""

import random

import pytest

from test_wkt_format import check, reference


@pytest.mark.parametrize("digits", range(1, 18))
def test_every_point_position(digits):
    rng = random.Random(digits)
    seen = set()
    for point in list(range(-40, 41)) + [-300, -307, -320, 200, 308]:
        for _ in range(6):
            body = "".join(rng.choice("0123456789") for _ in range(digits - 1))
            text = str(rng.randint(1, 9)) + body[:-1] + (str(rng.randint(1, 9)) if digits > 1 else "")
            x = float(f"0.{text}e{point}")
            if x == 0 or x == float("inf"):
                continue
            check(x)
            check(-x)
            want = reference(x).replace(".", "").strip("0")
            seen.add((len(want), point))
    # The shapes asked for were really produced (a value whose digits are not
    # its shortest form would be laid out with fewer).
    assert any(n == digits for n, _ in seen)


# Decimals of up to 7 places below 10^8 are found without the digit search
# (x * 10^7 rounded, kept when dividing it back gives x): every count of
# places and of zeros they end with, integers among them, the 10^15 edge of
# that product, values a place too fine, and neighbours of all of them, which
# must fall through to the search with the same text as before.
@pytest.mark.parametrize("places", range(0, 9))
def test_short_decimals_and_their_neighbours(places):
    import math
    rng = random.Random(places)
    values = [99999999.9999999, 99999999.99999994, 9999999.999999999, 0.0000001, 0.00000015,
              1e-7 * 0.5, 123456.7890123, 1.0000001, 1e8, 1e8 - 1]
    for _ in range(300):
        whole = rng.choice([0, rng.randint(1, 9), rng.randint(10, 999), rng.randint(1000, 99999999)])
        frac = rng.randint(0, 10 ** places - 1) if places else 0
        values.append(float(f"{whole}.{frac:0{places}d}") if places else float(whole))
        values.append(float(f"{whole}.{frac:0{places}d}000") if places else float(whole) * 10)
    for x in values:
        for y in (x, math.nextafter(x, math.inf), math.nextafter(x, -math.inf)):
            if y > 0:
                check(y)
                check(-y)
