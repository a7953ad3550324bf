"""One client of the fleet check, run inside qmr-host (qmr-host --datastore NAME client.py ...).

It writes its own keys ("fleet/ID/N") with values that only grow, commits after each write, and
reads its own and the other clients' keys, until the stop file appears; then it reads every
key once more (the final reads) and exits. Each operation goes to one line of the history
file as JSON: {"c": ID, "op": "w"|"r"|"f", "k": key, "v": value or null, "s": start,
"e": end, "ok": true|false} with times from CLOCK_MONOTONIC, which every process of the
machine shares. A write is acknowledged when its commit returned 1 (ok true)."""

import argparse
import json
import os
import random
import time

from qmr import DataStoreError
from qmr.DataStoreInterface import interface as store


def key_name(client, n):
    return "fleet/%s/%d" % (client, n)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--id", required=True, help="this client's name (its keys' prefix)")
    parser.add_argument("--clients", required=True,
                        help="comma-separated names of every client (whose keys are read)")
    parser.add_argument("--keys", type=int, default=8, help="keys per client (default 8)")
    parser.add_argument("--history", required=True, help="file the operations are appended to")
    parser.add_argument("--stop", required=True, help="stop when this file exists")
    parser.add_argument("--pause", type=float, default=0.01,
                        help="seconds between operations (default 0.01)")
    args = parser.parse_args()
    clients = args.clients.split(",")
    store.enable_caching(False)
    value = 0
    with open(args.history, "a", buffering=1) as out:
        def record(op, key, v, start, ok):
            out.write(json.dumps({"c": args.id, "op": op, "k": key, "v": v, "s": start,
                                  "e": time.monotonic(), "ok": ok}) + "\n")

        def read(op, key):
            start = time.monotonic()
            try:
                found, _ = store.get([key], cache=False)
            except DataStoreError:
                record(op, key, None, start, False)
                return False
            v = found.get(key)
            record(op, key, None if v is None else int(v), start, True)
            return True

        while not os.path.exists(args.stop):
            value += 1
            key = key_name(args.id, value % args.keys)
            start = time.monotonic()
            try:
                store.set({key: str(value)})
                store.commit()
                ok = True
            except DataStoreError:
                ok = False
            record("w", key, value, start, ok)
            if not ok:
                # A failed commit may leave the write pending in the session, where this
                # client's own reads would see it: drop it, so that every read is of what
                # the store holds.
                try:
                    store.abort()
                except DataStoreError:
                    pass
            read("r", key_name(random.choice(clients), random.randrange(args.keys)))
            time.sleep(args.pause)
        # The final reads: every key of every client, retried until the store answers.
        for client in clients:
            for n in range(args.keys):
                deadline = time.monotonic() + 60
                while not read("f", key_name(client, n)) and time.monotonic() < deadline:
                    time.sleep(0.5)


main()
