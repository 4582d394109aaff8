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
