"""A small pure-Python model of the container, used as an oracle by the tests.

`ModelContainer` behaves like `_tarnik_core.Container` as far as Python can
observe it: argument binding and conversion with the same messages, the
registry and the override stack, single-key resolution, batch resolution,
planned resolution (with the same provider call order), cache access,
introspection, nested reads from providers (and the refusal of nested
changes), and the poisoned state left behind by an internal failure.  It favours clarity over speed: resolution recurses on
the Python stack, so it is meant for small graphs.
"""

REENTRANT_MSG = (
    "Container is already in use by this thread "
    "(re-entrant call from a provider or finalizer)"
)
OTHER_STACK_MSG = (
    "Container is in use by another greenlet or task of this thread, "
    "which cannot go on while this call waits"
)
DEADLOCK_MSG = (
    "Deadlock detected: the container is held by a thread that waits, "
    "directly or through other threads, for a container this thread holds"
)
POISON_MSG = "called `Result::unwrap()` on an `Err` value: PoisonError { .. }"
UNWRAPPED_PANIC_MSG = "Unwrapped panic from Python code"

# Parameters of every method that binds its own arguments, in order.
SIGNATURES = {
    "register_provider": ("key", "callable", "singleton", "is_async", "dep_keys"),
    "resolve": ("key",),
    "resolve_many": ("keys",),
    "resolve_many_plan": ("keys",),
    "set_override": ("key", "callable", "singleton", "is_async", "dep_keys"),
    "get_provider_info": ("key",),
    "get_cached": ("key",),
    "set_cached": ("key", "value"),
}
NOARGS_METHODS = ("begin_override_layer", "end_override_layer")
METHODS = tuple(SIGNATURES) + NOARGS_METHODS
# What a provider may call on its own container while it runs.
NESTED_READS = ("resolve", "resolve_many", "resolve_many_plan", "get_provider_info", "get_cached")

_KIND = {
    "key": "string",
    "keys": "keylist",
    "dep_keys": "keylist",
    "callable": "object",
    "value": "object",
    "singleton": "flag",
    "is_async": "flag",
}

_EMPTY = object()  # an empty cached slot (None is a value like any other)
_IN_PROGRESS = object()
_DONE = object()


def missing_msg(key):
    return "No provider registered for key: " + key


def cycle_msg(key):
    return "Dependency cycle detected at key: " + key


def async_msg(key):
    return "Provider for key '" + key + "' is async and requires async resolution"


def set_cached_msg(key):
    return "Cannot set cache for non-singleton or unknown key: " + key


def conversion_msg(obj, target):
    try:
        name = type(obj).__qualname__
        if not isinstance(name, str):
            raise TypeError
    except Exception:
        name = "<failed to extract type name>"
    return "'%s' object cannot be converted to '%s'" % (name, target)


def _quote_list(names):
    quoted = ["'%s'" % n for n in names]
    if len(quoted) == 1:
        return quoted[0]
    if len(quoted) == 2:
        return quoted[0] + " and " + quoted[1]
    return ", ".join(quoted[:-1]) + ", and " + quoted[-1]


def bind(method, params, args, kwargs):
    """Bind positional and keyword arguments the way the module does."""
    fname = "Container.%s()" % method
    if len(args) > len(params):
        raise TypeError(
            "%s takes %d positional arguments but %d %s given"
            % (fname, len(params), len(args), "was" if len(args) == 1 else "were")
        )
    bound = dict(zip(params, args))
    for name, value in kwargs.items():
        if name not in params:
            raise TypeError("%s got an unexpected keyword argument '%s'" % (fname, name))
        if name in bound:
            raise TypeError("%s got multiple values for argument '%s'" % (fname, name))
        bound[name] = value
    missing = [p for p in params if p not in bound]
    if missing:
        raise TypeError(
            "%s missing %d required positional %s: %s"
            % (
                fname,
                len(missing),
                "argument" if len(missing) == 1 else "arguments",
                _quote_list(missing),
            )
        )
    return [bound[p] for p in params]


def _to_key(obj):
    if not isinstance(obj, str):
        raise TypeError(conversion_msg(obj, "PyString"))
    # The underlying text of a str subclass, as UTF-8; lone surrogates fail
    # with the codec's own UnicodeEncodeError.
    return str.encode(obj, "utf-8")


def _to_flag(obj):
    if type(obj) is bool:
        return obj
    raise TypeError(conversion_msg(obj, "PyBool"))


def _is_sequence(obj):
    return not isinstance(obj, dict) and hasattr(type(obj), "__getitem__")


def _to_keylist(obj):
    if isinstance(obj, str):
        raise TypeError("Can't extract `str` to `Vec`")
    if not _is_sequence(obj):
        raise TypeError(conversion_msg(obj, "Sequence"))
    return [_to_key(item) for item in obj]


_CONVERT = {
    "string": _to_key,
    "flag": _to_flag,
    "keylist": _to_keylist,
    "object": lambda obj: obj,
}


def convert(params, values):
    out = []
    for name, value in zip(params, values):
        try:
            out.append(_CONVERT[_KIND[name]](value))
        except TypeError as exc:
            if type(exc) is not TypeError:
                raise
            new = TypeError("argument '%s': %s" % (name, exc))
            new.__cause__ = exc.__cause__
            raise new from exc.__cause__
    return out


class _InternalFailure(Exception):
    """Carries an internal failure from a provider to the method boundary."""

    def __init__(self, message):
        super().__init__(message)
        self.message = message


class Entry(object):
    __slots__ = ("callable", "singleton", "is_async", "dep_keys", "cached")

    def __init__(self, callable, singleton, is_async, dep_keys):
        self.callable = callable
        self.singleton = singleton
        self.is_async = is_async
        self.dep_keys = list(dep_keys)
        self.cached = _EMPTY


def _text(key):
    return key.decode("utf-8")


class ModelContainer(object):
    """Pure-Python stand-in for one container.

    `panic_type` is the module's internal-failure exception type, if known: a
    provider that raises exactly that type poisons the model the way it
    poisons a real container.
    """

    def __init__(self, panic_type=None):
        self.panic_type = panic_type
        self.providers = {}
        self.layers = []
        self.poisoned = False
        self._busy = False
        # Keys whose resolution is under way, in this call and every call it
        # is nested in: reaching one again is a cycle.
        self._active = set()

    # -- the method boundary -------------------------------------------------

    def call(self, method, args=(), kwargs=None):
        kwargs = kwargs or {}
        if method in NOARGS_METHODS:
            if args or kwargs:
                # The interpreter refuses these itself; its wording is its own.
                raise TypeError("%s() takes no arguments" % method)
            converted = []
        else:
            params = SIGNATURES[method]
            converted = convert(params, bind(method, params, args, kwargs))
        nested = self._busy
        if nested and method not in NESTED_READS:
            raise RuntimeError(REENTRANT_MSG)
        if self.poisoned:
            raise self.panic_type(POISON_MSG)
        self._busy = True
        active = set(self._active)
        try:
            return getattr(self, "_op_" + method)(*converted)
        except _InternalFailure as failure:
            self.poisoned = True
            raise self.panic_type(failure.message) from None
        finally:
            self._busy = nested
            self._active.clear()
            self._active.update(active)

    def __getattr__(self, name):
        if name in METHODS:
            return lambda *args, **kwargs: self.call(name, args, kwargs)
        raise AttributeError(name)

    # -- lookups -------------------------------------------------------------

    def _entries(self, key):
        """Every entry for `key`, from the topmost layer down to the registry."""
        for layer in reversed(self.layers):
            if key in layer:
                yield layer[key]
        if key in self.providers:
            yield self.providers[key]

    def find_provider(self, key):
        return next(self._entries(key), None)

    def find_cached(self, key):
        for entry in self._entries(key):
            if entry.cached is not _EMPTY:
                return entry
        return None

    def find_singleton_provider(self, key):
        for entry in self._entries(key):
            if entry.singleton:
                return entry
        return None

    def layer_depth(self):
        return len(self.layers)

    # -- calling providers ---------------------------------------------------

    def _call_provider(self, fn, values):
        try:
            return fn(*values)
        except BaseException as exc:
            if self.panic_type is not None and type(exc) is self.panic_type:
                try:
                    message = str(exc)
                except BaseException:
                    message = UNWRAPPED_PANIC_MSG
                raise _InternalFailure(message) from None
            raise

    def _store(self, key, value):
        entry = self.find_singleton_provider(key)
        if entry is not None:
            entry.cached = value

    # -- operations ----------------------------------------------------------

    def _op_register_provider(self, key, fn, singleton, is_async, dep_keys):
        self.providers[key] = Entry(fn, singleton, is_async, dep_keys)

    def _resolve_key(self, key, in_progress):
        if key in in_progress:
            raise RuntimeError(cycle_msg(_text(key)))
        in_progress.add(key)
        entry = self.find_provider(key)
        if entry is not None and entry.singleton and entry.cached is not _EMPTY:
            in_progress.discard(key)
            return entry.cached
        if entry is None:
            raise KeyError(missing_msg(_text(key)))
        fn, singleton, is_async = entry.callable, entry.singleton, entry.is_async
        dep_keys = list(entry.dep_keys)
        if is_async:
            raise RuntimeError(async_msg(_text(key)))
        values = [self._resolve_key(dep, in_progress) for dep in dep_keys]
        result = self._call_provider(fn, values)
        if singleton:
            self._store(key, result)
        in_progress.discard(key)
        return result

    def _op_resolve(self, key):
        return self._resolve_key(key, self._active)

    def _op_resolve_many(self, keys):
        return [self._resolve_key(key, self._active) for key in keys]

    def compile_order(self, keys):
        marks, order = {}, []

        def visit(key):
            mark = marks.get(key)
            if mark is _IN_PROGRESS or key in self._active:
                raise RuntimeError(cycle_msg(_text(key)))
            if mark is _DONE:
                return
            marks[key] = _IN_PROGRESS
            entry = self.find_provider(key)
            if entry is None:
                raise KeyError(missing_msg(_text(key)))
            if entry.is_async:
                raise RuntimeError(async_msg(_text(key)))
            for dep in entry.dep_keys:
                visit(dep)
            marks[key] = _DONE
            order.append(key)

        for key in keys:
            visit(key)
        return order

    def _op_resolve_many_plan(self, keys):
        order = self.compile_order(keys)
        batch = {}
        for key in order:
            entry = self.find_provider(key)
            if entry.singleton and entry.cached is not _EMPTY:
                batch[key] = entry.cached
                continue
            self._active.add(key)
            value = self._call_provider(entry.callable, [batch[d] for d in entry.dep_keys])
            self._active.discard(key)
            if entry.singleton:
                entry.cached = value
            batch[key] = value
        return [batch[key] for key in keys]

    def _op_begin_override_layer(self):
        self.layers.append({})

    def _op_set_override(self, key, fn, singleton, is_async, dep_keys):
        if self.layers:
            self.layers[-1][key] = Entry(fn, singleton, is_async, dep_keys)

    def _op_end_override_layer(self):
        if self.layers:
            self.layers.pop()

    def _op_get_provider_info(self, key):
        entry = self.find_provider(key)
        if entry is None:
            raise KeyError(missing_msg(_text(key)))
        return (entry.callable, entry.singleton, entry.is_async, [_text(k) for k in entry.dep_keys])

    def _op_get_cached(self, key):
        entry = self.find_cached(key)
        return None if entry is None else entry.cached

    def _op_set_cached(self, key, value):
        entry = self.find_singleton_provider(key)
        if entry is None:
            raise RuntimeError(set_cached_msg(_text(key)))
        entry.cached = value


def find_panic_type(container_type):
    """Return the module's internal-failure exception type, or None.

    The type is not reachable as an attribute of the module; it is a direct
    subclass of BaseException, made when the module is imported."""
    module = container_type.__module__
    for kind in BaseException.__subclasses__():
        if kind.__name__ == "PanicException" and kind.__module__ == module:
            return kind
    return None
