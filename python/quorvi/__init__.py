"""Logistic regression by IRLS in native code, as a scikit-learn estimator."""
