"""Injectors racing on one file (threads, processes, the command's install against its
uninstall), and injectors killed half-way: the user's text survives, and the file holds the
old bytes or the old bytes and one block, nothing else."""

import multiprocessing
import random
import signal
import subprocess
import sys
import textwrap
import threading
import time
from pathlib import Path

import pytest

from conftest import BLOCK, USER_TEXT, hard_linked
from kestrix.skills.services.rule_injector import RuleInjector

pytestmark = pytest.mark.slow

OLD = "# My project\r\n\r\nKeep this text.\r\n".encode() * 50
CRLF_BLOCK = BLOCK.replace(b"\n", b"\r\n")


def check_round(config: Path, old: bytes | None) -> None:
    expected = (old or b"") + (CRLF_BLOCK if old else BLOCK)
    assert config.read_bytes() == expected
    assert [p.name for p in config.parent.iterdir()] == [config.name]


def prepare_round(config: Path, number: int) -> bytes | None:
    """Even rounds start from the user's file, odd ones from no file at all."""
    if number % 2:
        config.unlink(missing_ok=True)
        return None
    config.write_bytes(OLD)
    return OLD


def release(*barriers) -> None:
    """After a failed round: lets the workers out of their waits."""
    for barrier in barriers:
        barrier.abort()


def test_threads_racing_on_one_file(tmp_path):
    skills = tmp_path / ".claude" / "skills"
    config = skills.parent / "CLAUDE.md"
    skills.parent.mkdir()
    threads, rounds = 8, 50
    start, end = threading.Barrier(threads + 1), threading.Barrier(threads + 1)
    errors = []

    def worker():
        injector = RuleInjector(tmp_path)
        for _ in range(rounds):
            start.wait()
            try:
                injector.inject("claude", skills)
            except Exception as e:  # reported below, after the round
                errors.append(e)
            end.wait()

    pool = [threading.Thread(target=worker) for _ in range(threads)]
    for t in pool:
        t.start()
    try:
        for number in range(rounds):
            old = prepare_round(config, number)
            start.wait(timeout=60)
            end.wait(timeout=60)
            assert errors == []
            check_round(config, old)
    except BaseException:
        release(start, end)
        raise
    finally:
        for t in pool:
            t.join(timeout=60)


def _process_worker(skills: str, rounds: int, start, end) -> None:
    injector = RuleInjector(Path(skills).parent / "no-templates")
    for _ in range(rounds):
        start.wait(timeout=60)
        injector.inject("claude", Path(skills))
        end.wait(timeout=60)


def test_processes_racing_on_one_file(tmp_path):
    skills = tmp_path / ".claude" / "skills"
    config = skills.parent / "CLAUDE.md"
    skills.parent.mkdir()
    processes, rounds = 4, 20
    context = multiprocessing.get_context("spawn")
    start, end = context.Barrier(processes + 1), context.Barrier(processes + 1)
    pool = [context.Process(target=_process_worker, args=(str(skills), rounds, start, end))
            for _ in range(processes)]
    for p in pool:
        p.start()
    try:
        for number in range(rounds):
            old = prepare_round(config, number)
            start.wait(timeout=120)
            end.wait(timeout=120)
            check_round(config, old)
    except BaseException:
        release(start, end)
        raise
    finally:
        for p in pool:
            p.join(timeout=60)
            if p.is_alive():
                p.kill()
    assert [p.exitcode for p in pool] == [0] * processes


CHILD = textwrap.dedent("""
    import sys
    from pathlib import Path
    from kestrix.skills.services.rule_injector import RuleInjector
    skills = Path(sys.argv[1])
    print("ready", flush=True)
    sys.stdin.readline()
    RuleInjector(skills.parent / "no-templates").inject("claude", skills)
""")


def run_child(skills: Path, kill_after: float | None) -> float:
    """Runs one injecting child; kills it `kill_after` seconds into the call.
    Returns how long the call ran."""
    child = subprocess.Popen([sys.executable, "-c", CHILD, str(skills)], stdin=subprocess.PIPE,
                             stdout=subprocess.PIPE, text=True)
    try:
        assert child.stdout.readline() == "ready\n"  # imports done: only the call is left
        began = time.monotonic()
        child.stdin.write("go\n")
        child.stdin.flush()
        if kill_after is None:
            assert child.wait(timeout=120) == 0
        else:
            time.sleep(kill_after)
            child.send_signal(signal.SIGKILL)
            child.wait(timeout=120)
        return time.monotonic() - began
    finally:
        if child.poll() is None:
            child.kill()
            child.wait()
        child.stdin.close()
        child.stdout.close()


def test_killed_injector_leaves_old_or_complete_file(tmp_path):
    skills = tmp_path / ".claude" / "skills"
    config = skills.parent / "CLAUDE.md"
    skills.parent.mkdir()
    old = b"user line\n" * 2_500_000  # 25 MB
    config.write_bytes(old)
    duration = run_child(skills, None)  # one whole call, to aim the kills inside it
    assert config.read_bytes() == old + BLOCK
    rng = random.Random(8)
    outcomes = {"old": 0, "new": 0}
    for _ in range(12):
        config.write_bytes(old)
        run_child(skills, rng.uniform(0, duration * 1.2))
        content = config.read_bytes()
        assert content in (old, old + BLOCK)
        outcomes["old" if content == old else "new"] += 1
        # A killed writer may leave its new file behind, under a name that says whose it is.
        for stray in config.parent.iterdir():
            if stray != config:
                assert stray.name.startswith(".rule_injector.CLAUDE.md.")
                assert stray.name.endswith(".tmp")
                stray.unlink()
    print(f"one call: {duration:.3f} s; outcomes after kills: {outcomes}")


RACER = textwrap.dedent("""
    import sys
    from kestrix.cli import main
    print("ready", flush=True)
    sys.stdin.readline()
    sys.exit(main(["skills", sys.argv[1], "claude", sys.argv[2], "-q"]))
""")


def test_install_racing_uninstall_on_a_hard_linked_file(tmp_path):
    config = hard_linked(tmp_path / "p", USER_TEXT)
    (config.parent / "skills").mkdir()  # the command installs only beside a skills folder
    skills = str(config.parent / "skills")
    subprocess.run([sys.executable, "-c", RACER, "install", skills], input="go\n", text=True,
                   check=True, timeout=60, capture_output=True)
    installed = config.read_bytes()
    for _ in range(30):
        hard_linked(config.parent, USER_TEXT)
        racers = [subprocess.Popen([sys.executable, "-c", RACER, action, skills], text=True,
                                   stdin=subprocess.PIPE, stdout=subprocess.PIPE)
                  for action in ("install", "uninstall")]
        try:
            assert [r.stdout.readline() for r in racers] == ["ready\n"] * 2
            for r in racers:
                r.stdin.write("go\n")
                r.stdin.flush()
            assert [r.wait(timeout=60) for r in racers] in ([0, 0], [0, 5])
        finally:
            for r in racers:
                r.kill()
                r.communicate(timeout=60)
        data = config.read_bytes()
        assert b"\0" not in data and data in (USER_TEXT, installed)
