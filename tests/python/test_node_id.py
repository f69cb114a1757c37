"""NodeId value semantics and hashing; the classes Python code cannot instantiate."""
import pytest
import velk_concurrent as vc
from conftest import run_python


def test_id_and_repr(rt):
    nodes = [rt.create_input(0), rt.create_query(lambda ref: 0), rt.create_input(0)]
    assert [n.id for n in nodes] == [0, 1, 2]
    assert [repr(n) for n in nodes] == ["NodeId(slot=0)", "NodeId(slot=1)", "NodeId(slot=2)"]


def test_equality_covers_slot_and_runtime(rt):
    a, b = rt.create_input(0), rt.create_input(0)
    other = vc.Runtime().create_input(0)
    assert other.id == a.id
    assert a == a and not (a != a)  # no identity shortcut: this compares the handles
    assert a != b and not (a == b) and a != other and not (a == other)
    assert (a == 0) is False and (a != 0) is True
    keys = {a: "a", b: "b", other: "other"}
    assert len(keys) == 3 and keys[a] == "a" and keys[other] == "other"
    for op in ("<", "<=", ">", ">="):
        with pytest.raises(TypeError):
            eval(f"a {op} b", {"a": a, "b": b})


def test_hash_is_the_bytes_hash_of_slot_generation_and_runtime():
    proc = run_python("""
        import struct, velk_concurrent as vc
        from conftest import runtime_id
        for rt in (vc.Runtime(), vc.Runtime()):
            rid = runtime_id(rt)
            for slot in range(3):
                node = rt.create_input(slot) if slot != 1 else rt.create_query(lambda ref: 0)
                assert hash(node) == hash(struct.pack("<IIQ", slot, 0, rid)), (slot, rid)
        print("ok")
    """, PYTHONHASHSEED="0")
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout == "ok\n"


@pytest.mark.parametrize("name", ["NodeId", "ObserverId", "RuntimeRef", "Collection",
                                  "SortedCollection", "GroupedCollection"])
def test_only_runtime_can_be_instantiated(name):
    cls = getattr(vc, name)
    with pytest.raises(TypeError):
        cls()
    with pytest.raises(TypeError):
        cls.__new__(cls)
