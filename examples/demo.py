"""demo.py - a tour of the client library, run inside qmr-host.

    ./qmr demo                      # starts everything it needs, runs this, stops it all
    build/bin/qmr-host -ORBInitRef NameService=corbaloc:omniunix:STACK/naming/names.sock:/NameService \\
        examples/demo.py [--channel NAME] [--quick]     # STACK: the folder ./qmr up prints

It writes keys (one of them with an expiry) and commits them, reads found and missing keys,
reads with the client cache on and off, aborts a change, removes a key, and signals events on
an event channel; a listener connected to that channel (qmr-listen) prints each event.
The library's own log lines (stderr) show what happens underneath; run the host with
--log-level debug to see all of them.

Every step checks its result: the script exits with status 1 and says which step went wrong
if the data store does not behave as shown.
"""

import argparse
import sys
import time

import qmr
import qmr.DataStoreInterface
import qmr.MiscCorbaInterface

KEYS = ["demo:greeting", "demo:city", "demo:one-time-code", "demo:counter"]


def step(number, title):
    sys.stdout.write("\n== %d. %s\n" % (number, title))


def say(text):
    sys.stdout.write("   " + text + "\n")  # one write: other output cannot split the line


def expect(condition, what):
    if not condition:
        print("demo.py: unexpected result: %s" % what, file=sys.stderr)
        sys.exit(1)


def main(argv):
    parser = argparse.ArgumentParser(prog="demo.py", description="A tour of the client library.")
    parser.add_argument("--channel", default="DemoChannel",
                        help="event channel to signal on (default: DemoChannel)")
    parser.add_argument("--quick", action="store_true",
                        help="shorter pauses (the expiry step still waits for its key to expire)")
    args = parser.parse_args(argv)
    pause = 0.1 if args.quick else 0.6  # lets the listener print before the next step

    # The host connected to the data store before this script started and left two ready
    # objects; get_interface() explains what to do when the script runs outside qmr-host.
    store = qmr.DataStoreInterface.get_interface()
    events = qmr.MiscCorbaInterface.get_interface()
    events.signal(args.channel, "demo.started", "demo.py")

    step(1, "Start clean: remove the demo's keys from earlier runs")
    store.remove(KEYS)
    store.commit()
    say("removed %s and committed" % ", ".join(KEYS))

    step(2, "Write keys, one with an expiry, and commit")
    store.set({"demo:greeting": "hello, world", "demo:city": "Zürich"})
    store.set({"demo:one-time-code": "4711"}, expiry=2)
    say("set demo:greeting, demo:city (kept forever) and demo:one-time-code (expires in 2 s)")
    found, _ = qmr.DataStoreInterface.interface.get(["demo:greeting"])
    say("read inside the open transaction: %r" % found)
    store.commit()
    say("committed: the values are now visible to every client of the data store")
    events.signal(args.channel, "demo.committed", "greeting city one-time-code")
    time.sleep(pause)

    step(3, "Read found and missing keys in one request")
    found, missing = store.get(["demo:greeting", "demo:city", "demo:one-time-code",
                                "demo:no-such-key"])
    say("found:   %r" % found)
    say("missing: %r" % sorted(missing))
    expect(found == {"demo:greeting": "hello, world", "demo:city": "Zürich",
                     "demo:one-time-code": "4711"}, "step 3 found %r" % found)
    expect(missing == {"demo:no-such-key"}, "step 3 missing %r" % missing)
    say("the raw module gives the same as a status tuple:")
    say("_datastore.get(...) = %r" % (store.raw.get(["demo:city", "demo:no-such-key"], None),))

    step(4, "An expiry ends a key's life")
    time.sleep(2.2)
    deadline = time.monotonic() + 10
    while store.value("demo:one-time-code") is not None and time.monotonic() < deadline:
        time.sleep(0.5)
    expect(store.value("demo:one-time-code") is None, "step 4: demo:one-time-code did not expire")
    say("demo:one-time-code is gone: value() now returns %r" % store.value("demo:one-time-code"))

    step(5, "Reads with the client cache on and off")
    say("cache=True records the values read in the client cache (log: 'cached.'),")
    say("cache=False does not ('NOT cached.'), cache=None follows the default.")
    store.get("demo:greeting", cache=True)
    store.get("demo:greeting", cache=False)
    store.enable_caching(True)
    say("enable_caching(True): reads with cache=None now record their values too")
    store.get("demo:city")
    store.enable_caching(False)
    store.clear_cache()
    say("enable_caching(False) and clear_cache(): back to the start")
    say("reads always ask the data store; the cache is a record of what was read")

    step(6, "Abort a change")
    store.set({"demo:greeting": "changed, then thought better of it"})
    store.abort()
    value = store.value("demo:greeting")
    say("after abort() demo:greeting is still %r" % value)
    expect(value == "hello, world", "step 6 greeting %r" % value)
    try:
        with store.transaction():
            store.set({"demo:greeting": "also dropped"})
            raise KeyError("a failure inside the block")
    except KeyError:
        pass
    value = store.value("demo:greeting")
    say("a transaction() block that raises is aborted too: %r" % value)
    expect(value == "hello, world", "step 6 transaction greeting %r" % value)
    events.signal(args.channel, "demo.aborted", "demo:greeting kept")
    time.sleep(pause)

    step(7, "Remove a key")
    with store.transaction():
        store.remove("demo:city")
        store.set({"demo:counter": "1"})
    found, missing = store.get(["demo:city", "demo:counter"])
    say("after removing demo:city and committing: found %r, missing %r" % (found, sorted(missing)))
    expect(found == {"demo:counter": "1"} and missing == {"demo:city"}, "step 7 %r %r"
           % (found, missing))
    events.signal(args.channel, "demo.removed", "demo:city")
    time.sleep(pause)

    step(8, "Signal events")
    for n in range(1, 4):
        events.signal(args.channel, "demo.tick", "tick %d of 3" % n)
        say("signalled demo.tick 'tick %d of 3' on %s" % (n, args.channel))
    time.sleep(pause)
    say("a listener on %s prints them as 'CHANNEL TYPE VALUE'" % args.channel)
    events.signal("NoSuchChannel", "demo.lost", "nobody hears this")
    say("a channel that does not exist is reported in the log, not raised")

    step(9, "Errors a script can catch")
    try:
        store.get([42])
    except TypeError as e:
        say("TypeError: %s" % e)
    say("a data store that fails raises qmr.DataStoreError (operation, message);")
    say("the raw module returns status 0 instead")
    expect(issubclass(qmr.DataStoreError, Exception), "qmr.DataStoreError")

    events.signal(args.channel, "demo.finished", "ok")
    time.sleep(pause)
    sys.stdout.write("\nDemo finished. Write your own script the same way and run it with "
                     "qmr-host;\nsee README.md, 'Running your own script'.\n")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
