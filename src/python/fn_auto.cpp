// to_wkb, to_wkt and to_hex_wkb: conversions that accept WKT text, hex WKB text
// or bytes-like WKB and decide by the source which one they were given.
#include "python/args.h"
#include "python/functions.h"
#include "python/scalar_output.h"

namespace geoweave::py {
namespace {

constexpr const char* SOURCE_PARAMS[] = {"source", "srid", "normalize_wkt"};
constexpr Signature TO_WKB{traits(Operation::ToWkb).name, SOURCE_PARAMS, 2, 1};
constexpr Signature TO_WKT{traits(Operation::ToWkt).name, SOURCE_PARAMS, 3, 1};
constexpr Signature TO_HEX_WKB{traits(Operation::ToHexWkb).name, SOURCE_PARAMS, 2, 1};

}  // namespace

PyObject* to_wkb_body(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[2];
  if (!bind_arguments(TO_WKB, args, nargs, kwnames, a)) return nullptr;
  SridOption option;
  if (!srid_argument(a[1], &option)) return nullptr;  // srid before the source
  BorrowedBytes held;
  Source source;
  if (!source_argument(a[0], &held, &source)) return nullptr;
  return run_for_python<Operation::ToWkb>({option}, source);
}

PyObject* to_wkt_body(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[3];
  if (!bind_arguments(TO_WKT, args, nargs, kwnames, a)) return nullptr;
  int normalize = 0;  // only an omitted flag means false
  if (a[2]) {
    normalize = extract_bool_argument(a[2], "normalize_wkt");  // before srid
    if (normalize < 0) return nullptr;
  }
  SridOption option;
  if (!srid_argument(a[1], &option)) return nullptr;
  BorrowedBytes held;
  Source source;
  if (!source_argument(a[0], &held, &source)) return nullptr;
  return run_for_python<Operation::ToWkt>({option, normalize != 0}, source);
}

PyObject* to_hex_wkb_body(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[2];
  if (!bind_arguments(TO_HEX_WKB, args, nargs, kwnames, a)) return nullptr;
  SridOption option;
  if (!srid_argument(a[1], &option)) return nullptr;
  BorrowedBytes held;
  Source source;
  if (!source_argument(a[0], &held, &source)) return nullptr;
  return run_for_python<Operation::ToHexWkb>({option}, source);
}

const char DOC_to_wkb[] =
    "to_wkb(source, srid=None)\n"
    "--\n"
    "\n"
    "Converts a WKT/EWKT string, a hex-encoded WKB/EWKB string, or bytes-like\n"
    "WKB/EWKB input to WKB bytes.\n"
    "The string input format is detected automatically: non-empty, even-length\n"
    "all-hex text is treated as hex WKB; anything else is treated as WKT.\n"
    "Bytes-like input is always treated as raw WKB/EWKB.\n"
    "\n"
    "*srid* controls SRID handling in the output:\n"
    "- ``None`` (default): mirror the input \u2014 SRID is kept if present, absent if not.\n"
    "  Hex WKB and bytes-like WKB bytes are returned as-is without WKB structure validation.\n"
    "- ``False``: always strip the SRID from the output.\n"
    "- integer: always embed this SRID, overriding whatever the input contains.\n"
    "\n"
    "For performance, bytes-like inputs may be borrowed directly without\n"
    "copying; mutating a writable buffer during conversion is unsupported and may\n"
    "produce invalid or inconsistent results.\n"
    "\n"
    "For ``False`` and integer SRIDs, simple Point, LineString, and Polygon\n"
    "EWKB/WKB hex or bytes-like input in either byte order is patched at the\n"
    "top-level header without scanning the geometry body. Malformed coordinate\n"
    "bodies or trailing bytes in those simple fast paths can pass through as\n"
    "invalid output bytes.";

const char DOC_to_wkt[] =
    "to_wkt(source, srid=None, normalize_wkt=False)\n"
    "--\n"
    "\n"
    "Converts a WKT/EWKT string, a hex-encoded WKB/EWKB string, or bytes-like\n"
    "WKB/EWKB input to a WKT string.\n"
    "The string input format is detected automatically: non-empty, even-length\n"
    "all-hex text is treated as hex WKB; anything else is treated as WKT.\n"
    "Bytes-like input is always treated as raw WKB/EWKB.\n"
    "\n"
    "*srid* controls SRID handling in the output:\n"
    "- ``None`` (default): mirror the input \u2014 ``SRID=N;`` prefix kept if present, absent if not.\n"
    "- ``False``: always strip the ``SRID=N;`` prefix from the output.\n"
    "- integer: always prepend ``SRID=N;``, overriding whatever the input contains.\n"
    "\n"
    "*normalize_wkt* (default ``False``): when ``True``, WKT input is normalised\n"
    "(canonical casing, spacing, coordinate formatting) via a round-trip through\n"
    "WKB.  When ``False``, only the SRID prefix is adjusted \u2014 **no validation is\n"
    "performed and malformed WKT is returned without raising an error.**\n"
    "Leading/trailing whitespace is always stripped regardless of this flag.\n"
    "Hex WKB and bytes-like WKB input are always decoded to normalised WKT\n"
    "regardless of this flag.\n"
    "Odd-length all-hex input is not hex WKB; with ``normalize_wkt=False`` it\n"
    "follows the same unvalidated WKT fast path.\n"
    "For performance, bytes-like inputs may be borrowed directly without\n"
    "copying; mutating a writable buffer during conversion is unsupported and may\n"
    "produce invalid or inconsistent results.";

const char DOC_to_hex_wkb[] =
    "to_hex_wkb(source, srid=None)\n"
    "--\n"
    "\n"
    "Converts a WKT/EWKT string, a hex-encoded WKB/EWKB string, or bytes-like\n"
    "WKB/EWKB input to an uppercase hex-encoded EWKB string.\n"
    "The string input format is detected automatically: non-empty, even-length\n"
    "all-hex text is treated as hex WKB; anything else is treated as WKT.\n"
    "Bytes-like input is always treated as raw WKB/EWKB.\n"
    "With ``srid=None``, hex input is validated as hex text and uppercased\n"
    "without WKB structure validation, and bytes-like input is hex-encoded\n"
    "without WKB structure validation.\n"
    "For performance, bytes-like inputs may be borrowed directly without\n"
    "copying; mutating a writable buffer during conversion is unsupported and may\n"
    "produce invalid or inconsistent results.\n"
    "\n"
    "*srid* controls SRID handling in the output \u2014 see ``to_wkb``.";

}  // namespace geoweave::py
