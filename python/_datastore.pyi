"""Type stubs of _datastore, the data store module built into qmr-host.

Every data function talks to the one data store session of the process. A failure of the
data store is not raised: it comes back as status 0 (and is logged). Exceptions are raised
only for malformed arguments (TypeError, ValueError, OverflowError) and, when the host runs
without a data store client, RuntimeError. Scripts normally use
qmr.DataStoreInterface.interface, which wraps these functions.
"""

from typing import Literal, Optional, Tuple, Union

def get(
    keys: list[str], cache: Optional[int], /
) -> Union[Tuple[Literal[1], dict[str, str], dict[str, None]], Tuple[Literal[0], None]]:
    """Reads the committed values of `keys` (a non-empty list of str; duplicates are read once)
    in one request, seen through this session's own pending changes.

    `cache`: None uses the caching default set by enableCaching; 0 does not record the values
    in the client cache, any other int does.

    Returns (1, found, missing): found maps each key that has a value to it, missing maps each
    other key to None. Returns (0, None) when the data store call failed.
    """

def set(entries: list[Tuple[str, str, int]], /) -> Literal[0, 1]:
    """Adds writes to the open transaction: each entry is (key, value, expiry), expiry in
    seconds after the commit (0 or less: never expires). Nothing is visible to other sessions
    before commit(). Returns 1, or 0 when the data store refused or could not be reached.
    """

def remove(keys: list[str], /) -> Literal[0, 1]:
    """Adds removals of `keys` (a non-empty list of str) to the open transaction. Returns 1 or 0."""

def commit() -> Literal[0, 1]:
    """Applies the open transaction's writes and removals at once, durably. Returns 1 or 0;
    after 0 the transaction is gone (a fresh session was started)."""

def abort() -> Literal[0, 1]:
    """Discards the open transaction's writes and removals. Returns 1 or 0."""

def enableCaching(flag: int, /) -> None:
    """Sets the caching default used by get(keys, None): nonzero on, 0 off."""

def clearCache() -> None:
    """Empties the client cache."""
