// hex_wkb_to_wkt and the SRID header functions wkb_header_srid,
// to_wkb_no_srid_header and to_ewkb_header.
#include <cstring>

#include "python/args.h"
#include "python/functions.h"
#include "ops/convert.h"
#include "ops/header.h"
#include "ops/hex.h"
#include "python/rewrite_result.h"

namespace geoweave::py {
namespace {

constexpr const char* HEX_WKB_SRID_PARAMS[] = {"hex_wkb", "srid"};
constexpr const char* SOURCE_SRID_PARAMS[] = {"source", "srid"};
constexpr Signature HEX_WKB_TO_WKT{"hex_wkb_to_wkt", HEX_WKB_SRID_PARAMS, 2, 1};
constexpr Signature WKB_HEADER_SRID{"wkb_header_srid", SOURCE_SRID_PARAMS, 1, 1};
constexpr Signature TO_WKB_NO_SRID_HEADER{"to_wkb_no_srid_header", SOURCE_SRID_PARAMS, 1, 1};
constexpr Signature TO_EWKB_HEADER{"to_ewkb_header", SOURCE_SRID_PARAMS, 2, 2};

ByteSpan span_of(const OutputBuffer& b) noexcept { return {b.bytes(), b.size()}; }

PyObject* optional_srid_result(const std::optional<std::int32_t>& srid) {
  if (!srid) Py_RETURN_NONE;
  return PyLong_FromLong(*srid);
}

// The shared body of to_ewkb_header and to_wkb_no_srid_header once the option
// is known: hex text answers hex text, anything bytes-like answers bytes.
PyObject* rewrite_header(PyObject* source, SridOption option) {
  if (PyUnicode_Check(source)) {
    TextView text;
    if (!extract_text_argument(source, "source", &text)) return nullptr;
    auto decoded = hex_decode(text);  // never trimmed
    if (!decoded) return raise_conversion_error(decoded.error());
    // Upper case even when nothing changed.
    return rewrite_result(plan_srid_rewrite(span_of(*decoded), option, RewriteEncoding::Hex),
                          span_of(*decoded));
  }
  BorrowedBytes wkb;
  if (!borrow_bytes_source(source, "source", &wkb)) return nullptr;
  return rewrite_result(plan_srid_rewrite(wkb.span(), option, RewriteEncoding::Bytes),
                        wkb.span());
}

}  // namespace

PyObject* hex_wkb_to_wkt_body(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[2];
  if (!bind_arguments(HEX_WKB_TO_WKT, args, nargs, kwnames, a)) return nullptr;
  TextView text;
  if (!extract_text_argument(a[0], "hex_wkb", &text)) return nullptr;  // before srid
  SridOption option;
  if (!srid_argument(a[1], &option)) return nullptr;
  auto decoded = hex_decode(text);
  if (!decoded) return raise_conversion_error(decoded.error());
  ResultStorage result(ResultStorage::Kind::Str);
  auto wkt = convert_wkb_to_wkt(span_of(*decoded), option, &result);
  if (!wkt) return raise_conversion_error(wkt.error());
  return result.finish(*wkt);
}

PyObject* wkb_header_srid_body(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[1];
  if (!bind_arguments(WKB_HEADER_SRID, args, nargs, kwnames, a)) return nullptr;
  if (PyUnicode_Check(a[0])) {
    TextView text;
    if (!extract_text_argument(a[0], "source", &text)) return nullptr;
    auto decoded = hex_decode(text);
    if (!decoded) return raise_conversion_error(decoded.error());
    auto srid = read_header_srid(span_of(*decoded));
    if (!srid) return raise_conversion_error(srid.error());
    return optional_srid_result(*srid);
  }
  BorrowedBytes wkb;
  if (!borrow_bytes_source(a[0], "source", &wkb)) return nullptr;
  auto srid = read_header_srid(wkb.span());
  if (!srid) return raise_conversion_error(srid.error());
  return optional_srid_result(*srid);
}

PyObject* to_wkb_no_srid_header_body(PyObject* const* args, Py_ssize_t nargs,
                                     PyObject* kwnames) {
  PyObject* a[1];
  if (!bind_arguments(TO_WKB_NO_SRID_HEADER, args, nargs, kwnames, a)) return nullptr;
  return rewrite_header(a[0], SridOption::strip());
}

PyObject* to_ewkb_header_body(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[2];
  if (!bind_arguments(TO_EWKB_HEADER, args, nargs, kwnames, a)) return nullptr;
  SridOption option;  // before the source is examined
  if (!parse_srid_option(a[1], HEADER_SRID_TRUE_MESSAGE, HEADER_SRID_INVALID_MESSAGE, &option)) {
    return nullptr;
  }
  return rewrite_header(a[0], option);
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
