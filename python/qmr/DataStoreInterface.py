"""qmr.DataStoreInterface - where scripts find the data store interface.

``interface`` is None until the host has connected to the data store; from then on it is a
:class:`qmr.embedded.DataStoreInterfaceImpl.InterfaceImpl`. Use :func:`get_interface` to get it
with a clear error when the script runs outside ``qmr-host``.
"""

interface = None


def get_interface():
    """Returns the data store interface that the host set up.

    Raises RuntimeError when there is none (the script is not running in ``qmr-host``, or the
    host was started with ``--no-datastore``).
    """
    if interface is None:
        raise RuntimeError(
            "qmr.DataStoreInterface.interface is not set: run the script with qmr-host "
            "connected to a data store (not --no-datastore)")
    return interface
