"""Logging providers shared by the resolution tests, and a child interpreter
for the cases that could take the process down."""

import os
import subprocess
import sys

import _tarnik_core


class Made:
    """What a logging provider returns: its key and the arguments it was called with."""

    def __init__(self, key, args):
        self.key = key
        self.args = args


def registrar(c, log):
    """A register(key, deps, singleton, is_async) whose providers append their
    key to `log` and return a fresh Made."""

    def register(key, deps=(), singleton=False, is_async=False):
        def build(*args, **kwargs):
            assert kwargs == {}
            log.append(key)
            return Made(key, args)

        c.register_provider(key, build, singleton, is_async, list(deps))

    return register


def _limit_stack(size):
    import resource

    resource.setrlimit(resource.RLIMIT_STACK, (size, resource.getrlimit(resource.RLIMIT_STACK)[1]))


def run_child(code, *args, timeout=60, stack_limit=None):
    """Runs `code` in a fresh interpreter that imports the module under test;
    it must exit normally. Returns its standard output. `stack_limit` is the
    RLIMIT_STACK (in bytes) to start it under."""
    env = dict(os.environ)
    here = os.path.dirname(os.path.abspath(_tarnik_core.__file__))
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [here, env.get("PYTHONPATH")]))
    proc = subprocess.run([sys.executable, "-c", code] + list(args), env=env, stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, universal_newlines=True, errors="replace", timeout=timeout,
                          preexec_fn=None if stack_limit is None else lambda: _limit_stack(stack_limit))
    err = proc.stderr[-3000:]
    assert proc.returncode == 0, "child %s exited with %d:\n%s%s" % (args, proc.returncode, proc.stdout, err)
    assert "terminate called" not in err and "Fatal Python error" not in err, err
    return proc.stdout
