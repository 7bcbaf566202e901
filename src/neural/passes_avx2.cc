// The decoding passes compiled again for processors with AVX2 and FMA
// (see passes.h). Everything this file defines lives in tamsu::avx2 and in
// a renamed copy of Eigen's namespace. Every other header is included
// before the target switch: a function the two copies share (an inline
// function, a template instance such as std::vector<float>'s) is kept once
// by the linker, and that one must run on any processor.
#include <algorithm>
#include <array>
#include <atomic>
#include <cassert>
#include <cctype>
#include <cerrno>
#include <climits>
#include <clocale>
#include <cmath>
#include <complex>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <cwctype>
#include <exception>
#include <functional>
#include <immintrin.h>
#include <initializer_list>
#include <ios>
#include <iosfwd>
#include <istream>
#include <limits>
#include <memory>
#include <new>
#include <numeric>
#include <ostream>
#include <sstream>
#include <stdexcept>
#include <streambuf>
#include <string>
#include <string_view>
#include <system_error>
#include <tuple>
#include <type_traits>
#include <typeinfo>
#include <unordered_map>
#include <utility>
#include <vector>

#include "base/labels.h"
#include "neural/neural_model.h"
#include "neural/passes.h"
#include "neural/search.h"

#pragma GCC target("avx2,fma")
// Eigen chooses its 8-float kernels by the macros a -mavx2 -mfma build
// defines, which the pragma does not.
#define __SSE3__ 1
#define __SSSE3__ 1
#define __SSE4_1__ 1
#define __SSE4_2__ 1
#define __AVX__ 1
#define __AVX2__ 1
#define __FMA__ 1
#define Eigen tamsu_eigen_avx2
#define TAMSU_NEURAL_KERNEL avx2

#include "neural/transformer.cc"  // NOLINT: this unit's second copy
#include "neural/lstm.cc"         // NOLINT
#include "neural/passes.cc"       // NOLINT
