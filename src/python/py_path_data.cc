// PathData: an immutable view of one decoded path. Every attribute read
// builds a new Python object from the embedded record.
#include <cmath>
#include <cstdio>
#include <new>
#include <string>
#include <utility>

#include "python/guard.h"
#include "python/module_state.h"

namespace tamsu::python {
namespace {

struct PyPathData {
  PyObject_HEAD
  PathData record;
};

PathData &record_of(PyObject *self) {
  return reinterpret_cast<PyPathData *>(self)->record;
}

PyObject *label_list(const LabelList &labels) {
  // Labels come from symbol tables and are below 2^31.
  return new_list(labels.size(), [&](std::size_t i) {
    return PyLong_FromLong(static_cast<std::int32_t>(labels[i]));
  });
}

PyObject *path_data_path_weight(PyObject *self, void *) {
  return PyFloat_FromDouble(record_of(self).path_weight);
}

PyObject *path_data_path_weights(PyObject *self, void *) {
  const auto &weights = record_of(self).path_weights;
  return new_list(weights.size(), [&](std::size_t i) {
    return PyFloat_FromDouble(weights[i]);
  });
}

PyObject *path_data_ilabels(PyObject *self, void *) {
  return label_list(record_of(self).ilabels);
}

PyObject *path_data_olabels(PyObject *self, void *) {
  return label_list(record_of(self).olabels);
}

PyObject *path_data_uniques(PyObject *self, void *) {
  return label_list(record_of(self).uniques);
}

std::string format_weight(float weight) {
  if (std::isnan(weight)) return "NaN";
  if (std::isinf(weight)) return weight > 0 ? "inf" : "-inf";
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%.4f", static_cast<double>(weight));
  return buffer;
}

PyObject *path_data_repr(PyObject *self) {
  return guarded([&]() -> PyObject * {
    const PathData &record = record_of(self);
    std::string text = "PathData(path_weight=" +
                       format_weight(record.path_weight) + ", uniques=[";
    for (std::size_t i = 0; i < record.uniques.size(); ++i) {
      if (i) text += ", ";
      text += std::to_string(static_cast<std::int32_t>(record.uniques[i]));
    }
    text += "])";
    return PyUnicode_FromStringAndSize(text.data(),
                                       static_cast<Py_ssize_t>(text.size()));
  });
}

void path_data_dealloc(PyObject *self) {
  PyTypeObject *type = Py_TYPE(self);
  record_of(self).~PathData();
  type->tp_free(self);
  Py_DECREF(type);
}

PyGetSetDef path_data_getset[] = {
    {"path_weight", path_data_path_weight, nullptr, nullptr, nullptr},
    {"path_weights", path_data_path_weights, nullptr, nullptr, nullptr},
    {"ilabels", path_data_ilabels, nullptr, nullptr, nullptr},
    {"olabels", path_data_olabels, nullptr, nullptr, nullptr},
    {"uniques", path_data_uniques, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot path_data_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void *>(path_data_dealloc)},
    {Py_tp_repr, reinterpret_cast<void *>(path_data_repr)},
    {Py_tp_getset, path_data_getset},
    {0, nullptr},
};

}  // namespace

PyType_Spec path_data_type_spec = {
    "tamsu._tamsu.PathData",
    sizeof(PyPathData),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE |
        Py_TPFLAGS_DISALLOW_INSTANTIATION,
    path_data_slots,
};

PyObject *new_path_data(ModuleState *state, PathData &&record) {
  PyTypeObject *type = state->path_data_type;
  PyObject *self = type->tp_alloc(type, 0);
  if (!self) return nullptr;
  // tp_alloc took a reference to the heap type; dealloc gives it back.
  new (&record_of(self)) PathData(std::move(record));
  return self;
}

}  // namespace tamsu::python
