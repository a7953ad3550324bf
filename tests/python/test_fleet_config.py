"""The fleet's configuration as tools/qmrstack/fleet.py writes it: secrets only in files of mode
0600, never on a command line, and every listener on loopback."""

import json
import os
import re
import shutil
import stat
import tempfile

from qmrstack.fleet import MEMBERS, Fleet


def test_secrets_stay_in_private_files_and_listeners_on_loopback():
    # Under /tmp: as root the members run as nobody, who must reach their folders.
    folder = tempfile.mkdtemp(prefix="qmr-fleet-config-", dir="/tmp")
    try:
        _check_configuration(folder)
    finally:
        shutil.rmtree(folder)


def _check_configuration(folder):
    fleet = Fleet(folder)
    os.makedirs(fleet.dir, mode=0o700)
    fleet._write_configuration()
    secrets = json.load(open(os.path.join(fleet.dir, "credentials.json"))).values()
    assert len(set(secrets)) == 4 and all(len(s) >= 24 for s in secrets)

    holders = []
    for root, _, files in os.walk(fleet.dir):
        for name in files:
            path = os.path.join(root, name)
            text = open(path).read()
            if any(s in text for s in secrets):
                holders.append(os.path.relpath(path, fleet.dir))
                assert stat.S_IMODE(os.stat(path).st_mode) == 0o600, path
            # Every address a server listens on or is reached at is 127.0.0.1.
            for address in re.findall(r"(?:https?://|listen: |connect_address: )([^:/\s]+):", text):
                assert address == "127.0.0.1", (path, address)
    assert sorted(holders) == sorted(["credentials.json", "frontend.pgpass"] +
                                     ["%s/patroni.yml" % m for m in MEMBERS])

    for name in ("etcd",) + MEMBERS:
        argv = " ".join(fleet.argv(name))
        assert not any(s in argv for s in secrets), name
    assert not any(s in fleet.db_uri for s in secrets)
    assert "target_session_attrs=read-write" in fleet.db_uri
    assert fleet.db_uri.count("127.0.0.1:") == len(MEMBERS)
