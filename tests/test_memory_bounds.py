"""The room a control group's memory limit leaves, read from either version of the control-group files."""
import pytest

from quorvex import _memory

UNLIMITED_V1 = 9223372036854771712


def write(root, files):
    for relative, text in files.items():
        path = root / relative
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(text)


def v1_group(directory, limit, usage, inactive, hierarchical=None):
    stat = f"cache 0\nhierarchical_memory_limit {hierarchical or UNLIMITED_V1}\ntotal_inactive_file {inactive}\n"
    return {f"{directory}/memory.limit_in_bytes": f"{limit}\n", f"{directory}/memory.usage_in_bytes": f"{usage}\n",
            f"{directory}/memory.stat": stat}


V2_GROUP = {"sys/grp/memory.max": "1000\n", "sys/grp/memory.current": "400\n",
            "sys/grp/memory.stat": "anon 300\ninactive_file 100\n"}


@pytest.mark.parametrize("cgroup, files, room", [
    # Version 2: limit - usage + inactive file pages.
    ("0::/grp\n", V2_GROUP, 700),
    ("0::/grp\n", {**V2_GROUP, "sys/grp/memory.max": "max\n"}, None),
    # Version 1's memory controller, beside the other controllers' lines.
    ("5:devices:/\n4:memory:/grp\n0::/\n", v1_group("sys/memory/grp", 1000, 400, 100), 700),
    ("4:memory:/grp\n", v1_group("sys/memory/grp", UNLIMITED_V1, 400, 100), None),
    # An ancestor's limit, which the kernel reports as the hierarchical one.
    ("4:memory:/grp\n", v1_group("sys/memory/grp", UNLIMITED_V1, 400, 100, hierarchical=800), 500),
    # A controller mounted together with another.
    ("3:cpu,memory:/grp\n", v1_group("sys/cpu,memory/grp", 2000, 500, 0), 1500),
    # A container shown the host's path, with only its own group mounted.
    ("4:memory:/host/path/of/it\n", v1_group("sys/memory", 1000, 900, 0), 100),
    # Both versions: the tighter one.
    ("4:memory:/grp\n0::/grp\n", {**V2_GROUP, **v1_group("sys/memory/grp", 650, 400, 0)}, 250),
    # Usage above the limit leaves nothing.
    ("4:memory:/grp\n", v1_group("sys/memory/grp", 1000, 1200, 0), 0),
    ("4:memory:/missing\n", {}, None),
])
def test_control_group_room(tmp_path, cgroup, files, room):
    write(tmp_path, {"cgroup": cgroup, **files})
    assert _memory._control_group_room(str(tmp_path / "cgroup"), str(tmp_path / "sys")) == room


def test_the_control_group_bound_is_one_of_the_bounds(monkeypatch):
    monkeypatch.setattr(_memory, "_control_group_room", lambda: 12345)
    assert (12345, "what its control group's memory limit leaves") in _memory.memory_bounds()
    assert _memory.available_memory() == 12345
