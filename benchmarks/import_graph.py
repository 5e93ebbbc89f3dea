"""A real dependency graph from this machine: the modules of the Python
standard library and of the packages installed beside it, one item per
module, a mark "a needs b" for every `import` in a's source that names a
module of the set (relative imports resolved; a name inside a package falls
back to the package). Written as an edge list with the header item,needs.

    python benchmarks/import_graph.py OUT.csv [--packages numpy scipy ...]
"""

from __future__ import annotations

import argparse
import ast
import csv
import sys
import sysconfig
from pathlib import Path


def modules(root: Path, prefix: str = "") -> dict[str, Path]:
    """Module name -> source file for every .py under `root`."""
    found: dict[str, Path] = {}
    for path in root.rglob("*.py"):
        parts = list(path.relative_to(root).with_suffix("").parts)
        if any(not p.isidentifier() for p in parts) or "test" in parts or "tests" in parts:
            continue
        if parts[-1] == "__init__":
            parts = parts[:-1]
        if parts:
            found[prefix + ".".join(parts)] = path
    return found


def imports(name: str, path: Path, known: dict[str, Path]) -> set[str]:
    try:
        tree = ast.parse(path.read_bytes())
    except (SyntaxError, ValueError):
        return set()
    package = name if path.name == "__init__.py" else name.rpartition(".")[0]
    needs: set[str] = set()

    def resolve(target: str) -> None:
        while target and target not in known:
            target = target.rpartition(".")[0]
        if target and target != name:
            needs.add(target)

    for node in ast.walk(tree):
        if isinstance(node, ast.Import):
            for alias in node.names:
                resolve(alias.name)
        elif isinstance(node, ast.ImportFrom):
            base = node.module or ""
            if node.level:
                parts = package.split(".") if package else []
                parts = parts[: len(parts) - node.level + 1] if node.level > 1 else parts
                base = ".".join(parts + ([base] if base else []))
            for alias in node.names:
                full = f"{base}.{alias.name}" if base else alias.name
                resolve(full if full in known else base)
    return needs


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("out", type=Path)
    parser.add_argument("--packages", nargs="*", default=["numpy", "scipy", "matplotlib", "pyscipopt"])
    args = parser.parse_args()
    stdlib = Path(sysconfig.get_paths()["stdlib"])
    known = {k: v for k, v in modules(stdlib).items() if not k.startswith(("site-packages", "idlelib", "lib2to3"))}
    site = Path(sysconfig.get_paths()["purelib"])
    for package in args.packages:
        if (site / package).is_dir():
            known.update(modules(site / package, package + "."))
            known[package] = site / package / "__init__.py"
    with args.out.open("w", newline="") as handle:
        writer = csv.writer(handle)
        writer.writerow(["item", "needs"])
        count = 0
        for name, path in sorted(known.items()):
            for target in sorted(imports(name, path, known)):
                writer.writerow([name, target])
                count += 1
    print(f"{len(known)} modules, {count} marks -> {args.out}", file=sys.stderr)


if __name__ == "__main__":
    main()
