"""Logging providers shared by the resolution tests."""


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
