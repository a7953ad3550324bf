"""qmr.embedded - the implementations behind the qmr interfaces.

They wrap the built-in modules ``_datastore`` and ``_MiscCorba`` that only exist inside
``qmr-host``; scripts normally reach them through ``qmr.DataStoreInterface.interface`` and
``qmr.MiscCorbaInterface.interface``.
"""
