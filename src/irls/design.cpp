#include "design.hpp"

#include <cstddef>
#include <type_traits>
#include <utility>

namespace {

// Each kind has the operations of its sort (design.hpp): a kind listed in
// DesignBlock without them fails to compile here, with the message below,
// rather than deep inside a visit of the pass.
template <class Kind, class = void>
struct has_copy_rows : std::false_type {};
template <class Kind>
struct has_copy_rows<Kind, std::void_t<decltype(copy_rows(std::declval<const Kind&>(), arma::uword{},
                                                          arma::uword{}, arma::uword{}, arma::uword{},
                                                          arma::uword{}, static_cast<double*>(nullptr)))>>
    : std::true_type {};

// A callable of the shape for_each_row calls, for the test below.
struct AnyRow {
  template <class Index>
  void operator()(arma::uword /*k*/, const Index* /*columns*/, const double* /*values*/,
                  std::size_t /*entries*/) const {}
};

template <class Kind, class = void>
struct has_entries : std::false_type {};
template <class Kind>
struct has_entries<
    Kind,
    std::void_t<decltype(add_eta(std::declval<const Kind&>(), static_cast<const double*>(nullptr),
                                 arma::uword{}, arma::uword{}, static_cast<double*>(nullptr))),
                decltype(count_entries(std::declval<const Kind&>(), arma::uword{}, arma::uword{},
                                       static_cast<arma::uword*>(nullptr))),
                decltype(write_entries(std::declval<const Kind&>(), arma::uword{}, arma::uword{},
                                       arma::uword{}, static_cast<arma::uword*>(nullptr),
                                       static_cast<arma::uword*>(nullptr), static_cast<double*>(nullptr))),
                decltype(for_each_row(std::declval<const Kind&>(), arma::uword{}, arma::uword{}, AnyRow{}))>>
    : std::true_type {};

template <class Kind>
constexpr bool has_its_operations() {
  if constexpr (is_scattered_kind<Kind>) {
    return has_entries<Kind>::value;
  } else {
    return has_copy_rows<Kind>::value;
  }
}

template <class... Kinds>
constexpr bool every_kind_has_its_operations(const std::variant<Kinds...>* /*kinds*/) {
  return (has_its_operations<Kinds>() && ...);
}

static_assert(every_kind_has_its_operations(static_cast<const DesignBlock*>(nullptr)),
              "a column kind lacks an operation of its sort (design.hpp)");

}  // namespace

bool is_scattered(const DesignBlock& block) {
  return std::visit([](const auto& kind) { return is_scattered_kind<decltype(kind)>; }, block);
}

arma::uword column_count(const DesignBlock& block) {
  return std::visit([](const auto& kind) { return kind.n_cols; }, block);
}

arma::uword column_count(const Design& design) {
  arma::uword count = 0;
  for (const DesignBlock& block : design.blocks) {
    count += column_count(block);
  }
  return count;
}

arma::uword dense_column_count(const Design& design) {
  arma::uword count = 0;
  for (const DesignBlock& block : design.blocks) {
    if (is_scattered(block)) {
      break;
    }
    count += column_count(block);
  }
  return count;
}

Design dense_design(const double* memory, arma::uword n_rows, arma::uword n_cols, bool row_major,
                    bool intercept) {
  Design design{n_rows, {}};
  if (intercept) {
    design.blocks.emplace_back(OnesBlock{});
  }
  design.blocks.emplace_back(DenseBlock{memory, n_cols, row_major});
  return design;
}

Design design_of(const arma::mat& X) { return dense_design(X.memptr(), X.n_rows, X.n_cols, false, false); }

Design design_of_transpose(const arma::mat& Xt) {
  return dense_design(Xt.memptr(), Xt.n_cols, Xt.n_rows, true, false);
}
