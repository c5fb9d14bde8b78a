"""python3 -m zentrafold.bench [--repeat N] [--threads N] [--pool N] [--json FILE] FILE_OR_DIR...
python3 -m zentrafold.bench --thumbnail 2|4|8 [--repeat N] FILE_OR_DIR...

Decodes each JPEG to an RGB NumPy array with zentrafold, Pillow and OpenCV in
one interleaved run (each repetition times every decoder on every file, in
an order that rotates) and prints the median time per file, the speed in
megapixels per second, zentrafold's ratio to each peer and the geometric
means of those ratios. Then the thread-pool columns: the whole set decoded by
a pool of N threads (N files at once; default: the cores available), against
the same set decoded one file after another, each decoder in turn. With
--threads N (default: the cores available) the per-file table also times
zentrafold decoding one picture on N threads (ZfOptions.threads), after
checking that it gives the single-threaded bytes.

The peers decode as their users write it:
  Pillow   numpy.asarray(Image.open(io.BytesIO(data)).convert("RGB"))
  OpenCV   cv2.cvtColor(cv2.imdecode(numpy.frombuffer(data, numpy.uint8),
                                     cv2.IMREAD_COLOR), cv2.COLOR_BGR2RGB)
OpenCV runs with cv2.setNumThreads(1), so that a single-threaded column is
single-threaded and the pool decides the parallelism for every decoder.
Files that zentrafold refuses are listed and left out; a peer that is not
installed is left out.

--thumbnail N instead times a thumbnail loop: every file of the set reduced
to 1/N in the DCT domain, one after another, each decoder's pass over the set
in turn (rotating), the median pass of --repeat:
  zentrafold  zentrafold.decode(data, scale=N)   (turned upright by EXIF)
  Pillow      im = Image.open(io.BytesIO(data)); im.draft("RGB", (w // N, h // N));
              numpy.asarray(im.convert("RGB"))
  OpenCV      cv2.cvtColor(cv2.imdecode(buffer, cv2.IMREAD_REDUCED_COLOR_N), cv2.COLOR_BGR2RGB)
"""

from __future__ import annotations

import argparse
import io
import json
import math
import os
import statistics
import sys
import time
import warnings
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path
from typing import Callable, Dict, List

import numpy as np

import zentrafold


def _zentrafold(threads: int = 1) -> Callable[[bytes], np.ndarray]:
    def run(data: bytes) -> np.ndarray:
        return zentrafold.decode(data, "RGB", threads=threads, strict=True)
    return run


def _pillow():
    try:
        from PIL import Image
    except ImportError:
        return None

    def run(data: bytes) -> np.ndarray:
        return np.asarray(Image.open(io.BytesIO(data)).convert("RGB"))
    return run


def _opencv():
    try:
        import cv2
    except ImportError:
        return None
    cv2.setNumThreads(1)

    def run(data: bytes) -> np.ndarray:
        picture = cv2.imdecode(np.frombuffer(data, np.uint8), cv2.IMREAD_COLOR)
        if picture is None:
            raise ValueError("OpenCV could not decode it")
        return cv2.cvtColor(picture, cv2.COLOR_BGR2RGB)
    return run


def _thumbnailers(scale: int) -> Dict[str, Callable[[bytes], np.ndarray]]:
    runs: Dict[str, Callable[[bytes], np.ndarray]] = {
        "zentrafold": lambda data: zentrafold.decode(data, "RGB", scale=scale)}
    try:
        from PIL import Image

        def pillow(data: bytes) -> np.ndarray:
            im = Image.open(io.BytesIO(data))
            im.draft("RGB", (im.width // scale, im.height // scale))
            return np.asarray(im.convert("RGB"))
        runs["Pillow draft"] = pillow
    except ImportError:
        pass
    try:
        import cv2
        cv2.setNumThreads(1)
        flag = {2: cv2.IMREAD_REDUCED_COLOR_2, 4: cv2.IMREAD_REDUCED_COLOR_4, 8: cv2.IMREAD_REDUCED_COLOR_8}[scale]

        def opencv(data: bytes) -> np.ndarray:
            picture = cv2.imdecode(np.frombuffer(data, np.uint8), flag)
            if picture is None:
                raise ValueError("OpenCV could not decode it")
            return cv2.cvtColor(picture, cv2.COLOR_BGR2RGB)
        runs[f"OpenCV REDUCED_{scale}"] = opencv
    except ImportError:
        pass
    return runs


def _thumbnail_loop(paths: List[Path], scale: int, repeat: int) -> int:
    runs = _thumbnailers(scale)
    datas, taken = [], []
    for path in paths:
        data = path.read_bytes()
        if not zentrafold.info(data).supported:
            print(f"left out (zentrafold refuses it): {path.name}")
            continue
        datas.append(data)
        taken.append(path)
    if not datas:
        print("no decodable files", file=sys.stderr)
        return 2
    names = list(runs)
    # Warm-up; a file some decoder refuses (Pillow refuses cut streams) is
    # left out for all, so that every pass decodes the same files.
    kept = []
    for path, data in zip(taken, datas):
        try:
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                for run in runs.values():
                    run(data)
            kept.append(data)
        except Exception as error:  # noqa: BLE001 - any peer's refusal
            print(f"left out (a decoder refuses it: {error}): {path.name}")
    datas = kept
    passes: Dict[str, List[float]] = {name: [] for name in names}
    for r in range(repeat):
        for i in range(len(names)):
            name = names[(i + r) % len(names)]
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                start = time.perf_counter()
                for data in datas:
                    runs[name](data)
                passes[name].append(time.perf_counter() - start)
    medians = {name: statistics.median(passes[name]) for name in names}
    print(f"thumbnail loop at 1/{scale} over {len(datas)} files, one thread, median of {repeat} passes")
    print(f"{'decoder':24} {'pass s':>8} {'files/s':>8} {'its time / zentrafold':>22}")
    for name in names:
        print(f"{name:24} {medians[name]:8.3f} {len(datas) / medians[name]:8.1f} "
              f"{medians[name] / medians['zentrafold']:22.2f}")
    print(", ".join(f"{k} {v}" for k, v in _versions().items()))
    return 0


def _versions() -> Dict[str, str]:
    versions = {"zentrafold": f"{zentrafold.__version__} ({zentrafold.fast_paths()})", "numpy": np.__version__}
    try:
        import PIL
        versions["Pillow"] = PIL.__version__
    except ImportError:
        pass
    try:
        import cv2
        versions["OpenCV"] = cv2.__version__
    except ImportError:
        pass
    return versions


def _inputs(names: List[str]) -> List[Path]:
    files: List[Path] = []
    for name in names:
        path = Path(name)
        if path.is_dir():
            files += sorted(p for p in path.iterdir() if p.suffix.lower() in (".jpg", ".jpeg"))
        else:
            files.append(path)
    return files


def _geomean(values: List[float]) -> float:
    return math.exp(sum(math.log(v) for v in values) / len(values)) if values else float("nan")


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(prog="python3 -m zentrafold.bench",
                                     description="zentrafold against Pillow and OpenCV, JPEG to an RGB array")
    parser.add_argument("inputs", nargs="+", metavar="FILE_OR_DIR")
    parser.add_argument("--repeat", type=int, default=9, help="timed decodes per file and decoder (default 9)")
    parser.add_argument("--pool", type=int, default=len(os.sched_getaffinity(0)),
                        help="threads in the pool column (default: the cores available)")
    parser.add_argument("--threads", type=int, default=len(os.sched_getaffinity(0)),
                        help="also time zentrafold with one picture on this many threads "
                             "(default: the cores available; 1: not)")
    parser.add_argument("--pool-repeat", type=int, default=5,
                        help="timed passes over the whole set, one thread and pooled (default 5)")
    parser.add_argument("--json", metavar="FILE", help="also write the figures as JSON")
    parser.add_argument("--thumbnail", type=int, choices=(2, 4, 8),
                        help="time a thumbnail loop at 1/N against Pillow's draft and OpenCV's reduced reads")
    args = parser.parse_args(argv)
    if args.thumbnail:
        if args.repeat < 1:
            parser.error("--repeat takes a positive number")
        return _thumbnail_loop(_inputs(args.inputs), args.thumbnail, args.repeat)
    if args.repeat < 1 or args.pool < 1 or args.pool_repeat < 1 or args.threads < 1:
        parser.error("--repeat, --pool, --pool-repeat and --threads take positive numbers")

    decoders = {"zentrafold": _zentrafold(), "Pillow": _pillow(), "OpenCV": _opencv()}
    missing = [name for name, run in decoders.items() if run is None]
    decoders = {name: run for name, run in decoders.items() if run is not None}
    peers = [name for name in decoders if name != "zentrafold"]
    threaded = f"zentrafold x{args.threads}" if args.threads > 1 else None
    if threaded:
        decoders[threaded] = _zentrafold(args.threads)

    files = []
    for path in _inputs(args.inputs):
        data = path.read_bytes()
        try:
            ours = decoders["zentrafold"](data)
        except zentrafold.Error as error:
            print(f"left out {path}: {error}", file=sys.stderr)
            continue
        shape = ours.shape
        if threaded and not np.array_equal(decoders[threaded](data), ours):
            print(f"{path}: {args.threads} threads do not give the bytes of one thread", file=sys.stderr)
            return 1
        for name in peers:
            try:
                if decoders[name](data).shape != shape:
                    raise ValueError(f"{name} gives another shape")
            except Exception as error:  # a peer that cannot decode a file leaves the file out
                print(f"left out {path}: {name}: {error}", file=sys.stderr)
                break
        else:
            files.append({"name": path.name, "data": data, "megapixels": shape[0] * shape[1] / 1e6,
                          "times": {name: [] for name in decoders}})
    if not files:
        print("no file to measure", file=sys.stderr)
        return 1

    names = list(decoders)
    pool_names = [name for name in names if name != threaded]
    for round_ in range(args.repeat):
        for index, file in enumerate(files):
            shift = (round_ + index) % len(names)
            for name in names[shift:] + names[:shift]:
                start = time.perf_counter()
                decoders[name](file["data"])
                file["times"][name].append(time.perf_counter() - start)

    # The pool columns: the whole set, one file after another and then N at a
    # time, each decoder in turn, passes interleaved the same way. Either way
    # each array is taken and dropped as a pipeline would, not all held.
    total_mp = sum(file["megapixels"] for file in files)
    datas = [file["data"] for file in files]
    serial: Dict[str, List[float]] = {name: [] for name in pool_names}
    pooled: Dict[str, List[float]] = {name: [] for name in pool_names}
    with ThreadPoolExecutor(max_workers=args.pool) as pool:
        for _ in pool.map(decoders["zentrafold"], datas):  # start the threads
            pass
        for round_ in range(args.pool_repeat):
            shift = round_ % len(pool_names)
            for name in pool_names[shift:] + pool_names[:shift]:
                run = decoders[name]
                start = time.perf_counter()
                for data in datas:
                    run(data)
                serial[name].append(time.perf_counter() - start)
                start = time.perf_counter()
                for _ in pool.map(run, datas):
                    pass
                pooled[name].append(time.perf_counter() - start)

    report = _report(files, names, peers, threaded, serial, pooled, total_mp, args)
    for line in report["lines"]:
        print(line)
    if missing:
        print(f"not installed, left out: {', '.join(missing)}")
    if args.json:
        Path(args.json).write_text(json.dumps(report["figures"], indent=2) + "\n")
    return 0


def _report(files, names, peers, threaded, serial, pooled, total_mp, args):
    lines = ["versions: " + ", ".join(f"{k} {v}" for k, v in _versions().items()),
             f"{len(files)} files, {total_mp:.1f} MP, median of {args.repeat} decodes per file, "
             "milliseconds (megapixels per second)", ""]
    width = max(len(file["name"]) for file in files)
    head = f"{'file':<{width}}  {'MP':>5}" + "".join(f"  {name:>18}" for name in names)
    head += "".join(f"  {'vs ' + name:>10}" for name in peers)
    if threaded:
        head += f"  {'x' + str(args.threads) + ' gain':>9}"
    lines += [head, "-" * len(head)]
    ratios = {name: [] for name in peers}
    gains = []
    figures = {"files": [], "single_thread_geomean": {}, "pool": {}}
    for file in files:
        medians = {name: statistics.median(file["times"][name]) for name in names}
        row = f"{file['name']:<{width}}  {file['megapixels']:>5.2f}"
        for name in names:
            cell = f"{medians[name] * 1e3:.1f} ({file['megapixels'] / medians[name]:.0f})"
            row += f"  {cell:>18}"
        for name in peers:
            ratio = medians[name] / medians["zentrafold"]
            ratios[name].append(ratio)
            row += f"  {ratio:>9.2f}x"
        if threaded:
            gains.append(medians["zentrafold"] / medians[threaded])
            row += f"  {gains[-1]:>8.2f}x"
        lines.append(row)
        figures["files"].append({"name": file["name"], "megapixels": file["megapixels"],
                                 "median_seconds": medians})
    lines.append("-" * len(head))
    summary = "geometric mean, zentrafold over each peer (one thread): "
    summary += ", ".join(f"{_geomean(ratios[name]):.2f}x {name}" for name in peers) or "no peer"
    lines.append(summary)
    figures["single_thread_geomean"] = {name: _geomean(ratios[name]) for name in peers}
    if threaded:
        lines.append(f"geometric mean, one picture on {args.threads} threads over one thread: {_geomean(gains):.2f}x")
        figures["threads_geomean"] = {"threads": args.threads, "gain": _geomean(gains)}
    lines.append("")

    lines.append(f"the whole set, median of {args.pool_repeat} passes: one file after another, "
                 f"and a pool of {args.pool} threads")
    pool_head = f"{'decoder':<10}  {'1 thread MP/s':>13}  {str(args.pool) + ' threads MP/s':>14}  {'pool gain':>9}"
    pool_head += "".join(f"  {'vs ' + name:>10}" for name in peers)
    lines += [pool_head, "-" * len(pool_head)]
    pool_names = list(pooled)
    speed = {name: total_mp / statistics.median(pooled[name]) for name in pool_names}
    for name in pool_names:
        one = total_mp / statistics.median(serial[name])
        row = f"{name:<10}  {one:>13.1f}  {speed[name]:>14.1f}  {speed[name] / one:>8.2f}x"
        if name == "zentrafold":
            row += "".join(f"  {speed['zentrafold'] / speed[peer]:>9.2f}x" for peer in peers)
        lines.append(row)
        figures["pool"][name] = {"threads": args.pool, "one_thread_mp_per_s": one, "pool_mp_per_s": speed[name]}
    return {"lines": lines, "figures": figures}


if __name__ == "__main__":
    sys.exit(main())
