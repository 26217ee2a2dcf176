#include "design_view.hpp"

DesignView column_major_view(const arma::mat& X) { return DesignView{X.memptr(), X.n_rows, X.n_cols, false}; }

DesignView row_major_view(const arma::mat& Xt) { return DesignView{Xt.memptr(), Xt.n_cols, Xt.n_rows, true}; }
