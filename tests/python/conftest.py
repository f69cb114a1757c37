"""Fixtures and helpers shared by the velk_concurrent tests."""
import os
import re
import subprocess
import sys
import textwrap

import pytest
import velk_concurrent as vc


@pytest.fixture
def rt():
    return vc.Runtime()


class Calls(dict):
    """Counts query-function calls by name; take() returns the counts and resets them."""

    def wrap(self, name, body):
        def compute(ref):
            self[name] = self.get(name, 0) + 1
            return body(ref)
        return compute

    def take(self):
        counts = dict(self)
        self.clear()
        return counts


def change_at_random(rng, collection, model, value):
    """Inserts `value` six times in ten, else deletes it, in the collection and in `model` (its
    contents as a list); a delete must report whether the value was there. True for an insert."""
    if rng.random() < 0.6:
        collection.insert(value)
        model.append(value)
        return True
    assert collection.delete(value) == (value in model)
    if value in model:
        model.remove(value)
    return False


def runtime_id(runtime):
    """The runtime's process-wide id, read from the error for a handle it did not mint."""
    foreign = vc.Runtime().create_input(None)
    with pytest.raises(RuntimeError) as info:
        runtime.get(foreign)
    return int(re.search(r"used on runtime (\d+)\)$", str(info.value)).group(1))


def panic_type():
    """PanicException is not exported: catch one to get the class."""
    runtime = vc.Runtime()

    def creates(ref):
        try:
            runtime.create_input(0)
        except BaseException as exc:
            return type(exc)

    return runtime.get(runtime.create_query(creates))


def run_python(code, **env):
    """Runs `code` in a fresh interpreter that can import this directory's helpers."""
    path = os.pathsep.join(filter(None, [os.path.dirname(__file__), os.environ.get("PYTHONPATH")]))
    env = {**os.environ, "PYTHONPATH": path, **env}
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)],
                          capture_output=True, text=True, timeout=120, env=env)
