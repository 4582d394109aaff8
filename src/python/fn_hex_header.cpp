// hex_wkb_to_wkt and the SRID header functions wkb_header_srid,
// to_wkb_no_srid_header and to_ewkb_header.
#include "python/args.h"
#include "python/functions.h"
#include "python/scalar_output.h"

namespace geoweave::py {
namespace {

constexpr const char* HEX_WKB_SRID_PARAMS[] = {"hex_wkb", "srid"};
constexpr const char* SOURCE_SRID_PARAMS[] = {"source", "srid"};
constexpr Signature HEX_WKB_TO_WKT{traits(Operation::HexWkbToWkt).name, HEX_WKB_SRID_PARAMS, 2,
                                   1};
constexpr Signature WKB_HEADER_SRID{traits(Operation::WkbHeaderSrid).name, SOURCE_SRID_PARAMS, 1,
                                    1};
constexpr Signature TO_WKB_NO_SRID_HEADER{traits(Operation::ToWkbNoSridHeader).name,
                                          SOURCE_SRID_PARAMS, 1, 1};
constexpr Signature TO_EWKB_HEADER{traits(Operation::ToEwkbHeader).name, SOURCE_SRID_PARAMS, 2,
                                   2};

}  // namespace

PyObject* hex_wkb_to_wkt_body(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[2];
  if (!bind_arguments(HEX_WKB_TO_WKT, args, nargs, kwnames, a)) return nullptr;
  TextView text;
  if (!extract_text_argument(a[0], "hex_wkb", &text)) return nullptr;  // before srid
  SridOption option;
  if (!srid_argument(a[1], &option)) return nullptr;
  return run_for_python<Operation::HexWkbToWkt>({option}, {true, {}, text});
}

PyObject* wkb_header_srid_body(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[1];
  if (!bind_arguments(WKB_HEADER_SRID, args, nargs, kwnames, a)) return nullptr;
  BorrowedBytes held;
  Source source;
  if (!source_argument(a[0], &held, &source)) return nullptr;
  return run_for_python<Operation::WkbHeaderSrid>({}, source);
}

PyObject* to_wkb_no_srid_header_body(PyObject* const* args, Py_ssize_t nargs,
                                     PyObject* kwnames) {
  PyObject* a[1];
  if (!bind_arguments(TO_WKB_NO_SRID_HEADER, args, nargs, kwnames, a)) return nullptr;
  BorrowedBytes held;
  Source source;
  if (!source_argument(a[0], &held, &source)) return nullptr;
  return run_for_python<Operation::ToWkbNoSridHeader>({}, source);
}

PyObject* to_ewkb_header_body(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[2];
  if (!bind_arguments(TO_EWKB_HEADER, args, nargs, kwnames, a)) return nullptr;
  SridOption option;  // before the source is examined
  if (!parse_srid_option(a[1], HEADER_SRID_TRUE_MESSAGE, HEADER_SRID_INVALID_MESSAGE, &option)) {
    return nullptr;
  }
  BorrowedBytes held;
  Source source;
  if (!source_argument(a[0], &held, &source)) return nullptr;
  return run_for_python<Operation::ToEwkbHeader>({option}, source);
}

const char DOC_hex_wkb_to_wkt[] =
    "hex_wkb_to_wkt(hex_wkb, srid=None)\n"
    "--\n"
    "\n"
    "Converts a hex-encoded WKB/EWKB string to a WKT/EWKT string.\n"
    "\n"
    "*srid* controls SRID handling in the output:\n"
    "- ``None`` (default): mirror the input \u2014 ``SRID=N;`` prefix kept if present, absent if not.\n"
    "- ``False``: always strip the ``SRID=N;`` prefix from the output.\n"
    "- integer: always prepend ``SRID=N;``, overriding whatever the input contains.";

const char DOC_wkb_header_srid[] =
    "wkb_header_srid(source)\n"
    "--\n"
    "\n"
    "Returns the SRID embedded in the top-level WKB/EWKB header, or ``None``\n"
    "if no SRID is present.\n"
    "\n"
    "``source`` may be a bytes-like WKB/EWKB value or a hex-encoded WKB/EWKB\n"
    "string.  For bytes-like input it is borrowed without copying.\n"
    "\n"
    "For any byte order and any geometry type with only the three canonical EWKB\n"
    "flag bits (Z, M, SRID) in the high type-word half, the SRID is read\n"
    "directly from the 9-byte header without parsing the geometry body.  This\n"
    "covers EWKB types 1\u20137, plain WKB, and ISO-dimensional WKB (which has no\n"
    "SRID flag, so ``None`` is returned immediately without a full parse).\n"
    "Inputs shorter than the 5-byte WKB header, inputs with unknown flag bits,\n"
    "and inputs with an invalid byte-order marker fall back to a full parse.\n"
    "\n"
    "Note: this function reads only the top-level header and does not validate\n"
    "the base geometry type code.  An input whose header has valid EWKB flag bits\n"
    "but an unsupported geometry type (e.g. type code 99) will have its SRID\n"
    "returned without error; attempting to convert such bytes to WKT will still\n"
    "fail.  This is intentional \u2014 extracting the SRID from a partially valid\n"
    "header can be useful even when the full geometry is unrecognised.";

const char DOC_to_wkb_no_srid_header[] =
    "to_wkb_no_srid_header(source)\n"
    "--\n"
    "\n"
    "Strips the top-level SRID flag and SRID field from WKB/EWKB input.\n"
    "\n"
    "``source`` may be a bytes-like WKB/EWKB value or a hex-encoded WKB/EWKB\n"
    "string.  The return type mirrors the input type: binary input returns\n"
    "``bytes``, hex-string input returns an uppercase hex string.\n"
    "\n"
    "For simple Point, LineString, or Polygon EWKB/WKB headers in either byte\n"
    "order, the header is rewritten without parsing the geometry body.\n"
    "Collection types, ISO-dimensional inputs, and non-canonical headers fall\n"
    "back to a full WKB\u2192WKT\u2192WKB round-trip which normalises the representation.";

const char DOC_to_ewkb_header[] =
    "to_ewkb_header(source, srid)\n"
    "--\n"
    "\n"
    "Embeds or replaces the SRID in WKB/EWKB input.\n"
    "\n"
    "``source`` may be a bytes-like WKB/EWKB value or a hex-encoded WKB/EWKB\n"
    "string.  The return type mirrors the input type: binary input returns\n"
    "``bytes``, hex-string input returns an uppercase hex string.\n"
    "\n"
    "An existing embedded SRID is replaced rather than doubled.  Pass ``False``\n"
    "to strip the SRID; pass an integer to embed or replace it.  ``True`` is\n"
    "rejected to avoid ambiguity.  Integer SRID values \u2264 0 strip the SRID per\n"
    "the PostGIS convention (``SRID_IS_UNKNOWN(x) ((int)x<=0)``), identical to\n"
    "``to_wkb_no_srid_header``.\n"
    "\n"
    "For simple Point, LineString, or Polygon EWKB/WKB headers in either byte\n"
    "order, the header is rewritten without parsing the geometry body.\n"
    "Collection types, ISO-dimensional inputs, and non-canonical headers fall\n"
    "back to a full WKB\u2192WKT\u2192WKB round-trip which normalises the representation.";

}  // namespace geoweave::py
