#include "python/decode_options.h"

#include <optional>
#include <string_view>

namespace tamsu::python {
namespace {

// A threshold or pmass: off when the class's off value says so.
template <class Number>
bool convert_limit(PyObject *value, const char *name, OffValue off,
                   std::optional<Number> &out) {
  double number = 0;
  if (!convert_double(value, name, number)) return false;
  const auto converted = static_cast<Number>(number);
  // "99 > x" is false for NaN too: the documented off values.
  const bool on = off == OffValue::kNone || Number(99) > converted;
  out = on ? std::optional<Number>(converted) : std::nullopt;
  return true;
}

}  // namespace

bool convert_decode_options(const Signature &signature,
                            const BoundArguments &bound, OffValue off,
                            DecodeOptions &options) {
  for (Py_ssize_t i = 1; i < signature.num_params; ++i) {
    PyObject *value = bound[static_cast<std::size_t>(i)];
    if (!value || (off == OffValue::kNone && value == Py_None)) continue;
    const char *name = signature.names[i];
    const std::string_view option = name;
    bool ok = true;
    if (option == "nbest") {
      ok = convert_u64(value, name, options.nbest);
    } else if (option == "beam") {
      ok = convert_u64(value, name, options.beam);
    } else if (option == "threshold") {
      ok = convert_limit(value, name, off, options.threshold);
    } else if (option == "pmass") {
      ok = convert_limit(value, name, off, options.pmass);
    } else if (option == "write_fsts") {
      ok = convert_bool(value, name, options.write_fsts);
    } else if (option == "accumulate") {
      ok = convert_bool(value, name, options.accumulate);
    }
    if (!ok) return false;
  }
  return true;
}

}  // namespace tamsu::python
