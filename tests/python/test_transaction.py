"""qmr.transaction() and the session generation against the real qmr-datastored: a write that
fails with a system exception replaces the session, after which a plain commit succeeds without
the earlier writes; the transaction helper refuses to commit such a remainder."""

import pytest

import _datastore
import _qmrsession
import qmr
from qmr.DataStoreInterface import interface as store

# Larger than any GIOP message the client or the server accepts: the write fails with a system
# exception (MARSHAL or COMM_FAILURE), and the manager replaces its session.
OVERSIZED = "x" * (9 * 1024 * 1024)


def test_plain_commit_loses_writes_made_before_a_session_replacement(key, log):
    generation = qmr.session_generation()
    assert _datastore.set([(key("a"), "1", 0)]) == 1
    assert _qmrsession.transaction_generation() == generation
    assert _datastore.set([(key("big"), OVERSIZED, 0)]) == 0
    assert "INFO DataStore connection established" in log()
    assert qmr.session_generation() == generation + 1
    # What the contract specifies: the commit succeeds, and a is gone.
    assert _datastore.commit() == 1
    assert _datastore.get([key("a")], 0) == (1, {}, {key("a"): None})
    assert _qmrsession.transaction_generation() == 0


def test_transaction_raises_when_the_session_was_replaced_after_its_first_write(key):
    generation = qmr.session_generation()
    with pytest.raises(qmr.SessionReplaced) as info:
        with qmr.transaction() as tx:
            assert tx is store
            store.set({key("a"): "1"})
            with pytest.raises(qmr.DataStoreError):
                store.set({key("big"): OVERSIZED})
            store.set({key("b"): "2"})  # goes to the new session
    assert (info.value.first_write_generation, info.value.generation) == (
        generation, generation + 1)
    assert info.value.operation == "commit" and isinstance(info.value, qmr.DataStoreError)
    assert "generation %d -> %d" % (generation, generation + 1) in str(info.value)
    # Nothing of the transaction was committed, b (written after the replacement) included,
    # and the next transaction starts clean.
    assert store.get([key("a"), key("b")]) == ({}, {key("a"), key("b")})
    assert _qmrsession.transaction_generation() == 0
    with qmr.transaction():
        store.set({key("c"): "3"})
    assert store.get(key("c")) == ({key("c"): "3"}, set())


def test_transaction_commits_when_the_replacement_came_before_its_first_write(key):
    # A failed read replaces the session before anything is written: nothing is lost.
    generation = qmr.session_generation()
    with qmr.transaction():
        with pytest.raises(qmr.DataStoreError):
            store.get(OVERSIZED)
        assert _qmrsession.transaction_generation() == 0
        store.set({key("a"): "1"})
    assert qmr.session_generation() == generation + 1
    assert store.get(key("a")) == ({key("a"): "1"}, set())


def test_session_generation_follows_a_restarted_server(stack, key, eventually):
    generation = qmr.session_generation()
    with qmr.transaction():
        store.set({key("a"): "1"})
    assert qmr.session_generation() == generation
    stack.kill9("datastore")
    stack.restart("datastore")
    assert eventually(lambda: _datastore.get(["probe"], 0)[0] == 1, timeout=15)
    assert qmr.session_generation() > generation
