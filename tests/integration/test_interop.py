"""geoweave with shapely and GeoPandas (scripts/interop.sh).

Every geometry of the corpus goes from geoweave to shapely (EWKB, hex EWKB and
WKT) and from shapely back to geoweave (EWKB and ISO WKB in both byte orders,
hex); the README's shapely/GeoPandas examples run here as doctests.
"""

import doctest
import pathlib
import re

import geopandas as gpd
import pytest
import shapely

import geoweave

from .corpus import CORPUS, GEOMETRIES, prefixed, without_empty_dimension

README = pathlib.Path(__file__).resolve().parents[2] / "README.md"


@pytest.mark.parametrize("srid", [None, 4326])
@pytest.mark.parametrize("dim, text", CORPUS)
def test_shapely_round_trip(dim, text, srid):
    canonical = prefixed(text, srid)
    geometry = shapely.from_wkb(geoweave.wkt_to_wkb(canonical))
    assert shapely.get_srid(geometry) == (srid or 0)
    assert shapely.equals_identical(geometry, shapely.from_wkt(text))
    assert shapely.equals_identical(geometry, shapely.from_wkb(geoweave.wkt_to_hex_wkb(canonical)))
    # GEOS keeps no Z/M for an empty collection; everything else comes back whole.
    text = without_empty_dimension(text)
    canonical = prefixed(text, srid)
    assert shapely.to_wkt(geometry, rounding_precision=-1) == text

    for byte_order in (0, 1):
        ewkb = shapely.to_wkb(geometry, flavor="extended", byte_order=byte_order,
                              include_srid=True, output_dimension=4)
        iso = shapely.to_wkb(geometry, flavor="iso", byte_order=byte_order, output_dimension=4)
        assert geoweave.wkb_to_wkt(ewkb) == canonical
        assert geoweave.wkb_to_wkt(iso, srid=srid or False) == canonical
    hex_ewkb = shapely.to_wkb(geometry, hex=True, include_srid=True, output_dimension=4)
    assert geoweave.hex_wkb_to_wkt(hex_ewkb) == canonical
    assert geoweave.to_wkb(hex_ewkb) == geoweave.wkt_to_wkb(canonical)


def test_geoseries_both_ways():
    texts = [without_empty_dimension(text) for _, text in GEOMETRIES]
    # A column as a PostGIS query returns it (hex EWKB), into a GeoSeries with its CRS ...
    column = [geoweave.wkt_to_hex_wkb(text, srid=3857) for text in texts]
    (srid,) = {geoweave.wkb_header_srid(value) for value in column}
    series = gpd.GeoSeries.from_wkb([geoweave.to_wkb(value, srid=False) for value in column],
                                    crs=f"EPSG:{srid}")
    assert series.crs.to_epsg() == 3857
    assert list(series.to_wkt(rounding_precision=-1)) == texts
    assert series.equals(gpd.GeoSeries.from_wkt([geoweave.to_wkt(v, srid=False) for v in column]))
    # ... and back to EWKB carrying the CRS's SRID, ready for PostGIS.
    back = [geoweave.to_ewkb_header(value, series.crs.to_epsg())
            for value in series.to_wkb(output_dimension=4)]
    assert [geoweave.wkb_to_wkt(value) for value in back] == [f"SRID=3857;{t}" for t in texts]


def readme_blocks(kind):
    return re.findall(rf"```python {kind}\n(.*?)```", README.read_text(encoding="utf-8"), re.S)


def test_readme_interop_examples():
    blocks = readme_blocks("interop")
    assert blocks, "README has no shapely/GeoPandas examples"
    parser = doctest.DocTestParser()
    test = parser.get_doctest("\n".join(blocks), {}, "README interop", str(README), 0)
    assert test.examples
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS | doctest.NORMALIZE_WHITESPACE)
    runner.run(test)
    assert runner.failures == 0, f"{runner.failures} README interop example(s) failed"
