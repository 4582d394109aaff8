// wkt_to_wkb, wkt_to_wkb_split_srid and wkt_to_hex_wkb: WKT/EWKT text to EWKB.
#include "python/args.h"
#include "python/functions.h"
#include "python/scalar_output.h"

namespace geoweave::py {
namespace {

constexpr const char* WKT_SRID_PARAMS[] = {"wkt", "srid"};
constexpr Signature WKT_TO_WKB{traits(Operation::WktToWkb).name, WKT_SRID_PARAMS, 2, 1};
constexpr Signature WKT_TO_WKB_SPLIT{traits(Operation::WktToWkbSplitSrid).name,
                                     WKT_SRID_PARAMS, 1, 1};
constexpr Signature WKT_TO_HEX_WKB{traits(Operation::WktToHexWkb).name, WKT_SRID_PARAMS, 2, 1};

}  // namespace

PyObject* wkt_to_wkb_body(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[2];
  if (!bind_arguments(WKT_TO_WKB, args, nargs, kwnames, a)) return nullptr;
  TextView wkt;
  if (!extract_text_argument(a[0], "wkt", &wkt)) return nullptr;  // text before srid
  SridOption option;
  if (!srid_argument(a[1], &option)) return nullptr;
  return run_for_python<Operation::WktToWkb>({option}, {true, {}, wkt});
}

PyObject* wkt_to_wkb_split_srid_body(PyObject* const* args, Py_ssize_t nargs,
                                     PyObject* kwnames) {
  PyObject* a[1];
  if (!bind_arguments(WKT_TO_WKB_SPLIT, args, nargs, kwnames, a)) return nullptr;
  TextView wkt;
  if (!extract_text_argument(a[0], "wkt", &wkt)) return nullptr;
  return run_for_python<Operation::WktToWkbSplitSrid>({}, {true, {}, wkt});
}

PyObject* wkt_to_hex_wkb_body(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[2];
  if (!bind_arguments(WKT_TO_HEX_WKB, args, nargs, kwnames, a)) return nullptr;
  TextView wkt;
  if (!extract_text_argument(a[0], "wkt", &wkt)) return nullptr;  // text before srid
  SridOption option;
  if (!srid_argument(a[1], &option)) return nullptr;
  return run_for_python<Operation::WktToHexWkb>({option}, {true, {}, wkt});
}

const char DOC_wkt_to_wkb[] =
    "wkt_to_wkb(wkt, srid=None)\n"
    "--\n"
    "\n"
    "Converts a WKT/EWKT string to EWKB bytes.\n"
    "\n"
    "*srid* controls SRID handling in the output:\n"
    "- ``None`` (default): mirror the input \u2014 SRID is kept if present, absent if not.\n"
    "- ``False``: always strip the SRID from the output.\n"
    "- integer: always embed this SRID, overriding whatever the input contains.";

const char DOC_wkt_to_wkb_split_srid[] =
    "wkt_to_wkb_split_srid(wkt)\n"
    "--\n"
    "\n"
    "Converts a WKT/EWKT string to EWKB bytes and returns the SRID separately.\n"
    "The SRID is not embedded in the returned bytes.";

const char DOC_wkt_to_hex_wkb[] =
    "wkt_to_hex_wkb(wkt, srid=None)\n"
    "--\n"
    "\n"
    "Converts a WKT/EWKT string to an uppercase hex-encoded EWKB string.\n"
    "\n"
    "*srid* controls SRID handling in the output:\n"
    "- ``None`` (default): mirror the input \u2014 SRID is kept if present, absent if not.\n"
    "- ``False``: always strip the SRID from the output.\n"
    "- integer: always embed this SRID, overriding whatever the input contains.";

}  // namespace geoweave::py
