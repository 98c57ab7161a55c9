"""What /proc says about a process: its descriptors, memory, CPU time and children."""

import os


def fd_targets(pid):
    targets = []
    for name in os.listdir(f"/proc/{pid}/fd"):
        try:
            targets.append(os.readlink(f"/proc/{pid}/fd/{name}"))
        except FileNotFoundError:
            pass  # closed while we looked
    return targets


def fd_count(pid):
    return len(fd_targets(pid))


def socket_count(pid):
    return sum(1 for target in fd_targets(pid) if target.startswith("socket:"))


def memory_kib(pid, field="VmRSS"):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise KeyError(field)


def _parent_and_name(pid):
    try:
        with open(f"/proc/{pid}/stat") as f:
            stat = f.read()
    except OSError:
        return None, None
    # The name is in parentheses and may hold spaces; the parent follows the state.
    name = stat[stat.index("(") + 1:stat.rindex(")")]
    return int(stat[stat.rindex(")") + 2:].split()[1]), name


def descendants(root, name=None):
    """Pids of the processes below root (optionally only those called name)."""
    children = {}
    names = {}
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            parent, comm = _parent_and_name(int(entry))
            if parent is not None:
                children.setdefault(parent, []).append(int(entry))
                names[int(entry)] = comm
    found, todo = [], [root]
    while todo:
        for child in children.get(todo.pop(), []):
            found.append(child)
            todo.append(child)
    return {pid for pid in found if name is None or names.get(pid) == name}


def cpu_seconds(pid):
    """CPU time of every thread of a process, from the scheduler's nanosecond counters."""
    total = 0
    for task in os.listdir(f"/proc/{pid}/task"):
        with open(f"/proc/{pid}/task/{task}/schedstat") as f:
            total += int(f.read().split()[0])
    return total / 1e9
