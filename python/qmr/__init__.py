"""qmr - the script layer of the appliance's client library.

Scripts run inside ``qmr-host``, which loads the C++ client library, connects to the data
store and to the event service, and then sets two ready-to-use objects:

``qmr.DataStoreInterface.interface``
    reads, writes and transactions on the data store
    (a :class:`qmr.embedded.DataStoreInterfaceImpl.InterfaceImpl`).
``qmr.MiscCorbaInterface.interface``
    events signalled on named event channels
    (a :class:`qmr.embedded.MiscCorbaInterfaceImpl.InterfaceImpl`).

Example::

    from qmr.DataStoreInterface import interface as store
    store.set({"greeting": "hello"}, expiry=60)
    store.commit()
    found, missing = store.get(["greeting", "nothing"])

Transactions that must not be lost silently go through :func:`transaction`::

    with qmr.transaction() as store:
        store.set({"a": "1"})
        store.remove("b")

Importing this package does not need the host; using the interfaces does.
"""

__all__ = ["DataStoreError", "DataStoreInterface", "MiscCorbaInterface", "SessionReplaced",
           "session_generation", "transaction"]


class DataStoreError(Exception):
    """A data store operation did not succeed.

    The data store could not be reached, or it refused the operation (the reason is in the
    process log, at error level). ``operation`` names what failed: "get", "set", "remove",
    "commit" or "abort". Reads and writes after a failure use a fresh session, so a script may
    retry; changes not yet committed when the failure happened may be lost.
    """

    def __init__(self, operation, message):
        super().__init__(message)
        self.operation = operation


class SessionReplaced(DataStoreError):
    """The data store session was replaced while a transaction had writes in it.

    After a failure the library starts a fresh session, and the writes made in the old one
    are gone; a later commit still succeeds, with only what was written after the
    replacement. :func:`transaction` raises this instead of committing such a remainder (it
    aborts it). ``first_write_generation`` and ``generation`` are the session generations at
    the transaction's first write and at its end. ``operation`` is "commit".
    """

    def __init__(self, first_write_generation, generation):
        super().__init__(
            "commit", "the data store session was replaced (generation %d -> %d) after the "
            "transaction's first write: its earlier writes are lost, nothing was committed"
            % (first_write_generation, generation))
        self.first_write_generation = first_write_generation
        self.generation = generation


def _session_module():
    try:
        import _qmrsession  # built into qmr-host
    except ImportError:
        raise RuntimeError("the _qmrsession module is missing: run the script with qmr-host "
                           "(or register SessionIntrinsics in your host)") from None
    return _qmrsession


def session_generation():
    """How many data store sessions this process has started: 1 after the host connected,
    one more each time the session was replaced after a failure. Two reads that return the
    same number were made in the same session."""
    return _session_module().generation()


def check_session():
    """Raises :class:`SessionReplaced` when the open transaction's first write went to a
    session that has since been replaced; does nothing otherwise (nothing written, or every
    write in the current session)."""
    module = _session_module()
    first = module.transaction_generation()
    current = module.generation()
    if first and first != current:
        raise SessionReplaced(first, current)


def transaction():
    """A block whose writes are committed together, or not at all::

        with qmr.transaction() as store:
            store.set({"a": "1"})

    Like ``store.transaction()`` of the data store interface (commit when the block ends
    normally, abort when it raises), and, unlike a plain commit, it never commits part of a
    transaction: when the session was replaced between the first write and the commit
    (after a failure, which the block may have caught), the remainder is aborted and
    :class:`SessionReplaced` is raised.
    """
    from qmr.DataStoreInterface import get_interface
    return get_interface().transaction()
