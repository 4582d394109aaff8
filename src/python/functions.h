// The twelve module functions. Each fn_*.cpp file defines the bodies and
// documentation strings of one group; module.cpp registers entry<body> for each
// in table order.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace geoweave::py {

#define GEOWEAVE_DECLARE_FUNCTION(NAME)                                          \
  PyObject* NAME##_body(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames); \
  extern const char DOC_##NAME[];

// WKB to WKT (fn_wkb_to_wkt.cpp)
GEOWEAVE_DECLARE_FUNCTION(wkb_to_wkt)
GEOWEAVE_DECLARE_FUNCTION(wkb_to_wkt_split_srid)
// WKT to WKB (fn_wkt_to_wkb.cpp)
GEOWEAVE_DECLARE_FUNCTION(wkt_to_wkb)
GEOWEAVE_DECLARE_FUNCTION(wkt_to_wkb_split_srid)
GEOWEAVE_DECLARE_FUNCTION(wkt_to_hex_wkb)
// Hex and header operations (fn_hex_header.cpp)
GEOWEAVE_DECLARE_FUNCTION(hex_wkb_to_wkt)
GEOWEAVE_DECLARE_FUNCTION(wkb_header_srid)
GEOWEAVE_DECLARE_FUNCTION(to_wkb_no_srid_header)
GEOWEAVE_DECLARE_FUNCTION(to_ewkb_header)
// Auto-detecting conversions (fn_auto.cpp)
GEOWEAVE_DECLARE_FUNCTION(to_wkb)
GEOWEAVE_DECLARE_FUNCTION(to_wkt)
GEOWEAVE_DECLARE_FUNCTION(to_hex_wkb)

#undef GEOWEAVE_DECLARE_FUNCTION

}  // namespace geoweave::py
