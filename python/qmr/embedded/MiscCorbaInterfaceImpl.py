"""qmr.embedded.MiscCorbaInterfaceImpl - the script API of event signalling.

:class:`InterfaceImpl` wraps the host's built-in ``_MiscCorba`` module. An event has a type
and a value, both ``str``, and is pushed to the event channel registered under its name in
the naming service; every consumer connected to that channel receives it.
"""

__all__ = ["InterfaceImpl"]


class InterfaceImpl:
    """Signals events on named event channels.

    Signalling is fire and forget; nothing is reported to the script. A channel whose
    consumer cannot be had (no such channel, or no naming service) is logged at error level.
    A push that fails with a CORBA system exception (the event service is down, say) is
    dropped without a log line, and the next signal to that channel looks the channel up
    again. The first signal to a channel connects to it; later ones reuse that connection.
    """

    def __init__(self):
        import _MiscCorba  # built into qmr-host; importing it elsewhere fails here
        self._raw = _MiscCorba

    @property
    def raw(self):
        """The built-in ``_MiscCorba`` module."""
        return self._raw

    def signal(self, channel, type, value=""):
        """Pushes the event (``type``, ``value``) on the channel named ``channel``.

        All three are str. Returns None whether or not the event could be delivered.
        """
        self._raw.signalEvent(channel, type, value)
