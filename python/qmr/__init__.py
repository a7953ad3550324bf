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

Importing this package does not need the host; using the interfaces does.
"""

__all__ = ["DataStoreError", "DataStoreInterface", "MiscCorbaInterface"]


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
