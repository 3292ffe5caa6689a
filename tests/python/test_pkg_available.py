"""ombrel.available() and UnavailableError: a loop denied io_uring says why.

Seccomp filters and descriptor limits cannot be undone, so those cases run
in a child process that prints what it saw as JSON.
"""

import errno
import json
import os
import subprocess
import sys
import textwrap

import ombrel
import pytest
from ombrel import _available

pytestmark = pytest.mark.timeout(60)

# Loaded by every child: reports available() and what new_event_loop raised.
REPORT = """
import asyncio, json, ombrel
def report(**extra):
    out = {"available": ombrel.available().as_dict(), **extra}
    try:
        ombrel.new_event_loop().close()
        out["raised"] = None
    except Exception as exc:
        native = exc.__cause__
        out["raised"] = {
            "type": type(exc).__name__, "runtime": isinstance(exc, RuntimeError),
            "message": str(exc), "kind": exc.availability.kind,
            "native": [type(native).__name__, str(native)],
            "errno": getattr(native.__cause__, "errno", None),
            "call": getattr(native.__cause__, "filename", None),
        }
    out["asyncio_still_works"] = asyncio.run(asyncio.sleep(0, "ok"))
    print(json.dumps(out))
"""


def run_child(body):
    proc = subprocess.run(
        [sys.executable, "-c", REPORT + textwrap.dedent(body)], capture_output=True, text=True, timeout=50
    )
    assert proc.returncode == 0, proc.stderr
    return json.loads(proc.stdout)


def test_available_here_gathers_the_facts():
    a = ombrel.available()
    assert a and a.available and a.kind is None and a.reason == "" and a.errno is None
    facts = a.as_dict()
    assert facts["seccomp"] in (0, 1, 2) and facts["fd_limit"] > 0 and facts["open_fds"] > 0
    assert facts["io_uring_disabled"] in (None, 0, 1, 2) and facts["kernel"]
    json.dumps(facts)  # machine-readable as it stands


def deny(syscall, err, first="pass"):
    return f"""
        import errno, seccomp
        {first}
        f = seccomp.SyscallFilter(defaction=seccomp.ALLOW)
        f.add_rule(seccomp.ERRNO(errno.{err}), "{syscall}")
        f.load()
        report()
    """


@pytest.mark.parametrize("err", ["EPERM", "ENOSYS"])
def test_seccomp_filter_that_denies_io_uring_is_named(err):
    pytest.importorskip("seccomp")
    out = run_child(deny("io_uring_setup", err))
    code = getattr(errno, err)
    a = out["available"]
    assert (a["available"], a["kind"], a["errno"], a["seccomp"]) == (False, "seccomp", code, 2)
    raised = out["raised"]
    assert raised["type"] == "UnavailableError" and raised["runtime"] and raised["kind"] == "seccomp"
    assert raised["message"] == a["reason"]
    assert err in raised["message"] and "seccomp" in raised["message"]
    assert "asyncio.new_event_loop" in raised["message"]
    assert raised["native"][0] == "RuntimeError"
    assert raised["errno"] == code
    assert out["asyncio_still_works"] == "ok"


@pytest.mark.parametrize("ran_before", [False, True], ids=["first-loop", "after-a-loop"])
@pytest.mark.parametrize("syscall", ["io_uring_enter", "io_uring_register"])
def test_ring_that_is_set_up_but_cannot_be_used_is_refused_at_creation(syscall, ran_before):
    # The filter lets io_uring_setup through; the loop's first run would fail,
    # so creation must. A loop run before the filter leaves its ring to the
    # next loop, which is checked all the same.
    pytest.importorskip("seccomp")
    out = run_child(deny(syscall, "EPERM", "ombrel.run(asyncio.sleep(0))" if ran_before else "pass"))
    a, raised = out["available"], out["raised"]
    assert (a["available"], a["kind"], a["errno"]) == (False, "seccomp", errno.EPERM)
    assert (raised["type"], raised["kind"], raised["errno"], raised["call"]) == (
        "UnavailableError",
        "seccomp",
        errno.EPERM,
        syscall,
    )
    assert raised["message"] == a["reason"]
    assert f"denies {syscall}" in raised["message"] and "EPERM" in raised["message"]
    assert "allow io_uring_setup, io_uring_enter and io_uring_register" in raised["message"]
    assert out["asyncio_still_works"] == "ok"


def test_descriptor_limit_names_the_limit_and_leaks_nothing():
    # Zero free descriptors fails the ring; one free fails the eventfd made
    # after it, whose ring must then be closed again.
    out = run_child("""
        import os, resource
        hard = resource.getrlimit(resource.RLIMIT_NOFILE)[1]
        resource.setrlimit(resource.RLIMIT_NOFILE, (32, hard))
        def fill():
            taken = []
            try:
                while True:
                    taken.append(os.dup(0))
            except OSError:
                return taken
        held = fill()
        cases = {}
        for free in (0, 1):
            if free:
                os.close(held.pop())
            a = ombrel.available()
            try:
                ombrel.new_event_loop()
            except ombrel.UnavailableError as exc:
                native_errno = exc.__cause__.__cause__.errno
            left = fill()
            for fd in left:
                os.close(fd)
            cases[free] = [a.kind, a.errno, a.fd_limit, native_errno, free - len(left), a.reason]
        for fd in held:
            os.close(fd)
        resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
        report(cases=cases, after=ombrel.run(asyncio.sleep(0, "ran")))
    """)
    for kind, err, limit, native_errno, leaked, reason in out["cases"].values():
        assert (kind, err, limit, native_errno, leaked) == ("fd_limit", errno.EMFILE, 32, errno.EMFILE, 0)
        assert "EMFILE" in reason and "RLIMIT_NOFILE is 32" in reason
    assert out["available"]["available"] and out["raised"] is None and out["after"] == "ran"


def facts(**changes):
    base = dict(
        io_uring_disabled=0,
        io_uring_group=-1,
        seccomp=0,
        cap_sys_admin=False,
        fd_limit=1024,
        fd_limit_hard=4096,
        open_fds=10,
        kernel="5.15.0",
    )
    return base | changes


@pytest.mark.parametrize(
    "err, given, kind, says",
    [
        (errno.EPERM, facts(io_uring_disabled=2, seccomp=2), "sysctl", "kernel.io_uring_disabled is 2"),
        (errno.EPERM, facts(io_uring_disabled=1), "sysctl", "kernel.io_uring_disabled is 1"),
        # CAP_SYS_ADMIN passes the sysctl's restriction: the filter is then the cause.
        (errno.EPERM, facts(io_uring_disabled=1, cap_sys_admin=True, seccomp=2), "seccomp", "Seccomp: 2"),
        (errno.EPERM, facts(), "permission", "security module"),
        (errno.ENOSYS, facts(), "kernel", "CONFIG_IO_URING"),
        (errno.EINVAL, facts(), "kernel", "Linux 6.1"),
        (errno.ENOMEM, facts(), "memory", "RLIMIT_MEMLOCK"),
    ],
)
def test_causes_that_cannot_be_staged_here(err, given, kind, says):
    # The sysctl is host-wide and the kernel is what it is: judged from facts.
    a = _available._judge(err, given, ok=False)
    assert not a and (a.kind, a.errno) == (kind, err)
    assert says in a.reason and errno.errorcode[err] in a.reason


def test_the_diagnostic_command_reports_and_checks(tmp_path):
    """python -m ombrel: every check passes here (exit 0, --json parses);
    denied io_uring, it says why and exits 1 without a traceback."""
    run = [sys.executable, "-m", "ombrel"]
    proc = subprocess.run(run + ["--json"], capture_output=True, text=True, timeout=50)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    report = json.loads(proc.stdout)
    assert report["ok"] and report["available"]["available"] and "EXT_ARG" in report["ring"]["features"]
    assert [c["check"] for c in report["checks"] if c["ok"]] == ["tcp echo", "timer", "file", "child process"]
    text = subprocess.run(run, capture_output=True, text=True, timeout=50)
    assert text.returncode == 0 and "result          everything works" in text.stdout

    pytest.importorskip("seccomp")
    denied = tmp_path / "denied.py"
    denied.write_text(
        textwrap.dedent("""
        import errno, runpy, seccomp, sys
        f = seccomp.SyscallFilter(defaction=seccomp.ALLOW)
        f.add_rule(seccomp.ERRNO(errno.EPERM), "io_uring_setup")
        f.load()
        sys.argv = ["ombrel"]
        runpy.run_module("ombrel", run_name="__main__")
    """)
    )
    proc = subprocess.run([sys.executable, str(denied)], capture_output=True, text=True, timeout=50)
    assert proc.returncode == 1 and proc.stderr == ""
    assert "io_uring        UNAVAILABLE (seccomp)" in proc.stdout and "cannot run here" in proc.stdout


PROFILE_CHILD = """
import errno, json, seccomp, sys
import ombrel
profile = json.load(open(sys.argv[1]))
rules = profile["syscalls"][:-1] if sys.argv[2] == "base" else profile["syscalls"]
f = seccomp.SyscallFilter(defaction=seccomp.ERRNO(profile["defaultErrnoRet"]))
for rule in rules:
    if rule.get("args") or rule.get("includes") or rule.get("excludes"):
        continue  # conditional rules: left denied, a stricter filter
    action = seccomp.ALLOW if rule["action"] == "SCMP_ACT_ALLOW" else seccomp.ERRNO(rule.get("errnoRet", 1))
    for name in rule["names"]:
        try:
            f.add_rule(action, name)
        except (RuntimeError, ValueError):
            pass  # not a call of this architecture
f.load()
a = ombrel.available()
print(json.dumps([a.available, a.kind]))
"""


def test_shipped_seccomp_profile_allows_io_uring_on_top_of_its_base():
    """docs/seccomp-io_uring.json: the base profile's rules, then one rule
    allowing the three io_uring calls. Loaded through libseccomp in a child
    (its unconditional rules), a loop can be made; without the last rule
    (the base), it cannot, and the cause is named."""
    path = os.path.join(os.path.dirname(__file__), "..", "..", "docs", "seccomp-io_uring.json")
    with open(path, encoding="utf-8") as f:
        profile = json.load(f)
    calls = ["io_uring_setup", "io_uring_enter", "io_uring_register"]
    assert profile["defaultAction"] != "SCMP_ACT_ALLOW"
    assert profile["syscalls"][-1] == {"names": calls, "action": "SCMP_ACT_ALLOW"}
    assert not any(set(calls) & set(r["names"]) for r in profile["syscalls"][:-1])
    pytest.importorskip("seccomp")
    seen = {}
    for which in ("profile", "base"):
        proc = subprocess.run(
            [sys.executable, "-c", PROFILE_CHILD, path, which], capture_output=True, text=True, timeout=50
        )
        assert proc.returncode == 0, proc.stderr
        seen[which] = json.loads(proc.stdout)
    assert seen == {"profile": [True, None], "base": [False, "seccomp"]}
