"""The two log stores against the one interface the log service reaches them through: same
methods with the same parameters, the declared attributes, and nothing reached that the
interface does not declare."""

from __future__ import annotations

import ast
import inspect
import os
import typing
from pathlib import Path

import pytest

from orvane.utils import Settings
from orvane_devtools import logs
from orvane_devtools.logs import RuntimeLogService, _store
from orvane_devtools.logs._memory import MemoryLogStore
from orvane_devtools.logs._sqlite import SQLiteLogStore

STORES = [(MemoryLogStore, _store.DirectLogStore), (SQLiteLogStore, _store.FileLogStore)]


def methods(proto: type) -> set[str]:
    return {n for n in typing.get_protocol_members(proto) if inspect.isfunction(inspect.getattr_static(proto, n, None))}


def attributes(proto: type) -> set[str]:
    return set(typing.get_protocol_members(proto)) - methods(proto)


def parameters(fn: typing.Any) -> list[tuple]:
    return [(p.name, p.kind, p.default) for p in inspect.signature(fn).parameters.values()]


@pytest.mark.parametrize(("cls", "proto"), STORES, ids=["memory", "file"])
def test_each_method_has_the_interface_signature(cls, proto):
    names = methods(proto)
    assert {"append", "barrier", "query_events", "query_runs"} <= names  # the methods are found at all
    for name in sorted(names):
        impl = inspect.getattr_static(cls, name, None)
        assert inspect.isfunction(impl), f"{cls.__name__}.{name} is not a plain method"
        assert parameters(impl) == parameters(getattr(proto, name)), f"{cls.__name__}.{name}"


def test_the_file_store_alone_has_the_batch_road():
    road = methods(_store.FileLogStore) - methods(_store.LogStore)
    assert road == {"prepare", "submit"}
    assert methods(_store.DirectLogStore) == methods(_store.LogStore)
    assert not any(hasattr(MemoryLogStore, name) for name in road)


def test_each_store_has_the_interface_attributes(tmp_path):
    path = str(tmp_path / "logs" / "events.db")
    memory = RuntimeLogService(Settings({}))
    file = RuntimeLogService(Settings({"logs.path": path}))
    try:
        for service, cls, proto in ((memory, *STORES[0]), (file, *STORES[1])):
            store = service._store
            assert type(store) is cls
            for name in sorted(attributes(proto)):
                assert hasattr(store, name), f"{cls.__name__} has no {name}"
        assert memory._store.persistent is False and memory._store.path is None
        assert file._store.persistent is True and file._store.path == os.path.abspath(path)
        assert SQLiteLogStore._own_prepare is SQLiteLogStore.prepare
        assert SQLiteLogStore._own_append is SQLiteLogStore.append
    finally:
        file.close(10)


def store_uses(source: str) -> set[str]:
    """The members the code reaches on a store: ``<...>._store.X``, ``name.X`` where ``name`` was
    bound to ``<...>._store`` in the same function, and ``cls.X`` where ``cls = type(name)``."""
    used: set[str] = set()
    for fn in ast.walk(ast.parse(source)):
        if not isinstance(fn, (ast.FunctionDef, ast.AsyncFunctionDef)):
            continue
        stores: set[str] = set()
        classes: set[str] = set()
        for node in ast.walk(fn):
            if isinstance(node, ast.Assign) and len(node.targets) == 1 and isinstance(node.targets[0], ast.Name):
                value, target = node.value, node.targets[0].id
                if isinstance(value, ast.Attribute) and value.attr == "_store":
                    stores.add(target)
        for node in ast.walk(fn):
            if isinstance(node, ast.Assign) and len(node.targets) == 1 and isinstance(node.targets[0], ast.Name):
                value = node.value
                if (isinstance(value, ast.Call) and isinstance(value.func, ast.Name) and value.func.id == "type"
                        and value.args and isinstance(value.args[0], ast.Name) and value.args[0].id in stores):
                    classes.add(node.targets[0].id)
        for node in ast.walk(fn):
            if isinstance(node, ast.Attribute) and not node.attr.startswith("__"):
                value = node.value
                if (isinstance(value, ast.Attribute) and value.attr == "_store") or (
                    isinstance(value, ast.Name) and value.id in stores | classes
                ):
                    used.add(node.attr)
    return used


def test_the_service_reaches_its_store_only_through_the_interface():
    # The service's sources: its module and the base that answers about LLM calls and sessions.
    sources = [Path(logs.__file__), Path(logs.__file__).with_name("_llm_answers.py")]
    used = set().union(*(store_uses(p.read_text(encoding="utf-8")) for p in sources))
    declared = set(typing.get_protocol_members(_store.FileLogStore))
    assert declared >= set(typing.get_protocol_members(_store.DirectLogStore))
    # Everything the service and its batches reach is declared, and nothing more is.
    assert used == declared

