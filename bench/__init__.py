"""Benchmark suite: `quarnel` beside NumPy, Numba and a native memory-bandwidth probe.

    python bench/run.py                  # full run: table, results.json, throughput.png
    python bench/run.py --quick          # tiny shapes, 2 repetitions, no chart
    python bench/run.py --no-numba       # skip the Numba peers (also automatic without numba)
    python -m bench ...                  # the same, from the repository root

One run measures every function and its peers on the same machine, interleaving the
repetitions of the implementations that are compared (so drifting clock speed or a
neighbour's load hits them alike), and reports the median time of each. Before anything
is timed, every peer's result is checked against ours: bit for bit where the peer runs
the same operations in the same order, to a tolerance where it cannot (NumPy's mean and
std sum pairwise). A bit mismatch is printed loudly and makes the run exit with status 1.

Every kernel is also set against a bandwidth probe (probe.cpp, built at run time with the
system C++ compiler) that reads as many concurrent streams as the kernel does, over the
same number of bytes, on as many threads; and against a compute ceiling, the kernel's own
rate with its inputs in L1.

The figures go to bench/results.json and the chart to bench/throughput.png (a quick run
writes bench/results-quick.json unless --json is given, and never draws the chart).

Beside the kernels, one run also times the whole job of examples/end_to_end.py (random
numbers to weights, straightforward and fast, stage by stage) and measures how much the
lowest-variance Greeks estimators gain over the plain weights on its own batches.

Layout: config (run sizes), workloads (inputs, the kernel and peer tables), peers_numpy
and peers_numba, harness (timing and result checks), probe (bandwidth), machine,
memory (peak RSS, with rss_child), end_to_end (the whole job), variance (the
estimators' variance ratios), targets (the target table), report, chart, cli.
"""
