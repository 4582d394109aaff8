// The parameters of an operation's functions, from its traits alone: the
// source, `srid` where it takes one, `normalize_wkt` where it takes it; then,
// for the column functions, the keyword-only `errors` and `threads`, and
// `flavor` where it writes WKB. Both modules bind through these, so the two
// cannot drift apart.
#pragma once

#include "ops/operation.h"
#include "python/args.h"

namespace geoweave::py {

struct ParameterList {
  const char* names[6] = {};
  Py_ssize_t scalar_count = 0;  // the scalar function's parameters
  Py_ssize_t required = 0;      // leading ones that must be given
  Py_ssize_t keyword_only = 0;  // the column function's, after the scalar ones
};

constexpr ParameterList parameter_list(Operation op) {
  const OperationTraits& t = traits(op);
  ParameterList p;
  Py_ssize_t n = 0;
  p.names[n++] = t.source_param;
  if (t.srid != SridParam::None) p.names[n++] = "srid";
  if (t.normalize_wkt) p.names[n++] = "normalize_wkt";
  p.scalar_count = n;
  p.required = t.srid == SridParam::Required ? 2 : 1;
  p.names[n++] = "errors";
  p.names[n++] = "threads";
  if (t.writes_wkb) p.names[n++] = "flavor";
  p.keyword_only = n - p.scalar_count;
  return p;
}

template <Operation OP>
inline constexpr ParameterList PARAMETERS = parameter_list(OP);

template <Operation OP>
inline constexpr Signature SCALAR_SIGNATURE{traits(OP).name, PARAMETERS<OP>.names,
                                            PARAMETERS<OP>.scalar_count,
                                            PARAMETERS<OP>.required};

template <Operation OP>
inline constexpr Signature COLUMN_SIGNATURE{traits(OP).name, PARAMETERS<OP>.names,
                                            PARAMETERS<OP>.scalar_count, PARAMETERS<OP>.required,
                                            PARAMETERS<OP>.keyword_only};

// Where srid and normalize_wkt are among the bound arguments.
constexpr Py_ssize_t SRID_ARGUMENT = 1;
constexpr Py_ssize_t normalize_argument(Operation op) {
  return traits(op).srid != SridParam::None ? 2 : 1;
}

// The `srid` argument as the operation takes it: optional (absent or None
// mirrors), or required (to_ewkb_header: no mirror, its own messages).
inline bool operation_srid_argument(SridParam kind, PyObject* value, SridOption* out) {
  if (kind == SridParam::Required) {
    return parse_srid_option(value, HEADER_SRID_TRUE_MESSAGE, HEADER_SRID_INVALID_MESSAGE, out);
  }
  return srid_argument(value, out);
}

}  // namespace geoweave::py
