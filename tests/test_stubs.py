"""The type stubs accept correct use of every method and reject misuse."""

import importlib.util
import os
import re
import shutil
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

import _tarnik_core

pytestmark = pytest.mark.skipif(
    importlib.util.find_spec("mypy") is None, reason="mypy is not installed"
)

STUB = Path(__file__).resolve().parent.parent / "stubs" / "_tarnik_core-stubs" / "__init__.pyi"

GOOD = textwrap.dedent(
    """
    from typing import Any, Callable, List, Tuple

    import _tarnik_core
    from _tarnik_core import Container

    def make(a: int, b: int) -> int:
        return a + b

    c = Container()
    c.register_provider("a", lambda: 1, True, False, [])
    c.register_provider(key="b", callable=lambda: 2, singleton=False, is_async=False, dep_keys=())
    c.register_provider("sum", make, False, False, ("a", "b"))
    total: int = c.resolve("sum")
    both: List[Any] = c.resolve_many(keys=["a", "b"])
    planned: List[Any] = c.resolve_many_plan(["sum", "a"])
    c.begin_override_layer()
    c.set_override(key="a", callable=lambda: 10, singleton=True, is_async=False, dep_keys=[])
    info: Tuple[Callable[..., object], bool, bool, List[str]] = c.get_provider_info(key="a")
    factory, singleton, is_async, deps = info
    held = c.get_cached("a")
    c.set_cached(key="a", value=held)
    c.end_override_layer()
    names: List[str] = _tarnik_core.__all__
    assert total == 3 and both == [1, 2] and planned == [3, 1]
    assert singleton is True and is_async is False and deps == [] and factory() == 10
    print("typed usage ran")
    """
)

# Each line must be reported by the type checker.
BAD = [
    "c.resolve(1)",
    "c.resolve(name='a')",
    "c.resolve()",
    "c.register_provider('a', make, 1, False, [])",
    "c.register_provider('a', make, True, False, [1])",
    "c.set_override('a', make, True, False)",
    "c.resolve_many_plan(keys={1: 2})",
    "c.begin_override_layer(1)",
    "c.set_cached('a')",
    "Container(1)",
    "s: str = c.get_provider_info('a')[3]",
    "r: None = c.resolve_many(['a'])",
    "class Sub(Container): pass",
]


def run_mypy(tmp_path, source):
    stubs = tmp_path / "stubs"
    stubs.mkdir(exist_ok=True)
    # A stub-only package is found in site-packages; on MYPYPATH the same
    # file serves as a plain stub module, so the repository's file is checked.
    shutil.copy(str(STUB), str(stubs / "_tarnik_core.pyi"))
    target = tmp_path / "usage.py"
    target.write_text(source)
    env = dict(os.environ, MYPYPATH=str(stubs))
    proc = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-error-summary",
         "--cache-dir", str(tmp_path / "cache"), str(target)],
        env=env, cwd=str(tmp_path), stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
        universal_newlines=True, timeout=300,
    )
    return proc, target


@pytest.mark.timeout(600)
def test_typed_usage_is_clean_and_runs(tmp_path):
    proc, target = run_mypy(tmp_path, GOOD)
    assert proc.returncode == 0, proc.stdout
    here = os.path.dirname(os.path.abspath(_tarnik_core.__file__))
    path = [here] + [p for p in os.environ.get("PYTHONPATH", "").split(os.pathsep) if p]
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(path))
    ran = subprocess.run([sys.executable, str(target)], env=env, stdout=subprocess.PIPE,
                         universal_newlines=True, timeout=60)
    assert ran.returncode == 0 and ran.stdout == "typed usage ran\n"


@pytest.mark.timeout(600)
def test_misuse_is_reported_on_every_line(tmp_path):
    header = "from _tarnik_core import Container\n\ndef make() -> int:\n    return 1\n\nc = Container()\n"
    first = header.count("\n") + 1
    proc, _ = run_mypy(tmp_path, header + "\n".join(BAD) + "\n")
    flagged = {int(n) for n in re.findall(r"usage\.py:(\d+): error", proc.stdout)}
    unflagged = [line for i, line in enumerate(BAD, first) if i not in flagged]
    assert proc.returncode == 1 and not unflagged, proc.stdout
