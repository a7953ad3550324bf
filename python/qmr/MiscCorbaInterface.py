"""qmr.MiscCorbaInterface - where scripts find the event signalling interface.

``interface`` is None until the host has loaded the client library; from then on it is a
:class:`qmr.embedded.MiscCorbaInterfaceImpl.InterfaceImpl`. Use :func:`get_interface` to get it
with a clear error when the script runs outside ``qmr-host``.
"""

interface = None


def get_interface():
    """Returns the event signalling interface that the host set up.

    Raises RuntimeError when there is none (the script is not running in ``qmr-host``).
    """
    if interface is None:
        raise RuntimeError(
            "qmr.MiscCorbaInterface.interface is not set: run the script with qmr-host")
    return interface
