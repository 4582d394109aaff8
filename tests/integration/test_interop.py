"""geoweave with shapely and GeoPandas (scripts/interop.sh).

Every geometry of the corpus goes from geoweave to shapely (EWKB, hex EWKB and
WKT) and from shapely back to geoweave (EWKB and ISO WKB in both byte orders,
hex); the documented shapely/GeoPandas, pandas and pyarrow examples run here
as doctests.
"""

import doctest

import geopandas as gpd
import pytest
import shapely

import geoweave
from docexamples import blocks, pages, run_doctests

from .corpus import CORPUS, GEOMETRIES, prefixed, without_empty_dimension


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


# shapely and GeoPandas, and the pandas and pyarrow recipes: this suite installs them.
@pytest.mark.parametrize("tag", ["interop", "pandas", "pyarrow"])
def test_documented_examples(tag):
    found = [page for page in pages() if blocks(page, tag)]
    assert found, f"no page holds a {tag} example"
    for page in found:
        attempted, failures = run_doctests(page, tag, {}, doctest.NORMALIZE_WHITESPACE)
        assert attempted and failures == 0, f"{failures} {tag} example(s) of {page.name} failed"
