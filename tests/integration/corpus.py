"""A corpus of every geometry type in every dimension, with empty geometries and
empty parts, in geoweave's canonical WKT, shared by the integration suites.

Ordinates are exact in binary and have few digits, so that text written by
other libraries with their default precision reads back unchanged.
"""

import pytest

TAGS = {"XY": "", "XYZ": " Z", "XYM": " M", "XYZM": " ZM"}


def coord(dim, x, y):
    """One coordinate; Z and M values are derived so that every ordinate differs."""
    extra = {"XY": (), "XYZ": (x + 0.5,), "XYM": (y - 0.25,), "XYZM": (x + 0.5, y - 0.25)}[dim]
    return " ".join("%r" % v if v != int(v) else "%d" % v for v in (x, y, *extra))


def corpus():
    for dim, tag in TAGS.items():
        c = [coord(dim, x, y) for x, y in [(1.5, -2.25), (1e6 + 0.125, 0.001), (-7, 3)]]
        ring = "(" + ", ".join(coord(dim, x, y) for x, y in
                               [(0, 0), (10, 0), (10, 10), (0, 0)]) + ")"
        hole = "(" + ", ".join(coord(dim, x, y) for x, y in
                               [(2, 2), (3, 2), (3, 3), (2, 2)]) + ")"
        texts = [
            f"POINT{tag} ({c[0]})",
            f"LINESTRING{tag} ({c[0]}, {c[1]}, {c[2]})",
            f"POLYGON{tag} ({ring}, {hole})",
            f"MULTIPOINT{tag} (({c[0]}), ({c[1]}))",
            f"MULTIPOINT{tag} (({c[0]}), EMPTY)",
            f"MULTILINESTRING{tag} (({c[0]}, {c[1]}), EMPTY)",
            f"MULTIPOLYGON{tag} (({ring}, {hole}), EMPTY)",
            f"GEOMETRYCOLLECTION{tag} (POINT{tag} ({c[0]}), LINESTRING{tag} EMPTY, "
            f"POLYGON{tag} ({ring}), MULTIPOINT{tag} (({c[1]})), "
            f"GEOMETRYCOLLECTION{tag} (POINT{tag} EMPTY))",
        ]
        texts += [f"{kw}{tag} EMPTY" for kw in ("POINT", "LINESTRING", "POLYGON", "MULTIPOINT",
                                                "MULTILINESTRING", "MULTIPOLYGON",
                                                "GEOMETRYCOLLECTION")]
        for text in texts:
            yield dim, text


GEOMETRIES = list(corpus())
CORPUS = [pytest.param(dim, text, id=text[:48]) for dim, text in GEOMETRIES]


def without_empty_dimension(text):
    """The text GEOS writes back: empty multi-part geometries and collections
    lose their Z/M tag."""
    keyword, _, rest = text.partition(" ")
    if keyword.startswith(("MULTI", "GEOMETRYCOLLECTION")) and text.endswith(" EMPTY"):
        return f"{keyword} EMPTY"
    return text


def prefixed(text, srid):
    return text if srid is None else f"SRID={srid};{text}"
