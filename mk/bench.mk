# The benchmark against the peers (bench/README.md). Not part of `make test`
# or `make ci-checks`: the full run takes many minutes.
#   make bench         every shape, 5 repeats, then the categorical and sparse
#                      data sets (bench-categorical) and the fixed effects
#                      (bench-fixed-effects); results in bench/results/full.*,
#                      categorical.* and fixed_effects.*
#   make bench-quick   small shapes only, a quick check that it all still runs
#   make bench-dask    the fit on Dask arrays on a 2-worker LocalCluster, against
#                      dask-ml and the in-memory fit, and out of core from Zarr;
#                      results in bench/results/dask.*
#   make bench-categorical  categorical columns (1,000,000 rows, 1,059 coefficients)
#                      and a sparse CSR (1,000,000 x 1,000 at 1 %) against glum
#                      and scikit-learn; results in bench/results/categorical.{md,json,png}
#   make bench-fixed-effects  logistic regression with absorbed fixed effects
#                      (1,000,000 rows, 10,000 to 100,000 levels) against pyfixest
#                      and glum; results in bench/results/fixed_effects.{md,json}.
#                      FIXED_EFFECTS_ARGS=--large adds 10,000,000 rows with
#                      1,000,000 levels, FIXED_EFFECTS_ARGS=--quick a tenth of the rows
BENCH_BUILD := build/bench
FIXED_EFFECTS_ARGS ?=
BENCH_ROOFLINE := $(BENCH_BUILD)/bench/roofline

.PHONY: bench bench-quick bench-roofline bench-dask bench-categorical bench-fixed-effects
bench: $(STAMPS)/installed $(STAMPS)/bench-requirements bench-roofline
	$(PY) bench/run_benchmark.py --roofline $(BENCH_ROOFLINE)
	$(PY) bench/categorical_benchmark.py
	$(PY) bench/fixed_effects_benchmark.py $(FIXED_EFFECTS_ARGS)

bench-quick: $(STAMPS)/installed $(STAMPS)/bench-requirements bench-roofline
	$(PY) bench/run_benchmark.py --quick --roofline $(BENCH_ROOFLINE)

bench-dask: $(STAMPS)/installed $(STAMPS)/bench-requirements
	$(PY) bench/dask_benchmark.py

bench-categorical: $(STAMPS)/installed $(STAMPS)/bench-requirements
	$(PY) bench/categorical_benchmark.py

bench-fixed-effects: $(STAMPS)/installed $(STAMPS)/bench-requirements
	$(PY) bench/fixed_effects_benchmark.py $(FIXED_EFFECTS_ARGS)

# The roofline program in a build folder of its own, like the engine tests,
# so that it never touches the folder of the Python build.
bench-roofline: $(STAMPS)/requirements
	$(VENV)/bin/cmake -S . -B $(BENCH_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release \
	  -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) -DQUORVI_BENCH=ON \
	  -DPython_EXECUTABLE=$(abspath $(PY)) > /dev/null
	$(VENV)/bin/cmake --build $(BENCH_BUILD) --target roofline

$(STAMPS)/bench-requirements: requirements/bench.txt $(STAMPS)/requirements
	$(PY) -m pip install --quiet -r requirements/bench.txt
	@mkdir -p $(STAMPS) && touch $@

# Robust covariances against the nonrobust fit and statsmodels; results in
# bench/results/inference.md.
.PHONY: bench-inference
bench-inference: $(STAMPS)/installed $(STAMPS)/bench-requirements
	$(PY) bench/inference_benchmark.py
