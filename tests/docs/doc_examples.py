#!/usr/bin/env python3
"""Checks README.md and docs/*.md: that every relative link resolves (to a file, and to a
heading of it when it names one), and that the examples run as written: each ```c and
```cpp block compiled against the built library and run, each ```python block run with the
built package. The examples run in a fresh directory holding photo.jpg and photos/*.jpg
(committed test streams); a C or C++ program gets photo.jpg as its argument.

  doc_examples.py links SOURCE_DIR
  doc_examples.py c SOURCE_DIR DATA_DIR CC CXX LINK_FLAGS INCLUDE_DIRS LIBRARIES
  doc_examples.py python SOURCE_DIR DATA_DIR PYTHON

INCLUDE_DIRS and LIBRARIES are ;-separated. Exits 0 when all pass, 1 when one fails, and 77
(skipped) for python when PYTHON cannot import zentrafold.
"""
import os
import re
import shutil
import subprocess
import sys
import tempfile

SKIPPED = 77


def documents(source):
    paths = [os.path.join(source, "README.md")]
    docs = os.path.join(source, "docs")
    paths += sorted(os.path.join(docs, name) for name in os.listdir(docs) if name.endswith(".md"))
    return paths


def blocks(path, languages):
    """The fenced blocks of `path` in one of `languages`, as (language, first line, text)."""
    found = []
    language, start, lines = None, 0, []
    for number, line in enumerate(open(path, encoding="utf-8"), 1):
        fence = re.match(r"^```(\S*)\s*$", line)
        if language is None and fence:
            language, start, lines = fence.group(1), number, []
        elif language is not None and line.rstrip() == "```":
            if language in languages:
                found.append((language, start, "".join(lines)))
            language = None
        elif language is not None:
            lines.append(line)
    return found


def slug(heading):
    """The anchor GitHub gives a heading."""
    text = re.sub(r"[`*_]", "", heading.strip().lower())
    text = re.sub(r"[^\w\- ]", "", text)
    return text.replace(" ", "-")


def anchors(path):
    names = set()
    fenced = False
    for line in open(path, encoding="utf-8"):
        if line.startswith("```"):
            fenced = not fenced
        elif not fenced and line.startswith("#"):
            names.add(slug(line.lstrip("#")))
    return names


def check_links(source):
    failures = 0
    count = 0
    for path in documents(source):
        text = open(path, encoding="utf-8").read()
        text = re.sub(r"```.*?```", "", text, flags=re.S)
        for target in re.findall(r"\]\(([^)\s]+)\)", text):
            if re.match(r"^[a-z]+:", target):
                continue
            count += 1
            file_part, _, anchor = target.partition("#")
            resolved = os.path.normpath(os.path.join(os.path.dirname(path), file_part)) if file_part else path
            where = f"{os.path.relpath(path, source)}: link {target}"
            if not os.path.exists(resolved):
                print(f"{where}: no such file")
                failures += 1
            elif anchor and resolved.endswith(".md") and anchor not in anchors(resolved):
                print(f"{where}: no heading #{anchor} in {os.path.relpath(resolved, source)}")
                failures += 1
    print(f"{count} relative links, {failures} broken")
    return 1 if failures else 0


def workspace(data):
    work = tempfile.mkdtemp(prefix="zentrafold-docs-")
    shutil.copy(os.path.join(data, "sample_2x2.jpg"), os.path.join(work, "photo.jpg"))
    os.mkdir(os.path.join(work, "photos"))
    for name in ("sample_2x2.jpg", "grey.jpg", "restart_row.jpg"):
        shutil.copy(os.path.join(data, name), os.path.join(work, "photos", name))
    return work


def run(command, cwd, what):
    result = subprocess.run(command, cwd=cwd, capture_output=True, text=True, timeout=300)
    if result.returncode != 0:
        print(f"{what}: {' '.join(command)} exited with {result.returncode}")
        print(result.stdout + result.stderr)
        return False
    return True


def check_c(source, data, cc, cxx, link_flags, include_dirs, libraries):
    work = workspace(data)
    includes = [f"-I{d}" for d in include_dirs.split(";") if d]
    libs = [l for l in libraries.split(";") if l]
    flags = link_flags.split()
    failures = 0
    count = 0
    for path in documents(source):
        for language, line, text in blocks(path, ("c", "cpp")):
            count += 1
            what = f"{os.path.relpath(path, source)}:{line} ({language})"
            name = f"example{count}"
            program = os.path.join(work, name + (".c" if language == "c" else ".cpp"))
            open(program, "w").write(text)
            if language == "c":
                compile_step = [cc, "-std=c99", "-Wall", "-Wextra", "-Werror", "-pedantic", *includes, "-c", program,
                                "-o", name + ".o"]
            else:
                compile_step = [cxx, "-std=c++17", "-Wall", "-Wextra", "-Werror", *includes, "-c", program,
                                "-o", name + ".o"]
            ok = run(compile_step, work, what + " compiling")
            ok = ok and run([cxx, name + ".o", *libs, *flags, "-lpthread", "-lm", "-o", name], work, what + " linking")
            ok = ok and run([os.path.join(work, name), "photo.jpg"], work, what + " running")
            print(f"{what}: {'ok' if ok else 'FAILED'}")
            failures += not ok
    shutil.rmtree(work, ignore_errors=True)
    print(f"{count} C and C++ examples, {failures} failed")
    return 1 if failures or count == 0 else 0


def check_python(source, data, python):
    python = os.path.abspath(python)
    if not os.path.exists(python) or subprocess.run([python, "-c", "import zentrafold"],
                                                    capture_output=True).returncode != 0:
        print(f"{python} cannot import zentrafold: the Python examples are skipped")
        return SKIPPED
    work = workspace(data)
    failures = 0
    count = 0
    for path in documents(source):
        for _, line, text in blocks(path, ("python",)):
            count += 1
            what = f"{os.path.relpath(path, source)}:{line} (python)"
            script = os.path.join(work, f"example{count}.py")
            open(script, "w").write(text)
            ok = run([python, script], work, what)
            print(f"{what}: {'ok' if ok else 'FAILED'}")
            failures += not ok
    shutil.rmtree(work, ignore_errors=True)
    print(f"{count} Python examples, {failures} failed")
    return 1 if failures or count == 0 else 0


def main(argv):
    kind = argv[1]
    if kind == "links":
        return check_links(argv[2])
    if kind == "c":
        return check_c(*argv[2:9])
    if kind == "python":
        return check_python(*argv[2:5])
    print(__doc__)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
