"""Type stubs of _MiscCorba, the event module built into qmr-host.

Scripts normally use qmr.MiscCorbaInterface.interface, which wraps this function.
"""

def signalEvent(channel: str, type: str, value: str, /) -> None:
    """Pushes the event {type, value} to the event channel registered under `channel` in the
    Naming Service. Returns None whether or not the push got through: a channel that cannot be
    found is logged at error level, a push that fails with a CORBA system exception is dropped
    silently, and the channel's consumer is looked up again on the next call.
    """
