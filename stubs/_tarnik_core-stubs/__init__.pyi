from typing import Any, Callable, List, Sequence, Tuple, final

__all__ = ["Container"]

@final
class Container:
    """A registry of providers with override layers and singleton values.

    Keys are strings. A provider is a callable, a singleton flag, an async
    flag and the keys of the dependencies whose values the callable takes
    as positional arguments, in order.
    """

    def __new__(cls) -> Container: ...
    def register_provider(
        self,
        key: str,
        callable: Callable[..., object],
        singleton: bool,
        is_async: bool,
        dep_keys: Sequence[str],
    ) -> None:
        """Add or replace the registered provider for ``key``."""
    def resolve(self, key: str) -> Any:
        """Build (or return the held singleton value of) ``key``."""
    def resolve_many(self, keys: Sequence[str]) -> List[Any]:
        """Resolve each key in turn, as ``resolve`` would, under one lock."""
    def resolve_many_plan(self, keys: Sequence[str]) -> List[Any]:
        """Check the whole request first, then build each needed key once."""
    def begin_override_layer(self) -> None:
        """Push an empty override layer."""
    def set_override(
        self,
        key: str,
        callable: Callable[..., object],
        singleton: bool,
        is_async: bool,
        dep_keys: Sequence[str],
    ) -> None:
        """Put a provider into the topmost layer (dropped if none is open)."""
    def get_provider_info(
        self, key: str
    ) -> Tuple[Callable[..., object], bool, bool, List[str]]:
        """Return ``(callable, singleton, is_async, dep_keys)`` of the provider in force."""
    def get_cached(self, key: str) -> Any:
        """Return the value held for ``key``, or None."""
    def set_cached(self, key: str, value: object) -> None:
        """Store ``value`` as the singleton value of ``key``."""
    def end_override_layer(self) -> None:
        """Pop the topmost override layer (no-op when none is open)."""
