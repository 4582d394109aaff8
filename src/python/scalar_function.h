// The body of every geoweave function, made from its operation's traits. The
// arguments are checked in one order for all of them, the order their errors
// are reported in: a text source (WKT, hex WKB) first, then normalize_wkt,
// then srid, then a bytes-like or either-kind source.
#pragma once

#include "python/scalar_output.h"
#include "python/signatures.h"

namespace geoweave::py {

template <Operation OP>
PyObject* scalar_body(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr const OperationTraits& t = traits(OP);
  PyObject* a[3];
  if (!bind_arguments(SCALAR_SIGNATURE<OP>, args, nargs, kwnames, a)) return nullptr;
  Source source;
  if constexpr (t.accepts == Accepts::Text) {
    source.is_text = true;
    if (!extract_text_argument(a[0], t.source_param, &source.text)) return nullptr;
  }
  OperationArgs op_args;
  if constexpr (t.normalize_wkt) {
    PyObject* flag = a[normalize_argument(OP)];
    if (flag) {  // only an omitted flag means false
      const int normalize = extract_bool_argument(flag, "normalize_wkt");
      if (normalize < 0) return nullptr;
      op_args.normalize = normalize != 0;
    }
  }
  if constexpr (t.srid != SridParam::None) {
    if (!operation_srid_argument(t.srid, a[SRID_ARGUMENT], &op_args.option)) return nullptr;
  }
  if constexpr (t.accepts == Accepts::Text) {
    return run_for_python<OP>(op_args, source);
  } else {
    BorrowedBytes held;  // the buffer view, kept for the call
    if constexpr (t.accepts == Accepts::Bytes) {
      if (!borrow_bytes_source(a[0], t.source_param, &held)) return nullptr;
      source.bytes = held.span();
    } else {
      if (!source_argument(a[0], &held, &source)) return nullptr;
    }
    return run_for_python<OP>(op_args, source);
  }
}

}  // namespace geoweave::py
