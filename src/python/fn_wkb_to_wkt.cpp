// wkb_to_wkt and wkb_to_wkt_split_srid: raw WKB/EWKB bytes to WKT/EWKT text.
#include "python/args.h"
#include "python/functions.h"
#include "python/scalar_output.h"

namespace geoweave::py {
namespace {

constexpr const char* WKB_SRID_PARAMS[] = {"wkb", "srid"};
constexpr Signature WKB_TO_WKT{traits(Operation::WkbToWkt).name, WKB_SRID_PARAMS, 2, 1};
constexpr Signature WKB_TO_WKT_SPLIT{traits(Operation::WkbToWktSplitSrid).name,
                                     WKB_SRID_PARAMS, 1, 1};

}  // namespace

PyObject* wkb_to_wkt_body(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[2];
  if (!bind_arguments(WKB_TO_WKT, args, nargs, kwnames, a)) return nullptr;
  SridOption option;
  if (!srid_argument(a[1], &option)) return nullptr;  // srid before the input
  BorrowedBytes wkb;
  if (!borrow_bytes_source(a[0], "wkb", &wkb)) return nullptr;
  return run_for_python<Operation::WkbToWkt>({option}, {false, wkb.span(), {}});
}

PyObject* wkb_to_wkt_split_srid_body(PyObject* const* args, Py_ssize_t nargs,
                                     PyObject* kwnames) {
  PyObject* a[1];
  if (!bind_arguments(WKB_TO_WKT_SPLIT, args, nargs, kwnames, a)) return nullptr;
  BorrowedBytes wkb;
  if (!borrow_bytes_source(a[0], "wkb", &wkb)) return nullptr;
  return run_for_python<Operation::WkbToWktSplitSrid>({}, {false, wkb.span(), {}});
}

const char DOC_wkb_to_wkt[] =
    "wkb_to_wkt(wkb, srid=None)\n"
    "--\n"
    "\n"
    "Converts WKB/EWKB bytes-like input to a WKT/EWKT string.\n"
    "\n"
    "``wkb`` may be ``bytes``, ``bytearray``, ``memoryview``, or another\n"
    "C-contiguous one-byte buffer object. It is always treated as raw WKB/EWKB.\n"
    "For performance, bytes-like inputs may be borrowed directly without\n"
    "copying; mutating a writable buffer during conversion is unsupported and may\n"
    "produce invalid or inconsistent results.\n"
    "\n"
    "*srid* controls SRID handling in the output:\n"
    "- ``None`` (default): mirror the input \u2014 ``SRID=N;`` prefix kept if present, absent if not.\n"
    "- ``False``: always strip the ``SRID=N;`` prefix from the output.\n"
    "- integer: always prepend ``SRID=N;``, overriding whatever the input contains.";

const char DOC_wkb_to_wkt_split_srid[] =
    "wkb_to_wkt_split_srid(wkb)\n"
    "--\n"
    "\n"
    "Converts WKB/EWKB bytes-like input to a WKT string and returns the SRID separately.\n"
    "The returned WKT string does not contain a `SRID=N;` prefix.\n"
    "\n"
    "For performance, bytes-like inputs may be borrowed directly without\n"
    "copying; mutating a writable buffer during conversion is unsupported and may\n"
    "produce invalid or inconsistent results.";

}  // namespace geoweave::py
