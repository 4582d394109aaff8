# Type stubs for the geoweave_columns package (inline, with py.typed): the
# Python functions over its native half. The column parameter and srid /
# normalize_wkt are positional-or-keyword; errors, threads, column (and flavor
# on the functions writing WKB) are keyword-only. Overloads give each kind of
# input its own kind of result: pyarrow, Polars, pandas and numpy in, the same
# kind out; a DuckDB relation gives a pyarrow Table; other iterables a list.
from collections.abc import Buffer, Iterable, Sequence
from typing import Any, Literal, Protocol, SupportsIndex, TypeAlias, final, overload

import duckdb
import numpy as np
import pandas as pd  # type: ignore[import-untyped, unused-ignore]
import polars as pl
import pyarrow as pa  # type: ignore[import-untyped, unused-ignore]

__all__ = [
    "wkb_to_wkt", "wkb_to_wkt_split_srid", "wkt_to_wkb", "wkt_to_wkb_split_srid",
    "wkt_to_hex_wkb", "hex_wkb_to_wkt", "to_wkb", "to_wkt", "to_hex_wkb", "wkb_header_srid",
    "to_wkb_no_srid_header", "to_ewkb_header",
]

__version__: str

_Srid: TypeAlias = int | bool | SupportsIndex | None
_Errors: TypeAlias = Literal["raise", "null"]
_Flavor: TypeAlias = Literal["extended", "iso"]

class _ArrowArrayExporter(Protocol):
    def __arrow_c_array__(self, requested_schema: object | None = None) -> tuple[object, object]: ...

class _ArrowStreamExporter(Protocol):
    def __arrow_c_stream__(self, requested_schema: object | None = None) -> object: ...

@final
class ArrowColumn:
    """An immutable Arrow column exporting the Arrow PyCapsule interface."""
    def __arrow_c_schema__(self) -> object: ...
    def __arrow_c_array__(self, requested_schema: object | None = None) -> tuple[object, object]: ...
    def __arrow_c_stream__(self, requested_schema: object | None = None) -> object: ...
    def __len__(self) -> int: ...

# Other Arrow producers: pyarrow objects when pyarrow is installed, else an
# ArrowColumn, so they are typed loosely.
_Arrow: TypeAlias = _ArrowArrayExporter | _ArrowStreamExporter
_Objects: TypeAlias = np.ndarray[Any, Any]

# Overloads in this order: typed libraries first, then Python rows, then
# pandas and pyarrow (which may have no types of their own: their names are
# then Any and would match anything).

@overload
def wkb_to_wkt(wkb: None, srid: _Srid = None, *, errors: _Errors = "raise", threads: int | None = None, column: str | None = None) -> None: ...
@overload
def wkb_to_wkt(wkb: pl.DataFrame, srid: _Srid = None, *, errors: _Errors = "raise", threads: int | None = None, column: str | None = None) -> pl.DataFrame: ...
@overload
def wkb_to_wkt(wkb: pl.Series, srid: _Srid = None, *, errors: _Errors = "raise", threads: int | None = None, column: str | None = None) -> pl.Series: ...
@overload
def wkb_to_wkt(wkb: _Objects, srid: _Srid = None, *, errors: _Errors = "raise", threads: int | None = None, column: str | None = None) -> _Objects: ...  # type: ignore[overload-overlap, unused-ignore]
@overload
def wkb_to_wkt(wkb: duckdb.DuckDBPyRelation, srid: _Srid = None, *, errors: _Errors = "raise", threads: int | None = None, column: str | None = None) -> pa.Table: ...
@overload
def wkb_to_wkt(wkb: Sequence[Buffer | None], srid: _Srid = None, *, errors: _Errors = "raise", threads: int | None = None, column: str | None = None) -> list[str | None]: ...
@overload
def wkb_to_wkt(wkb: pd.Series, srid: _Srid = None, *, errors: _Errors = "raise", threads: int | None = None, column: str | None = None) -> pd.Series: ...
@overload
def wkb_to_wkt(wkb: pa.Table, srid: _Srid = None, *, errors: _Errors = "raise", threads: int | None = None, column: str | None = None) -> pa.Table: ...  # type: ignore[overload-cannot-match, unused-ignore]
@overload
def wkb_to_wkt(wkb: pa.RecordBatch, srid: _Srid = None, *, errors: _Errors = "raise", threads: int | None = None, column: str | None = None) -> pa.RecordBatch: ...  # type: ignore[overload-cannot-match, unused-ignore]
@overload
def wkb_to_wkt(wkb: pa.RecordBatchReader, srid: _Srid = None, *, errors: _Errors = "raise", threads: int | None = None, column: str | None = None) -> pa.RecordBatchReader: ...  # type: ignore[overload-cannot-match, unused-ignore]
@overload
def wkb_to_wkt(wkb: pa.Array, srid: _Srid = None, *, errors: _Errors = "raise", threads: int | None = None, column: str | None = None) -> pa.Array: ...  # type: ignore[overload-cannot-match, unused-ignore]
@overload
def wkb_to_wkt(wkb: pa.ChunkedArray, srid: _Srid = None, *, errors: _Errors = "raise", threads: int | None = None, column: str | None = None) -> pa.ChunkedArray: ...  # type: ignore[overload-cannot-match, unused-ignore]
@overload
def wkb_to_wkt(wkb: _Arrow, srid: _Srid = None, *, errors: _Errors = "raise", threads: int | None = None, column: str | None = None) -> Any: ...  # type: ignore[overload-cannot-match, unused-ignore]
@overload
def wkb_to_wkt(wkb: Iterable[Buffer | None], srid: _Srid = None, *, errors: _Errors = "raise", threads: int | None = None, column: str | None = None) -> list[str | None]: ...  # type: ignore[overload-cannot-match, unused-ignore]
@overload
def wkb_to_wkt_split_srid(wkb: None, *, errors: _Errors = "raise", threads: int | None = None, column: str | None = None) -> None: ...
@overload
def wkb_to_wkt_split_srid(wkb: pl.DataFrame, *, errors: _Errors = "raise", threads: int | None = None, column: str | None = None) -> pl.DataFrame: ...
@overload
def wkb_to_wkt_split_srid(wkb: pl.Series, *, errors: _Errors = "raise", threads: int | None = None, column: str | None = None) -> tuple[pl.Series, pl.Series]: ...
@overload
def wkb_to_wkt_split_srid(wkb: _Objects, *, errors: _Errors = "raise", threads: int | None = None, column: str | None = None) -> tuple[_Objects, _Objects]: ...  # type: ignore[overload-overlap, unused-ignore]
@overload
def wkb_to_wkt_split_srid(wkb: duckdb.DuckDBPyRelation, *, errors: _Errors = "raise", threads: int | None = None, column: str | None = None) -> pa.Table: ...
@overload
def wkb_to_wkt_split_srid(wkb: Sequence[Buffer | None], *, errors: _Errors = "raise", threads: int | None = None, column: str | None = None) -> tuple[list[str | None], list[int | None]]: ...
@overload
def wkb_to_wkt_split_srid(wkb: pd.Series, *, errors: _Errors = "raise", threads: int | None = None, column: str | None = None) -> tuple[pd.Series, pd.Series]: ...
@overload
def wkb_to_wkt_split_srid(wkb: pa.Table, *, errors: _Errors = "raise", threads: int | None = None, column: str | None = None) -> pa.Table: ...  # type: ignore[overload-cannot-match, unused-ignore]
@overload
def wkb_to_wkt_split_srid(wkb: pa.RecordBatch, *, errors: _Errors = "raise", threads: int | None = None, column: str | None = None) -> pa.RecordBatch: ...  # type: ignore[overload-cannot-match, unused-ignore]
@overload
def wkb_to_wkt_split_srid(wkb: pa.RecordBatchReader, *, errors: _Errors = "raise", threads: int | None = None, column: str | None = None) -> pa.RecordBatchReader: ...  # type: ignore[overload-cannot-match, unused-ignore]
@overload
def wkb_to_wkt_split_srid(wkb: pa.Array, *, errors: _Errors = "raise", threads: int | None = None, column: str | None = None) -> tuple[pa.Array, pa.Array]: ...  # type: ignore[overload-cannot-match, unused-ignore]
@overload
def wkb_to_wkt_split_srid(wkb: pa.ChunkedArray, *, errors: _Errors = "raise", threads: int | None = None, column: str | None = None) -> tuple[pa.ChunkedArray, pa.ChunkedArray]: ...  # type: ignore[overload-cannot-match, unused-ignore]
@overload
def wkb_to_wkt_split_srid(wkb: _Arrow, *, errors: _Errors = "raise", threads: int | None = None, column: str | None = None) -> Any: ...  # type: ignore[overload-cannot-match, unused-ignore]
@overload
def wkb_to_wkt_split_srid(wkb: Iterable[Buffer | None], *, errors: _Errors = "raise", threads: int | None = None, column: str | None = None) -> tuple[list[str | None], list[int | None]]: ...  # type: ignore[overload-cannot-match, unused-ignore]
@overload
def wkt_to_wkb(wkt: None, srid: _Srid = None, *, errors: _Errors = "raise", threads: int | None = None, column: str | None = None, flavor: _Flavor = "extended") -> None: ...
@overload
def wkt_to_wkb(wkt: pl.DataFrame, srid: _Srid = None, *, errors: _Errors = "raise", threads: int | None = None, column: str | None = None, flavor: _Flavor = "extended") -> pl.DataFrame: ...
@overload
def wkt_to_wkb(wkt: pl.Series, srid: _Srid = None, *, errors: _Errors = "raise", threads: int | None = None, column: str | None = None, flavor: _Flavor = "extended") -> pl.Series: ...
@overload
def wkt_to_wkb(wkt: _Objects, srid: _Srid = None, *, errors: _Errors = "raise", threads: int | None = None, column: str | None = None, flavor: _Flavor = "extended") -> _Objects: ...  # type: ignore[overload-overlap, unused-ignore]
@overload
def wkt_to_wkb(wkt: duckdb.DuckDBPyRelation, srid: _Srid = None, *, errors: _Errors = "raise", threads: int | None = None, column: str | None = None, flavor: _Flavor = "extended") -> pa.Table: ...
@overload
def wkt_to_wkb(wkt: Sequence[str | None], srid: _Srid = None, *, errors: _Errors = "raise", threads: int | None = None, column: str | None = None, flavor: _Flavor = "extended") -> list[bytes | None]: ...
@overload
def wkt_to_wkb(wkt: pd.Series, srid: _Srid = None, *, errors: _Errors = "raise", threads: int | None = None, column: str | None = None, flavor: _Flavor = "extended") -> pd.Series: ...
@overload
def wkt_to_wkb(wkt: pa.Table, srid: _Srid = None, *, errors: _Errors = "raise", threads: int | None = None, column: str | None = None, flavor: _Flavor = "extended") -> pa.Table: ...  # type: ignore[overload-cannot-match, unused-ignore]
@overload
def wkt_to_wkb(wkt: pa.RecordBatch, srid: _Srid = None, *, errors: _Errors = "raise", threads: int | None = None, column: str | None = None, flavor: _Flavor = "extended") -> pa.RecordBatch: ...  # type: ignore[overload-cannot-match, unused-ignore]
@overload
def wkt_to_wkb(wkt: pa.RecordBatchReader, srid: _Srid = None, *, errors: _Errors = "raise", threads: int | None = None, column: str | None = None, flavor: _Flavor = "extended") -> pa.RecordBatchReader: ...  # type: ignore[overload-cannot-match, unused-ignore]
@overload
def wkt_to_wkb(wkt: pa.Array, srid: _Srid = None, *, errors: _Errors = "raise", threads: int | None = None, column: str | None = None, flavor: _Flavor = "extended") -> pa.Array: ...  # type: ignore[overload-cannot-match, unused-ignore]
@overload
def wkt_to_wkb(wkt: pa.ChunkedArray, srid: _Srid = None, *, errors: _Errors = "raise", threads: int | None = None, column: str | None = None, flavor: _Flavor = "extended") -> pa.ChunkedArray: ...  # type: ignore[overload-cannot-match, unused-ignore]
@overload
def wkt_to_wkb(wkt: _Arrow, srid: _Srid = None, *, errors: _Errors = "raise", threads: int | None = None, column: str | None = None, flavor: _Flavor = "extended") -> Any: ...  # type: ignore[overload-cannot-match, unused-ignore]
@overload
def wkt_to_wkb(wkt: Iterable[str | None], srid: _Srid = None, *, errors: _Errors = "raise", threads: int | None = None, column: str | None = None, flavor: _Flavor = "extended") -> list[bytes | None]: ...  # type: ignore[overload-cannot-match, unused-ignore]
@overload
def wkt_to_wkb_split_srid(wkt: None, *, errors: _Errors = "raise", threads: int | None = None, column: str | None = None, flavor: _Flavor = "extended") -> None: ...
@overload
def wkt_to_wkb_split_srid(wkt: pl.DataFrame, *, errors: _Errors = "raise", threads: int | None = None, column: str | None = None, flavor: _Flavor = "extended") -> pl.DataFrame: ...
@overload
def wkt_to_wkb_split_srid(wkt: pl.Series, *, errors: _Errors = "raise", threads: int | None = None, column: str | None = None, flavor: _Flavor = "extended") -> tuple[pl.Series, pl.Series]: ...
@overload
def wkt_to_wkb_split_srid(wkt: _Objects, *, errors: _Errors = "raise", threads: int | None = None, column: str | None = None, flavor: _Flavor = "extended") -> tuple[_Objects, _Objects]: ...  # type: ignore[overload-overlap, unused-ignore]
@overload
def wkt_to_wkb_split_srid(wkt: duckdb.DuckDBPyRelation, *, errors: _Errors = "raise", threads: int | None = None, column: str | None = None, flavor: _Flavor = "extended") -> pa.Table: ...
@overload
def wkt_to_wkb_split_srid(wkt: Sequence[str | None], *, errors: _Errors = "raise", threads: int | None = None, column: str | None = None, flavor: _Flavor = "extended") -> tuple[list[bytes | None], list[int | None]]: ...
@overload
def wkt_to_wkb_split_srid(wkt: pd.Series, *, errors: _Errors = "raise", threads: int | None = None, column: str | None = None, flavor: _Flavor = "extended") -> tuple[pd.Series, pd.Series]: ...
@overload
def wkt_to_wkb_split_srid(wkt: pa.Table, *, errors: _Errors = "raise", threads: int | None = None, column: str | None = None, flavor: _Flavor = "extended") -> pa.Table: ...  # type: ignore[overload-cannot-match, unused-ignore]
@overload
def wkt_to_wkb_split_srid(wkt: pa.RecordBatch, *, errors: _Errors = "raise", threads: int | None = None, column: str | None = None, flavor: _Flavor = "extended") -> pa.RecordBatch: ...  # type: ignore[overload-cannot-match, unused-ignore]
@overload
def wkt_to_wkb_split_srid(wkt: pa.RecordBatchReader, *, errors: _Errors = "raise", threads: int | None = None, column: str | None = None, flavor: _Flavor = "extended") -> pa.RecordBatchReader: ...  # type: ignore[overload-cannot-match, unused-ignore]
@overload
def wkt_to_wkb_split_srid(wkt: pa.Array, *, errors: _Errors = "raise", threads: int | None = None, column: str | None = None, flavor: _Flavor = "extended") -> tuple[pa.Array, pa.Array]: ...  # type: ignore[overload-cannot-match, unused-ignore]
@overload
def wkt_to_wkb_split_srid(wkt: pa.ChunkedArray, *, errors: _Errors = "raise", threads: int | None = None, column: str | None = None, flavor: _Flavor = "extended") -> tuple[pa.ChunkedArray, pa.ChunkedArray]: ...  # type: ignore[overload-cannot-match, unused-ignore]
@overload
def wkt_to_wkb_split_srid(wkt: _Arrow, *, errors: _Errors = "raise", threads: int | None = None, column: str | None = None, flavor: _Flavor = "extended") -> Any: ...  # type: ignore[overload-cannot-match, unused-ignore]
@overload
def wkt_to_wkb_split_srid(wkt: Iterable[str | None], *, errors: _Errors = "raise", threads: int | None = None, column: str | None = None, flavor: _Flavor = "extended") -> tuple[list[bytes | None], list[int | None]]: ...  # type: ignore[overload-cannot-match, unused-ignore]
@overload
def wkt_to_hex_wkb(wkt: None, srid: _Srid = None, *, errors: _Errors = "raise", threads: int | None = None, column: str | None = None, flavor: _Flavor = "extended") -> None: ...
@overload
def wkt_to_hex_wkb(wkt: pl.DataFrame, srid: _Srid = None, *, errors: _Errors = "raise", threads: int | None = None, column: str | None = None, flavor: _Flavor = "extended") -> pl.DataFrame: ...
@overload
def wkt_to_hex_wkb(wkt: pl.Series, srid: _Srid = None, *, errors: _Errors = "raise", threads: int | None = None, column: str | None = None, flavor: _Flavor = "extended") -> pl.Series: ...
@overload
def wkt_to_hex_wkb(wkt: _Objects, srid: _Srid = None, *, errors: _Errors = "raise", threads: int | None = None, column: str | None = None, flavor: _Flavor = "extended") -> _Objects: ...  # type: ignore[overload-overlap, unused-ignore]
@overload
def wkt_to_hex_wkb(wkt: duckdb.DuckDBPyRelation, srid: _Srid = None, *, errors: _Errors = "raise", threads: int | None = None, column: str | None = None, flavor: _Flavor = "extended") -> pa.Table: ...
@overload
def wkt_to_hex_wkb(wkt: Sequence[str | None], srid: _Srid = None, *, errors: _Errors = "raise", threads: int | None = None, column: str | None = None, flavor: _Flavor = "extended") -> list[str | None]: ...
@overload
def wkt_to_hex_wkb(wkt: pd.Series, srid: _Srid = None, *, errors: _Errors = "raise", threads: int | None = None, column: str | None = None, flavor: _Flavor = "extended") -> pd.Series: ...
@overload
def wkt_to_hex_wkb(wkt: pa.Table, srid: _Srid = None, *, errors: _Errors = "raise", threads: int | None = None, column: str | None = None, flavor: _Flavor = "extended") -> pa.Table: ...  # type: ignore[overload-cannot-match, unused-ignore]
@overload
def wkt_to_hex_wkb(wkt: pa.RecordBatch, srid: _Srid = None, *, errors: _Errors = "raise", threads: int | None = None, column: str | None = None, flavor: _Flavor = "extended") -> pa.RecordBatch: ...  # type: ignore[overload-cannot-match, unused-ignore]
@overload
def wkt_to_hex_wkb(wkt: pa.RecordBatchReader, srid: _Srid = None, *, errors: _Errors = "raise", threads: int | None = None, column: str | None = None, flavor: _Flavor = "extended") -> pa.RecordBatchReader: ...  # type: ignore[overload-cannot-match, unused-ignore]
@overload
def wkt_to_hex_wkb(wkt: pa.Array, srid: _Srid = None, *, errors: _Errors = "raise", threads: int | None = None, column: str | None = None, flavor: _Flavor = "extended") -> pa.Array: ...  # type: ignore[overload-cannot-match, unused-ignore]
@overload
def wkt_to_hex_wkb(wkt: pa.ChunkedArray, srid: _Srid = None, *, errors: _Errors = "raise", threads: int | None = None, column: str | None = None, flavor: _Flavor = "extended") -> pa.ChunkedArray: ...  # type: ignore[overload-cannot-match, unused-ignore]
@overload
def wkt_to_hex_wkb(wkt: _Arrow, srid: _Srid = None, *, errors: _Errors = "raise", threads: int | None = None, column: str | None = None, flavor: _Flavor = "extended") -> Any: ...  # type: ignore[overload-cannot-match, unused-ignore]
@overload
def wkt_to_hex_wkb(wkt: Iterable[str | None], srid: _Srid = None, *, errors: _Errors = "raise", threads: int | None = None, column: str | None = None, flavor: _Flavor = "extended") -> list[str | None]: ...  # type: ignore[overload-cannot-match, unused-ignore]
@overload
def hex_wkb_to_wkt(hex_wkb: None, srid: _Srid = None, *, errors: _Errors = "raise", threads: int | None = None, column: str | None = None) -> None: ...
@overload
def hex_wkb_to_wkt(hex_wkb: pl.DataFrame, srid: _Srid = None, *, errors: _Errors = "raise", threads: int | None = None, column: str | None = None) -> pl.DataFrame: ...
@overload
def hex_wkb_to_wkt(hex_wkb: pl.Series, srid: _Srid = None, *, errors: _Errors = "raise", threads: int | None = None, column: str | None = None) -> pl.Series: ...
@overload
def hex_wkb_to_wkt(hex_wkb: _Objects, srid: _Srid = None, *, errors: _Errors = "raise", threads: int | None = None, column: str | None = None) -> _Objects: ...  # type: ignore[overload-overlap, unused-ignore]
@overload
def hex_wkb_to_wkt(hex_wkb: duckdb.DuckDBPyRelation, srid: _Srid = None, *, errors: _Errors = "raise", threads: int | None = None, column: str | None = None) -> pa.Table: ...
@overload
def hex_wkb_to_wkt(hex_wkb: Sequence[str | None], srid: _Srid = None, *, errors: _Errors = "raise", threads: int | None = None, column: str | None = None) -> list[str | None]: ...
@overload
def hex_wkb_to_wkt(hex_wkb: pd.Series, srid: _Srid = None, *, errors: _Errors = "raise", threads: int | None = None, column: str | None = None) -> pd.Series: ...
@overload
def hex_wkb_to_wkt(hex_wkb: pa.Table, srid: _Srid = None, *, errors: _Errors = "raise", threads: int | None = None, column: str | None = None) -> pa.Table: ...  # type: ignore[overload-cannot-match, unused-ignore]
@overload
def hex_wkb_to_wkt(hex_wkb: pa.RecordBatch, srid: _Srid = None, *, errors: _Errors = "raise", threads: int | None = None, column: str | None = None) -> pa.RecordBatch: ...  # type: ignore[overload-cannot-match, unused-ignore]
@overload
def hex_wkb_to_wkt(hex_wkb: pa.RecordBatchReader, srid: _Srid = None, *, errors: _Errors = "raise", threads: int | None = None, column: str | None = None) -> pa.RecordBatchReader: ...  # type: ignore[overload-cannot-match, unused-ignore]
@overload
def hex_wkb_to_wkt(hex_wkb: pa.Array, srid: _Srid = None, *, errors: _Errors = "raise", threads: int | None = None, column: str | None = None) -> pa.Array: ...  # type: ignore[overload-cannot-match, unused-ignore]
@overload
def hex_wkb_to_wkt(hex_wkb: pa.ChunkedArray, srid: _Srid = None, *, errors: _Errors = "raise", threads: int | None = None, column: str | None = None) -> pa.ChunkedArray: ...  # type: ignore[overload-cannot-match, unused-ignore]
@overload
def hex_wkb_to_wkt(hex_wkb: _Arrow, srid: _Srid = None, *, errors: _Errors = "raise", threads: int | None = None, column: str | None = None) -> Any: ...  # type: ignore[overload-cannot-match, unused-ignore]
@overload
def hex_wkb_to_wkt(hex_wkb: Iterable[str | None], srid: _Srid = None, *, errors: _Errors = "raise", threads: int | None = None, column: str | None = None) -> list[str | None]: ...  # type: ignore[overload-cannot-match, unused-ignore]
@overload
def to_wkb(source: None, srid: _Srid = None, *, errors: _Errors = "raise", threads: int | None = None, column: str | None = None, flavor: _Flavor = "extended") -> None: ...
@overload
def to_wkb(source: pl.DataFrame, srid: _Srid = None, *, errors: _Errors = "raise", threads: int | None = None, column: str | None = None, flavor: _Flavor = "extended") -> pl.DataFrame: ...
@overload
def to_wkb(source: pl.Series, srid: _Srid = None, *, errors: _Errors = "raise", threads: int | None = None, column: str | None = None, flavor: _Flavor = "extended") -> pl.Series: ...
@overload
def to_wkb(source: _Objects, srid: _Srid = None, *, errors: _Errors = "raise", threads: int | None = None, column: str | None = None, flavor: _Flavor = "extended") -> _Objects: ...  # type: ignore[overload-overlap, unused-ignore]
@overload
def to_wkb(source: duckdb.DuckDBPyRelation, srid: _Srid = None, *, errors: _Errors = "raise", threads: int | None = None, column: str | None = None, flavor: _Flavor = "extended") -> pa.Table: ...
@overload
def to_wkb(source: Sequence[str | Buffer | None], srid: _Srid = None, *, errors: _Errors = "raise", threads: int | None = None, column: str | None = None, flavor: _Flavor = "extended") -> list[bytes | None]: ...
@overload
def to_wkb(source: pd.Series, srid: _Srid = None, *, errors: _Errors = "raise", threads: int | None = None, column: str | None = None, flavor: _Flavor = "extended") -> pd.Series: ...
@overload
def to_wkb(source: pa.Table, srid: _Srid = None, *, errors: _Errors = "raise", threads: int | None = None, column: str | None = None, flavor: _Flavor = "extended") -> pa.Table: ...  # type: ignore[overload-cannot-match, unused-ignore]
@overload
def to_wkb(source: pa.RecordBatch, srid: _Srid = None, *, errors: _Errors = "raise", threads: int | None = None, column: str | None = None, flavor: _Flavor = "extended") -> pa.RecordBatch: ...  # type: ignore[overload-cannot-match, unused-ignore]
@overload
def to_wkb(source: pa.RecordBatchReader, srid: _Srid = None, *, errors: _Errors = "raise", threads: int | None = None, column: str | None = None, flavor: _Flavor = "extended") -> pa.RecordBatchReader: ...  # type: ignore[overload-cannot-match, unused-ignore]
@overload
def to_wkb(source: pa.Array, srid: _Srid = None, *, errors: _Errors = "raise", threads: int | None = None, column: str | None = None, flavor: _Flavor = "extended") -> pa.Array: ...  # type: ignore[overload-cannot-match, unused-ignore]
@overload
def to_wkb(source: pa.ChunkedArray, srid: _Srid = None, *, errors: _Errors = "raise", threads: int | None = None, column: str | None = None, flavor: _Flavor = "extended") -> pa.ChunkedArray: ...  # type: ignore[overload-cannot-match, unused-ignore]
@overload
def to_wkb(source: _Arrow, srid: _Srid = None, *, errors: _Errors = "raise", threads: int | None = None, column: str | None = None, flavor: _Flavor = "extended") -> Any: ...  # type: ignore[overload-cannot-match, unused-ignore]
@overload
def to_wkb(source: Iterable[str | Buffer | None], srid: _Srid = None, *, errors: _Errors = "raise", threads: int | None = None, column: str | None = None, flavor: _Flavor = "extended") -> list[bytes | None]: ...  # type: ignore[overload-cannot-match, unused-ignore]
@overload
def to_wkt(source: None, srid: _Srid = None, normalize_wkt: bool = False, *, errors: _Errors = "raise", threads: int | None = None, column: str | None = None) -> None: ...
@overload
def to_wkt(source: pl.DataFrame, srid: _Srid = None, normalize_wkt: bool = False, *, errors: _Errors = "raise", threads: int | None = None, column: str | None = None) -> pl.DataFrame: ...
@overload
def to_wkt(source: pl.Series, srid: _Srid = None, normalize_wkt: bool = False, *, errors: _Errors = "raise", threads: int | None = None, column: str | None = None) -> pl.Series: ...
@overload
def to_wkt(source: _Objects, srid: _Srid = None, normalize_wkt: bool = False, *, errors: _Errors = "raise", threads: int | None = None, column: str | None = None) -> _Objects: ...  # type: ignore[overload-overlap, unused-ignore]
@overload
def to_wkt(source: duckdb.DuckDBPyRelation, srid: _Srid = None, normalize_wkt: bool = False, *, errors: _Errors = "raise", threads: int | None = None, column: str | None = None) -> pa.Table: ...
@overload
def to_wkt(source: Sequence[str | Buffer | None], srid: _Srid = None, normalize_wkt: bool = False, *, errors: _Errors = "raise", threads: int | None = None, column: str | None = None) -> list[str | None]: ...
@overload
def to_wkt(source: pd.Series, srid: _Srid = None, normalize_wkt: bool = False, *, errors: _Errors = "raise", threads: int | None = None, column: str | None = None) -> pd.Series: ...
@overload
def to_wkt(source: pa.Table, srid: _Srid = None, normalize_wkt: bool = False, *, errors: _Errors = "raise", threads: int | None = None, column: str | None = None) -> pa.Table: ...  # type: ignore[overload-cannot-match, unused-ignore]
@overload
def to_wkt(source: pa.RecordBatch, srid: _Srid = None, normalize_wkt: bool = False, *, errors: _Errors = "raise", threads: int | None = None, column: str | None = None) -> pa.RecordBatch: ...  # type: ignore[overload-cannot-match, unused-ignore]
@overload
def to_wkt(source: pa.RecordBatchReader, srid: _Srid = None, normalize_wkt: bool = False, *, errors: _Errors = "raise", threads: int | None = None, column: str | None = None) -> pa.RecordBatchReader: ...  # type: ignore[overload-cannot-match, unused-ignore]
@overload
def to_wkt(source: pa.Array, srid: _Srid = None, normalize_wkt: bool = False, *, errors: _Errors = "raise", threads: int | None = None, column: str | None = None) -> pa.Array: ...  # type: ignore[overload-cannot-match, unused-ignore]
@overload
def to_wkt(source: pa.ChunkedArray, srid: _Srid = None, normalize_wkt: bool = False, *, errors: _Errors = "raise", threads: int | None = None, column: str | None = None) -> pa.ChunkedArray: ...  # type: ignore[overload-cannot-match, unused-ignore]
@overload
def to_wkt(source: _Arrow, srid: _Srid = None, normalize_wkt: bool = False, *, errors: _Errors = "raise", threads: int | None = None, column: str | None = None) -> Any: ...  # type: ignore[overload-cannot-match, unused-ignore]
@overload
def to_wkt(source: Iterable[str | Buffer | None], srid: _Srid = None, normalize_wkt: bool = False, *, errors: _Errors = "raise", threads: int | None = None, column: str | None = None) -> list[str | None]: ...  # type: ignore[overload-cannot-match, unused-ignore]
@overload
def to_hex_wkb(source: None, srid: _Srid = None, *, errors: _Errors = "raise", threads: int | None = None, column: str | None = None, flavor: _Flavor = "extended") -> None: ...
@overload
def to_hex_wkb(source: pl.DataFrame, srid: _Srid = None, *, errors: _Errors = "raise", threads: int | None = None, column: str | None = None, flavor: _Flavor = "extended") -> pl.DataFrame: ...
@overload
def to_hex_wkb(source: pl.Series, srid: _Srid = None, *, errors: _Errors = "raise", threads: int | None = None, column: str | None = None, flavor: _Flavor = "extended") -> pl.Series: ...
@overload
def to_hex_wkb(source: _Objects, srid: _Srid = None, *, errors: _Errors = "raise", threads: int | None = None, column: str | None = None, flavor: _Flavor = "extended") -> _Objects: ...  # type: ignore[overload-overlap, unused-ignore]
@overload
def to_hex_wkb(source: duckdb.DuckDBPyRelation, srid: _Srid = None, *, errors: _Errors = "raise", threads: int | None = None, column: str | None = None, flavor: _Flavor = "extended") -> pa.Table: ...
@overload
def to_hex_wkb(source: Sequence[str | Buffer | None], srid: _Srid = None, *, errors: _Errors = "raise", threads: int | None = None, column: str | None = None, flavor: _Flavor = "extended") -> list[str | None]: ...
@overload
def to_hex_wkb(source: pd.Series, srid: _Srid = None, *, errors: _Errors = "raise", threads: int | None = None, column: str | None = None, flavor: _Flavor = "extended") -> pd.Series: ...
@overload
def to_hex_wkb(source: pa.Table, srid: _Srid = None, *, errors: _Errors = "raise", threads: int | None = None, column: str | None = None, flavor: _Flavor = "extended") -> pa.Table: ...  # type: ignore[overload-cannot-match, unused-ignore]
@overload
def to_hex_wkb(source: pa.RecordBatch, srid: _Srid = None, *, errors: _Errors = "raise", threads: int | None = None, column: str | None = None, flavor: _Flavor = "extended") -> pa.RecordBatch: ...  # type: ignore[overload-cannot-match, unused-ignore]
@overload
def to_hex_wkb(source: pa.RecordBatchReader, srid: _Srid = None, *, errors: _Errors = "raise", threads: int | None = None, column: str | None = None, flavor: _Flavor = "extended") -> pa.RecordBatchReader: ...  # type: ignore[overload-cannot-match, unused-ignore]
@overload
def to_hex_wkb(source: pa.Array, srid: _Srid = None, *, errors: _Errors = "raise", threads: int | None = None, column: str | None = None, flavor: _Flavor = "extended") -> pa.Array: ...  # type: ignore[overload-cannot-match, unused-ignore]
@overload
def to_hex_wkb(source: pa.ChunkedArray, srid: _Srid = None, *, errors: _Errors = "raise", threads: int | None = None, column: str | None = None, flavor: _Flavor = "extended") -> pa.ChunkedArray: ...  # type: ignore[overload-cannot-match, unused-ignore]
@overload
def to_hex_wkb(source: _Arrow, srid: _Srid = None, *, errors: _Errors = "raise", threads: int | None = None, column: str | None = None, flavor: _Flavor = "extended") -> Any: ...  # type: ignore[overload-cannot-match, unused-ignore]
@overload
def to_hex_wkb(source: Iterable[str | Buffer | None], srid: _Srid = None, *, errors: _Errors = "raise", threads: int | None = None, column: str | None = None, flavor: _Flavor = "extended") -> list[str | None]: ...  # type: ignore[overload-cannot-match, unused-ignore]
@overload
def wkb_header_srid(source: None, *, errors: _Errors = "raise", threads: int | None = None, column: str | None = None) -> None: ...
@overload
def wkb_header_srid(source: pl.DataFrame, *, errors: _Errors = "raise", threads: int | None = None, column: str | None = None) -> pl.DataFrame: ...
@overload
def wkb_header_srid(source: pl.Series, *, errors: _Errors = "raise", threads: int | None = None, column: str | None = None) -> pl.Series: ...
@overload
def wkb_header_srid(source: _Objects, *, errors: _Errors = "raise", threads: int | None = None, column: str | None = None) -> _Objects: ...  # type: ignore[overload-overlap, unused-ignore]
@overload
def wkb_header_srid(source: duckdb.DuckDBPyRelation, *, errors: _Errors = "raise", threads: int | None = None, column: str | None = None) -> pa.Table: ...
@overload
def wkb_header_srid(source: Sequence[str | Buffer | None], *, errors: _Errors = "raise", threads: int | None = None, column: str | None = None) -> list[int | None]: ...
@overload
def wkb_header_srid(source: pd.Series, *, errors: _Errors = "raise", threads: int | None = None, column: str | None = None) -> pd.Series: ...
@overload
def wkb_header_srid(source: pa.Table, *, errors: _Errors = "raise", threads: int | None = None, column: str | None = None) -> pa.Table: ...  # type: ignore[overload-cannot-match, unused-ignore]
@overload
def wkb_header_srid(source: pa.RecordBatch, *, errors: _Errors = "raise", threads: int | None = None, column: str | None = None) -> pa.RecordBatch: ...  # type: ignore[overload-cannot-match, unused-ignore]
@overload
def wkb_header_srid(source: pa.RecordBatchReader, *, errors: _Errors = "raise", threads: int | None = None, column: str | None = None) -> pa.RecordBatchReader: ...  # type: ignore[overload-cannot-match, unused-ignore]
@overload
def wkb_header_srid(source: pa.Array, *, errors: _Errors = "raise", threads: int | None = None, column: str | None = None) -> pa.Array: ...  # type: ignore[overload-cannot-match, unused-ignore]
@overload
def wkb_header_srid(source: pa.ChunkedArray, *, errors: _Errors = "raise", threads: int | None = None, column: str | None = None) -> pa.ChunkedArray: ...  # type: ignore[overload-cannot-match, unused-ignore]
@overload
def wkb_header_srid(source: _Arrow, *, errors: _Errors = "raise", threads: int | None = None, column: str | None = None) -> Any: ...  # type: ignore[overload-cannot-match, unused-ignore]
@overload
def wkb_header_srid(source: Iterable[str | Buffer | None], *, errors: _Errors = "raise", threads: int | None = None, column: str | None = None) -> list[int | None]: ...  # type: ignore[overload-cannot-match, unused-ignore]
@overload
def to_wkb_no_srid_header(source: None, *, errors: _Errors = "raise", threads: int | None = None, column: str | None = None) -> None: ...
@overload
def to_wkb_no_srid_header(source: pl.DataFrame, *, errors: _Errors = "raise", threads: int | None = None, column: str | None = None) -> pl.DataFrame: ...
@overload
def to_wkb_no_srid_header(source: pl.Series, *, errors: _Errors = "raise", threads: int | None = None, column: str | None = None) -> pl.Series: ...
@overload
def to_wkb_no_srid_header(source: _Objects, *, errors: _Errors = "raise", threads: int | None = None, column: str | None = None) -> _Objects: ...  # type: ignore[overload-overlap, unused-ignore]
@overload
def to_wkb_no_srid_header(source: duckdb.DuckDBPyRelation, *, errors: _Errors = "raise", threads: int | None = None, column: str | None = None) -> pa.Table: ...
@overload
def to_wkb_no_srid_header(source: Sequence[str | Buffer | None], *, errors: _Errors = "raise", threads: int | None = None, column: str | None = None) -> list[str | bytes | None]: ...
@overload
def to_wkb_no_srid_header(source: pd.Series, *, errors: _Errors = "raise", threads: int | None = None, column: str | None = None) -> pd.Series: ...
@overload
def to_wkb_no_srid_header(source: pa.Table, *, errors: _Errors = "raise", threads: int | None = None, column: str | None = None) -> pa.Table: ...  # type: ignore[overload-cannot-match, unused-ignore]
@overload
def to_wkb_no_srid_header(source: pa.RecordBatch, *, errors: _Errors = "raise", threads: int | None = None, column: str | None = None) -> pa.RecordBatch: ...  # type: ignore[overload-cannot-match, unused-ignore]
@overload
def to_wkb_no_srid_header(source: pa.RecordBatchReader, *, errors: _Errors = "raise", threads: int | None = None, column: str | None = None) -> pa.RecordBatchReader: ...  # type: ignore[overload-cannot-match, unused-ignore]
@overload
def to_wkb_no_srid_header(source: pa.Array, *, errors: _Errors = "raise", threads: int | None = None, column: str | None = None) -> pa.Array: ...  # type: ignore[overload-cannot-match, unused-ignore]
@overload
def to_wkb_no_srid_header(source: pa.ChunkedArray, *, errors: _Errors = "raise", threads: int | None = None, column: str | None = None) -> pa.ChunkedArray: ...  # type: ignore[overload-cannot-match, unused-ignore]
@overload
def to_wkb_no_srid_header(source: _Arrow, *, errors: _Errors = "raise", threads: int | None = None, column: str | None = None) -> Any: ...  # type: ignore[overload-cannot-match, unused-ignore]
@overload
def to_wkb_no_srid_header(source: Iterable[str | Buffer | None], *, errors: _Errors = "raise", threads: int | None = None, column: str | None = None) -> list[str | bytes | None]: ...  # type: ignore[overload-cannot-match, unused-ignore]
@overload
def to_ewkb_header(source: None, srid: int | bool | SupportsIndex, *, errors: _Errors = "raise", threads: int | None = None, column: str | None = None) -> None: ...
@overload
def to_ewkb_header(source: pl.DataFrame, srid: int | bool | SupportsIndex, *, errors: _Errors = "raise", threads: int | None = None, column: str | None = None) -> pl.DataFrame: ...
@overload
def to_ewkb_header(source: pl.Series, srid: int | bool | SupportsIndex, *, errors: _Errors = "raise", threads: int | None = None, column: str | None = None) -> pl.Series: ...
@overload
def to_ewkb_header(source: _Objects, srid: int | bool | SupportsIndex, *, errors: _Errors = "raise", threads: int | None = None, column: str | None = None) -> _Objects: ...  # type: ignore[overload-overlap, unused-ignore]
@overload
def to_ewkb_header(source: duckdb.DuckDBPyRelation, srid: int | bool | SupportsIndex, *, errors: _Errors = "raise", threads: int | None = None, column: str | None = None) -> pa.Table: ...
@overload
def to_ewkb_header(source: Sequence[str | Buffer | None], srid: int | bool | SupportsIndex, *, errors: _Errors = "raise", threads: int | None = None, column: str | None = None) -> list[str | bytes | None]: ...
@overload
def to_ewkb_header(source: pd.Series, srid: int | bool | SupportsIndex, *, errors: _Errors = "raise", threads: int | None = None, column: str | None = None) -> pd.Series: ...
@overload
def to_ewkb_header(source: pa.Table, srid: int | bool | SupportsIndex, *, errors: _Errors = "raise", threads: int | None = None, column: str | None = None) -> pa.Table: ...  # type: ignore[overload-cannot-match, unused-ignore]
@overload
def to_ewkb_header(source: pa.RecordBatch, srid: int | bool | SupportsIndex, *, errors: _Errors = "raise", threads: int | None = None, column: str | None = None) -> pa.RecordBatch: ...  # type: ignore[overload-cannot-match, unused-ignore]
@overload
def to_ewkb_header(source: pa.RecordBatchReader, srid: int | bool | SupportsIndex, *, errors: _Errors = "raise", threads: int | None = None, column: str | None = None) -> pa.RecordBatchReader: ...  # type: ignore[overload-cannot-match, unused-ignore]
@overload
def to_ewkb_header(source: pa.Array, srid: int | bool | SupportsIndex, *, errors: _Errors = "raise", threads: int | None = None, column: str | None = None) -> pa.Array: ...  # type: ignore[overload-cannot-match, unused-ignore]
@overload
def to_ewkb_header(source: pa.ChunkedArray, srid: int | bool | SupportsIndex, *, errors: _Errors = "raise", threads: int | None = None, column: str | None = None) -> pa.ChunkedArray: ...  # type: ignore[overload-cannot-match, unused-ignore]
@overload
def to_ewkb_header(source: _Arrow, srid: int | bool | SupportsIndex, *, errors: _Errors = "raise", threads: int | None = None, column: str | None = None) -> Any: ...  # type: ignore[overload-cannot-match, unused-ignore]
@overload
def to_ewkb_header(source: Iterable[str | Buffer | None], srid: int | bool | SupportsIndex, *, errors: _Errors = "raise", threads: int | None = None, column: str | None = None) -> list[str | bytes | None]: ...  # type: ignore[overload-cannot-match, unused-ignore]
