"""The stubs installed beside the extension, as type checkers and editors read them."""

import ast
import importlib.util
import re
import subprocess
import sys
from pathlib import Path

import pytest

import mirelo
from bounded import SECONDS

STUBS = Path(importlib.util.find_spec("mirelo").origin).parent / "mirelo-stubs" / "__init__.pyi"
# The stub type for each parameter type the bindings render: what the conversion accepts.
STUB_TYPES = {
    "numpy.ndarray[numpy.float64[m, n]]": "ArrayLike",
    "numpy.ndarray[numpy.float64[m, 1]]": "ArrayLike",
    "list[str]": "Sequence[str | bytes]",
    "mirelo.KNNConfig": "KNNConfig",
}


def bound_signature(doc):
    """pybind11's first docstring line, without self and with parameters in the stubs' types."""
    params, result = re.fullmatch(r"\w*\((.*)\) -> (.+)", doc.splitlines()[0]).groups()
    rendered = []
    for param in re.split(r", (?=\w+: )", params)[1:]:
        name, annotation = param.split(": ", 1)
        annotation, equals, default = annotation.partition(" = ")
        rendered.append(f"{name}: {STUB_TYPES.get(annotation, annotation)}{equals}{default}")
    return f"({', '.join(rendered)}) -> {result}"


def bound_members():
    for cls in (mirelo.KNNConfig, mirelo.KNNEngine):
        for name, member in vars(cls).items():
            if isinstance(member, property):
                yield (cls.__name__, name), f"{bound_signature(member.fget.__doc__)}; {bound_signature(member.fset.__doc__)}"
            elif name == "__init__" or not name.startswith("_"):
                yield (cls.__name__, name), bound_signature(member.__doc__)


def stub_signature(function):
    """The stub's signature without self, naming positional-only parameters argN as pybind11 does."""
    args = function.args
    params = [*args.posonlyargs, *args.args][1:]
    names = [f"arg{i}" if param in args.posonlyargs else param.arg for i, param in enumerate(params)]
    defaults = [None] * (len(params) - len(args.defaults)) + args.defaults
    rendered = [f"{name}: {ast.unparse(param.annotation)}" + (f" = {ast.unparse(default)}" if default else "")
                for name, param, default in zip(names, params, defaults)]
    return f"({', '.join(rendered)}) -> {ast.unparse(function.returns)}"


def stub_members():
    for cls in ast.parse(STUBS.read_text()).body:
        for node in getattr(cls, "body", []):
            if isinstance(node, ast.AnnAssign):
                kind = ast.unparse(node.annotation)
                yield (cls.name, node.target.id), f"() -> {kind}; (arg0: {kind}) -> None"
            elif isinstance(node, ast.FunctionDef):
                yield (cls.name, node.name), stub_signature(node)


def test_stubs_match_the_bound_signatures():
    # stubtest cannot read pybind11's signatures, so they are compared here.
    assert dict(stub_members()) == dict(bound_members())


def run_mypy(args, cwd):
    return subprocess.run([sys.executable, "-m", *args], cwd=cwd, capture_output=True, text=True, timeout=SECONDS)


@pytest.mark.parametrize("module", ["mirelo", "mirelo_sklearn._native"])
def test_stubtest_accepts_the_installed_module(tmp_path, module):
    result = run_mypy(["mypy.stubtest", module], tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr


def test_typed_usage_passes_strict_mypy(tmp_path):
    usage = Path(__file__).with_name("typed_usage.py")
    result = run_mypy(["mypy", "--strict", "--cache-dir", str(tmp_path / "cache"), str(usage)], tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr
