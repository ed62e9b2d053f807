"""The printed tables and the JSON record."""

from __future__ import annotations

from .harness import Case, find
from .targets import Results
from .workloads import KERNEL, KERNELS, size_label


def fmt_time(s: float) -> str:
    if s < 1e-6:
        return f"{s * 1e9:.0f} ns"
    if s < 1e-3:
        return f"{s * 1e6:.2f} us"
    if s < 1:
        return f"{s * 1e3:.2f} ms"
    return f"{s:.2f} s"


def size_key(size: str) -> tuple[int, int]:
    if "x" in size:
        n, m = size.split("x")
        return (int(n) * int(m), int(n))
    return (int(size), 0)


def print_probe(headline: list[dict], how: str, native: bool) -> None:
    print(f"bandwidth probe ({'probe.cpp, ' + how if native else 'NumPy fallback: ' + how}):")
    threads = sorted({h["threads"] for h in headline})
    sets = sorted({h["working_set_kib"] for h in headline})
    head = f"  {'pattern':<18}" + "".join(
        f"{_kib(s) + ', ' + str(t) + ' thr':>18}" for s in sets for t in threads)
    print(head)
    for pattern in dict.fromkeys(h["pattern"] for h in headline):
        row = f"  {pattern:<18}"
        for s in sets:
            for t in threads:
                gb = next((h["gb_s"] for h in headline if h["pattern"] == pattern
                           and h["working_set_kib"] == s and h["threads"] == t), None)
                row += f"{'' if gb is None else f'{gb:.1f} GB/s':>18}"
        print(row)


def _kib(kib: int) -> str:
    return f"{kib >> 10} MiB" if kib >= 1024 else f"{kib} KiB"


def print_table(r: Results, ceilings: dict[str, float]) -> None:
    head = (f"{'function':<48} {'size':>14} {'implementation':<16} {'median':>10} "
            f"{'throughput':>16} {'probe':>6} {'ceil':>6} {'ours/peer':>9}  check")
    print(head)
    print("-" * len(head))
    for function in [k.name for k in KERNELS]:
        rows = [c for c in r.cases if c.function == function]
        rows.sort(key=lambda c: (size_key(c.size), c.peer_of is not None, c.impl))
        last_size = None
        for c in rows:
            if last_size is not None and c.size != last_size:
                print()
            last_size = c.size
            unit = "Mstep/s" if c.unit == "step" else "Msample/s"
            of_probe = r.of_probe(c)
            probe = "" if of_probe is None else f"{of_probe:.2f}"
            ceil = ""
            if c.impl == "quarnel" and c.chart and function in ceilings:
                ceil = f"{c.throughput / ceilings[function]:.2f}"
            ratio = ""
            if c.peer_of is not None:
                ours = find(r.cases, c.function, c.size, c.peer_of)
                if ours is not None:
                    ratio = f"x{c.median / ours.median:.2f}"
            print(f"{c.function:<48} {size_label(c.size):>14} {c.impl:<16} "
                  f"{fmt_time(c.median):>10} {c.throughput / 1e6:>8.1f} {unit:<9}"
                  f"{probe:>6} {ceil:>6} {ratio:>9}  {c.check}")
        print()
    print("'probe' = throughput / the matching probe's (the same bytes in as many streams, on "
          "as many threads, at the batch's size, timed among the kernels);")
    print("'ceil' = throughput / the kernel's compute ceiling (its rate with the inputs in "
          "L1, call overhead differenced out);")
    print("'ours/peer' = peer time / our time (above 1: we are faster)")


def print_ceilings(ceilings: dict[str, float], threads: int) -> None:
    print("compute ceilings (inputs in L1, call overhead differenced out, CPU time):")
    for name, rate in ceilings.items():
        k = KERNEL[name]
        how = (f"{threads} x {k.same_as}" if k.parallel else
               f"{size_label(_key(k.in_l1))} minus {size_label(_key(k.tiny))}")
        unit = "Mstep/s" if k.family == "paths" else "Msample/s"
        print(f"  {name:<48} {rate / 1e6:>8.0f} {unit:<10} ({how})")


def _key(size: object) -> str:
    return f"{size[0]}x{size[1]}" if isinstance(size, tuple) else str(size)


def print_memory(mem: list[dict]) -> None:
    print(f"{'function':<34} {'size':>14} {'inputs':>10} {'peak w/o call':>14} "
          f"{'peak w/ call':>13} {'growth':>10} {'result':>10} {'beyond result':>14}")
    for r in mem:
        print(f"{r['function']:<34} {size_label(r['size']):>14} {r['input_mib']:>6.0f} MiB "
              f"{r['peak_without_kib'] / 1024:>10.1f} MiB {r['peak_with_kib'] / 1024:>9.1f} MiB "
              f"{r['peak_growth_kib']:>6.0f} KiB {r['result_kib']:>6.0f} KiB "
              f"{r['growth_beyond_result_kib']:>10.0f} KiB")


def print_targets(targets: list[dict], quick: bool) -> None:
    if quick:
        print("(quick run: the target workloads are stood in for by tiny shapes, "
              "so these verdicts mean nothing)")
    print(f"{'function':<48} {'workload':<24} {'target':<42} {'measured':>12}  result")
    for t in targets:
        print(f"{t['function']:<48} {t['workload']:<24} {t['target']:<42} {t['measured']:>12}"
              f"  {t['status']}")


def case_record(c: Case, r: Results | None = None,
                ceilings: dict[str, float] | None = None) -> dict:
    record = {"function": c.function, "size": c.size, "implementation": c.impl,
              "work": c.work, "unit": c.unit, "compared_with": c.peer_of, "check": c.check,
              "calls_per_rep": c.number, "times_s": c.times, "median_s": c.median,
              "throughput_per_s": c.throughput, "peak_per_s": c.peak}
    if r is not None:
        record["of_probe"] = r.of_probe(c)
    if ceilings is not None and c.impl == "quarnel" and c.chart and c.function in ceilings:
        record["of_ceiling"] = c.throughput / ceilings[c.function]
    return record
