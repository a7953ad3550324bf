"""Type stubs of _qmrsession, built into qmr-host: the data store client's session counters,
on which qmr.transaction() and qmr.session_generation() are built."""

def generation() -> int:
    """Data store sessions this process has started (0 before the first): it grows by one
    each time the session is replaced after a failure."""

def transaction_generation() -> int:
    """The generation current at the first write (set or remove, whatever its outcome) since
    the last successful commit or abort; 0 when there was none."""
