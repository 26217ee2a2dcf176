#include "covariance.hpp"

#include <optional>

#include "blas_threads.hpp"
#include "irls_steps.hpp"
#include "normal_equations.hpp"
#include "row_partition.hpp"

void invert_fisher_information(const arma::mat& fisher, arma::mat& covariance) {
  std::optional<SingleThreadedBlas> single_threaded;
  if (single_threaded_blas_for(fisher.n_rows)) {
    single_threaded.emplace();
  }
  // A Fisher information with NaN or infinity (data the fit never looked
  // at, with max_iter 0, say) has no inverse of any kind: NaN throughout.
  if (!fisher.is_finite()) {
    covariance.fill(arma::datum::nan);
    return;
  }
  // Each writes into covariance's own memory: it has the right size already.
  if (!arma::inv_sympd(covariance, fisher) && !arma::pinv(covariance, fisher)) {
    covariance.fill(arma::datum::nan);
  }
  // The SVD's product is symmetric only up to rounding; the Cholesky
  // inverse already is, and mirroring changes nothing there.
  fill_upper_triangle(covariance);
}

void covariance_of_fit(const arma::mat& fisher, const std::vector<arma::uword>& dropped,
                       arma::mat& covariance) {
  if (fisher.n_rows != covariance.n_rows) {
    covariance.fill(arma::datum::nan);
    return;
  }
  if (dropped.empty()) {
    invert_fisher_information(fisher, covariance);
    return;
  }
  const arma::uvec kept = kept_columns(fisher.n_rows, dropped);
  arma::mat kept_covariance(kept.n_elem, kept.n_elem);
  invert_fisher_information(fisher.submat(kept, kept), kept_covariance);
  covariance.fill(arma::datum::nan);
  covariance.submat(kept, kept) = kept_covariance;
}
