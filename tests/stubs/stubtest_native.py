"""mypy's stubtest, taught how nanobind's native objects describe themselves.

Run as ``python stubtest_native.py [--package-root DIR]... [--expect MODULE]... [stubtest options]
MODULE...``; the other options and the exit status are stubtest's own.

Stock stubtest knows Python functions and CPython's builtins. The extension modules of this
package are nanobind modules, and stubtest misreads them in ways that say nothing about the stubs:
a nanobind function is neither a Python function nor a builtin, so every one is "not a function"
and its signature is invisible (``inspect.signature`` gives the ``(*args, **kwargs)`` of its
type's call slot); a static method is a bare nanobind function in the class dict, not a
``staticmethod``; every nanobind class has nanobind's own metaclass, which no stub can name.
Each adaptation below replaces one stubtest helper with one that reads nanobind's own record of
the object and otherwise defers to stubtest, so stubtest goes on to check the native signatures
(parameter names, kinds, defaults) against the stubs rather than skipping them.

A typing.Literal alias (``RunStatus``) is compared value for value: mypy sees a Literal of several
values as a union of one-value literals, and stubtest expects a Union object at runtime.

``--package-root DIR`` (repeatable): every module of the checked packages must have been read by
mypy from under one of these directories (the installed package, not a stray copy elsewhere on
the path); a module read from elsewhere fails the run. ``--expect MODULE`` (repeatable): the
module must be among those checked; one that is not fails the run.
"""

from __future__ import annotations

import ast
import inspect
import os
import re
import sys
import typing
from collections.abc import Iterator
from typing import Any

from mypy import nodes, stubtest
from mypy import types as mypy_types

_problems: list[str] = []


def _is_nanobind_function(obj: object) -> bool:
    """A nanobind function or method object (``nb_func``: free or static; ``nb_method``: bound
    through the descriptor protocol)."""
    t = type(obj)
    return t.__module__ == "nanobind" and t.__name__ in ("nb_func", "nb_method") and hasattr(
        obj, "__nb_signature__")


def _is_nanobind_class(cls: object) -> bool:
    return isinstance(cls, type) and type(cls).__module__ == "nanobind"


# -- functions --------------------------------------------------------------------------------

_PLACEHOLDER = re.compile(r"\\(\d+)")


def _default_value(node: ast.expr, defaults: tuple[Any, ...] | None, where: str) -> Any:
    if isinstance(node, ast.Name) and node.id.startswith("_nb_default_"):
        index = int(node.id.removeprefix("_nb_default_"))
        if defaults is None or index >= len(defaults):
            raise ValueError(f"{where}: default \\{index} is not among the recorded defaults")
        return defaults[index]
    try:
        return ast.literal_eval(node)
    except (ValueError, TypeError, SyntaxError):
        return ...  # a default nanobind renders as text: present, value unknown


def nanobind_signature(fn: Any) -> inspect.Signature | None:
    """The signature nanobind recorded for ``fn`` (``__nb_signature__``: the text of its
    ``def`` line, with ``\\N`` standing for the N-th of the recorded default values).

    None where there is nothing to compare: several overloads, or a binding that takes
    ``*args, **kwargs`` and reads its arguments itself."""
    records = fn.__nb_signature__
    if len(records) != 1:
        return None
    text, _doc, defaults = records[0]
    where = f"{getattr(fn, '__qualname__', fn)!r} ({text!r})"
    source = _PLACEHOLDER.sub(lambda m: f"_nb_default_{m.group(1)}", text)
    try:
        tree = ast.parse(source.strip() + ": ...")
        func = tree.body[0]
        if not isinstance(func, ast.FunctionDef):
            raise ValueError("not a def line")
        return _signature_of(func.args, defaults, where)
    except (SyntaxError, ValueError) as exc:
        # Unreadable is a failure of the run, never a signature silently left unchecked.
        _problems.append(f"cannot read the nanobind signature of {where}: {exc}")
        return None


def _signature_of(a: ast.arguments, defaults: tuple[Any, ...] | None,
                  where: str) -> inspect.Signature | None:
    P = inspect.Parameter
    params: list[inspect.Parameter] = []
    positional = [(arg, P.POSITIONAL_ONLY) for arg in a.posonlyargs]
    positional += [(arg, P.POSITIONAL_OR_KEYWORD) for arg in a.args]
    first_default = len(positional) - len(a.defaults)
    for i, (arg, kind) in enumerate(positional):
        default = (_default_value(a.defaults[i - first_default], defaults, where)
                   if i >= first_default else P.empty)
        params.append(P(arg.arg, kind, default=default))
    if a.vararg is not None:
        params.append(P(a.vararg.arg, P.VAR_POSITIONAL))
    for arg, node in zip(a.kwonlyargs, a.kw_defaults):
        default = P.empty if node is None else _default_value(node, defaults, where)
        params.append(P(arg.arg, P.KEYWORD_ONLY, default=default))
    if a.kwarg is not None:
        params.append(P(a.kwarg.arg, P.VAR_KEYWORD))
    own = [p for p in params if p.name != "self"]
    if [p.kind for p in own] == [P.VAR_POSITIONAL, P.VAR_KEYWORD]:
        return None
    return inspect.Signature(params)


_stock_is_probably_a_function = stubtest.is_probably_a_function
_stock_safe_inspect_signature = stubtest.safe_inspect_signature
_stock_verify_static_class_methods = stubtest._verify_static_class_methods
_stock_verify_metaclass = stubtest._verify_metaclass
_stock_verify_typealias = stubtest.verify_typealias
_stock_build_stubs = stubtest.build_stubs
_stock_verify_arg_name = stubtest._verify_arg_name


def is_probably_a_function(runtime: Any) -> bool:
    return _is_nanobind_function(runtime) or _stock_is_probably_a_function(runtime)


def safe_inspect_signature(runtime: Any) -> inspect.Signature | None:
    # Through wrappers that name what they wrap (the package's abstract-method descriptor).
    target = runtime
    for _ in range(8):
        if _is_nanobind_function(target):
            return nanobind_signature(target)
        wrapped = getattr(target, "__wrapped__", None)
        if wrapped is None:
            break
        target = wrapped
    # A nanobind class that binds no constructor keeps the error-raising default tp_init, seen as
    # object's generic wrapper: not a signature of the class.
    objclass = getattr(runtime, "__objclass__", None)
    if getattr(runtime, "__name__", None) == "__init__" and _is_nanobind_class(objclass):
        return None
    return _stock_safe_inspect_signature(runtime)


def _verify_arg_name(stub_arg: nodes.Argument, runtime_arg: inspect.Parameter,
                     function_name: str) -> Iterator[str]:
    # nanobind calls an argument bound without a name "arg" ("arg0", "arg1", ... when there are
    # several) and makes it positional-only: the runtime has no name for it that a stub could
    # match, so the stub's name is free.
    if (runtime_arg.kind == inspect.Parameter.POSITIONAL_ONLY
            and re.fullmatch(r"arg\d*", runtime_arg.name)):
        return iter(())
    return _stock_verify_arg_name(stub_arg, runtime_arg, function_name)


def _verify_static_class_methods(stub: nodes.FuncBase, runtime: Any, static_runtime: Any,
                                 object_path: list[str]) -> Iterator[str]:
    # A bare nanobind function in a class dict has no __get__: it is called unbound, as a
    # staticmethod is. (A method is an nb_method, which binds.)
    if (type(static_runtime).__module__ == "nanobind" and type(static_runtime).__name__ == "nb_func"
            and isinstance(stubtest._static_lookup_runtime(object_path[:-1]), type)):
        static_runtime = staticmethod(static_runtime)
    return _stock_verify_static_class_methods(stub, runtime, static_runtime, object_path)


def _verify_metaclass(stub: nodes.TypeInfo, runtime: type[Any], object_path: list[str], *,
                      is_runtime_typeddict: bool) -> Iterator[stubtest.Error]:
    # nanobind's nb_type is how nanobind builds every class; it has no importable name and adds
    # nothing a caller can use, so a stub cannot and need not declare it.
    if _is_nanobind_class(runtime) and stub.metaclass_type is None:
        return iter(())
    return _stock_verify_metaclass(stub, runtime, object_path,
                                   is_runtime_typeddict=is_runtime_typeddict)


def verify_typealias(stub: nodes.TypeAlias, runtime: Any,
                     object_path: list[str]) -> Iterator[stubtest.Error]:
    target = mypy_types.get_proper_type(stub.target)
    if (isinstance(target, mypy_types.UnionType) and not isinstance(runtime, stubtest.Missing)
            and typing.get_origin(runtime) is typing.Literal):
        items = [mypy_types.get_proper_type(t) for t in target.items]
        if all(isinstance(t, mypy_types.LiteralType) for t in items):
            stub_values = {t.value for t in items}  # type: ignore[union-attr]
            runtime_values = set(typing.get_args(runtime))
            if stub_values != runtime_values:
                yield stubtest.Error(
                    object_path,
                    "is inconsistent, Literal values differ "
                    f"(stub only: {sorted(map(repr, stub_values - runtime_values))}, "
                    f"runtime only: {sorted(map(repr, runtime_values - stub_values))})",
                    stub, runtime, stub_desc=str(target))
            return
    yield from _stock_verify_typealias(stub, runtime, object_path)


_package_roots: list[str] = []
_expected: list[str] = []


def build_stubs(modules: list[str], options: Any, find_submodules: bool = False) -> list[str]:
    found = _stock_build_stubs(modules, options, find_submodules)
    for name in _expected:
        if name not in found or name not in stubtest._all_stubs:
            _problems.append(f"{name} was not checked (mypy found no source or stub for it)")
    if _package_roots:
        tops = {m.split(".")[0] for m in modules}
        for name, tree in sorted(stubtest._all_stubs.items()):
            if name.split(".")[0] not in tops:
                continue
            path = os.path.realpath(tree.path)
            if not any(path.startswith(root + os.sep) for root in _package_roots):
                _problems.append(f"mypy read {name} from {path}, outside {_package_roots}")
    return found


def install() -> None:
    stubtest.is_probably_a_function = is_probably_a_function
    stubtest.safe_inspect_signature = safe_inspect_signature
    stubtest._verify_arg_name = _verify_arg_name
    stubtest._verify_static_class_methods = _verify_static_class_methods
    stubtest._verify_metaclass = _verify_metaclass
    stubtest.build_stubs = build_stubs
    stubtest.verify.register(nodes.TypeAlias)(verify_typealias)


def main(argv: list[str]) -> int:
    rest: list[str] = []
    it = iter(argv)
    for arg in it:
        if arg == "--package-root":
            _package_roots.append(os.path.realpath(next(it)))
        elif arg == "--expect":
            _expected.append(next(it))
        else:
            rest.append(arg)
    install()
    sys.argv = [sys.argv[0], *rest]
    code = stubtest.main()
    for problem in _problems:
        print(f"error: {problem}")
    return 1 if _problems else code


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
