"""The checks draw quorvi._native.fit's and normal_equations' settings one
keyword at a time (each sometimes malformed); native_fit and native_sums hand
them to the entry as the requests it takes (FitOptions, Covariance, Absorbed),
made inside the call so that a malformed setting is the entry's own error, as
a caller would see it."""

from quorvi import _native

_OPTIONS = ("fit_intercept", "tol", "max_iter", "n_threads", "penalty", "link")
_COVARIANCE = ("meat", "hat_power", "hat_rows", "clusters", "clusters_are_levels")
# The checks' names of the absorbed columns, and the request's.
_ABSORBED = {
    "absorb": "codes",
    "n_levels": "n_levels",
    "kept_levels": "kept_levels",
    "further_absorb": "further_codes",
    "further_levels": "further_levels",
}


def native_fit(X, y, sample_weight, **settings):
    options = {key: settings.pop(key) for key in _OPTIONS if key in settings}
    covariance = {key: settings.pop(key) for key in _COVARIANCE if key in settings}
    absorbed = {name: settings.pop(key) for key, name in _ABSORBED.items() if key in settings}
    if absorbed.get("codes", 0) is None:
        absorbed = {}
    return _native.fit(
        X,
        y,
        sample_weight,
        options=_native.FitOptions(**options),
        covariance=_native.Covariance(**covariance),
        absorbed=_native.Absorbed(**absorbed) if absorbed else None,
        **settings,
    )


def native_sums(X, y, sample_weight, beta, **settings):
    covariance = {key: settings.pop(key) for key in _COVARIANCE if key in settings}
    return _native.normal_equations(
        X, y, sample_weight, beta, covariance=_native.Covariance(**covariance), **settings
    )
