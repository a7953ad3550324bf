"""qmr.embedded.DataStoreInterfaceImpl - the script API of the data store.

:class:`InterfaceImpl` wraps the host's built-in ``_datastore`` module: it takes ordinary
Python collections, returns plain results, and raises :class:`qmr.DataStoreError` where the
raw module returns a failure status. Keys and values are ``str``; any text read can be
written back unchanged, including bytes that were not UTF-8 (they come back as lone
surrogates, as ``os.fsdecode`` does).

Writes belong to the session's current transaction: they become visible to other clients
with :meth:`InterfaceImpl.commit` and are dropped by :meth:`InterfaceImpl.abort`.
"""

import contextlib

import qmr
from qmr import DataStoreError

__all__ = ["InterfaceImpl"]


def _key_list(keys, what):
    """A list of keys from one str or an iterable of str (order kept)."""
    if isinstance(keys, str):
        return [keys]
    try:
        result = list(keys)
    except TypeError:
        raise TypeError("%s must be a str or an iterable of str, not %s"
                        % (what, type(keys).__name__)) from None
    if not result:
        raise ValueError("%s must name at least one key" % what)
    return result


class InterfaceImpl:
    """Reads, writes and transactions on the data store of the host.

    Every method talks to the data store at once, on the calling thread. The object keeps no
    state of its own; several instances share the host's one session.
    """

    def __init__(self):
        import _datastore  # built into qmr-host; importing it elsewhere fails here
        self._raw = _datastore

    @property
    def raw(self):
        """The built-in ``_datastore`` module, for callers who want its status results."""
        return self._raw

    def get(self, keys, cache=None):
        """Reads keys; returns ``(found, missing)``.

        ``keys`` is one str or an iterable of str; repeats are read once. ``found`` is a dict
        from each key the store has to its value; ``missing`` is the set of keys it lacks.
        ``cache``: None follows the default set with :meth:`enable_caching`, True records the
        values read in the client cache, False does not.

        Raises DataStoreError when the data store cannot be read.
        """
        if cache is not None:
            cache = bool(cache)
        result = self._raw.get(_key_list(keys, "keys"), cache)
        if result[0] != 1:
            raise DataStoreError("get", "reading the data store failed (see the log)")
        return result[1], set(result[2])

    def value(self, key, default=None, cache=None):
        """The value of one key, or ``default`` when the store has none.

        Raises DataStoreError when the data store cannot be read.
        """
        if not isinstance(key, str):
            raise TypeError("key must be a str, not %s" % type(key).__name__)
        found, _ = self.get([key], cache)
        return found.get(key, default)

    def set(self, entries, expiry=0):
        """Writes entries in the current transaction.

        ``entries`` is a mapping from key to value, or an iterable of ``(key, value)`` or
        ``(key, value, expiry)`` tuples (written in that order; a later write of a key wins).
        ``expiry`` applies to entries that do not give their own: the entry's life in seconds,
        0 (or less) for no expiry.

        Raises DataStoreError when the write fails; TypeError for a malformed entry, in which
        case nothing is written.
        """
        if not isinstance(expiry, int):
            raise TypeError("expiry must be an int, not %s" % type(expiry).__name__)
        items = entries.items() if hasattr(entries, "items") else entries
        rows = []
        for item in items:
            if not isinstance(item, tuple) or len(item) not in (2, 3):
                raise TypeError("each entry must be a (key, value) or (key, value, expiry) "
                                "tuple, not %r" % (item,))
            rows.append(item if len(item) == 3 else (item[0], item[1], expiry))
        if not rows:
            raise ValueError("set needs at least one entry")
        if self._raw.set(rows) != 1:
            raise DataStoreError("set", "writing to the data store failed (see the log)")

    def remove(self, keys):
        """Removes keys (one str or an iterable of str) in the current transaction.

        Raises DataStoreError when the removal fails.
        """
        if self._raw.remove(_key_list(keys, "keys")) != 1:
            raise DataStoreError("remove", "removing keys from the data store failed "
                                 "(see the log)")

    def commit(self):
        """Makes the current transaction's writes and removals visible to all clients.

        Raises DataStoreError when the commit fails; the changes are then lost.
        """
        if self._raw.commit() != 1:
            raise DataStoreError("commit", "committing the data store changes failed "
                                 "(see the log)")

    def abort(self):
        """Drops the current transaction's writes and removals.

        Raises DataStoreError when the data store cannot be told.
        """
        if self._raw.abort() != 1:
            raise DataStoreError("abort", "aborting the data store changes failed "
                                 "(see the log)")

    @contextlib.contextmanager
    def transaction(self):
        """A block whose changes are committed when it ends normally, aborted when it raises
        (the block's exception then propagates)::

            with store.transaction():
                store.set({"a": "1"})
                store.remove("b")

        When the session was replaced between the transaction's first write and the end of
        the block, the writes made before the replacement are lost: the rest is aborted, not
        committed, and :class:`qmr.SessionReplaced` is raised.
        """
        try:
            yield self
        except BaseException:
            try:
                self.abort()
            except DataStoreError:
                pass  # the block's own exception says more; the failed abort is in the log
            raise
        try:
            qmr.check_session()
        except qmr.SessionReplaced:
            try:
                self.abort()
            except DataStoreError:
                pass  # the session is gone again; the failed abort is in the log
            raise
        self.commit()

    def enable_caching(self, enable=True):
        """Sets whether reads made with ``cache=None`` record their values in the client
        cache (off when the host starts)."""
        self._raw.enableCaching(1 if enable else 0)

    def clear_cache(self):
        """Empties the client cache."""
        self._raw.clearCache()
