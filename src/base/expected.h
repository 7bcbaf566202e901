// A must-use value-or-error result, the return type of fallible core
// operations. Only the Python binding turns the error side into exceptions.
#ifndef TAMSU_BASE_EXPECTED_H_
#define TAMSU_BASE_EXPECTED_H_

#include <utility>
#include <variant>

namespace tamsu {

// Tag that marks the error side when constructing an Expected.
template <class E>
struct Unexpected {
  E error;
};

template <class E>
Unexpected<E> make_unexpected(E error) {
  return Unexpected<E>{std::move(error)};
}

template <class T, class E>
class [[nodiscard]] Expected {
 public:
  Expected(T value) : data_(std::in_place_index<0>, std::move(value)) {}
  Expected(Unexpected<E> error)
      : data_(std::in_place_index<1>, std::move(error.error)) {}

  bool has_value() const { return data_.index() == 0; }
  explicit operator bool() const { return has_value(); }

  T &value() & { return std::get<0>(data_); }
  const T &value() const & { return std::get<0>(data_); }
  T &&value() && { return std::get<0>(std::move(data_)); }
  const E &error() const { return std::get<1>(data_); }

  T *operator->() { return &value(); }
  const T *operator->() const { return &value(); }
  T &operator*() & { return value(); }
  const T &operator*() const & { return value(); }

 private:
  std::variant<T, E> data_;
};

}  // namespace tamsu

#endif  // TAMSU_BASE_EXPECTED_H_
