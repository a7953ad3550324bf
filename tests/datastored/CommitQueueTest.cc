// CommitQueueTest.cc - group commit on each engine (an SQLite file in a temporary folder, a
// schema of the test binary's PostgreSQL), without the ORB: commits queued behind a
// transaction share the next one; a member that fails, or a transaction that fails, is seen
// neither by other readers nor after a restart, and takes no other member down; a get sees a
// whole commit group or none of it; the in-memory limit of SQLite refuses what would exceed it;
// PostgreSQL's synchronous_commit off is turned on for the server's connections.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "FaultyEngine.h"
#include "Harness.h"
#include "OpenEngine.h"
#include "qmr/util/Log.h"
#include "engine/sqlite/Index.h"
#include "store/Store.h"

namespace qmr_test {
namespace {

using qmr_datastored::ChangeSet;
using qmr_datastored::Index;
using qmr_datastored::Store;
using qmr_datastored::StoreError;

constexpr size_t kNoLimit = 0;

ChangeSet sets(const std::vector<std::pair<std::string, std::string>>& pairs) {
  ChangeSet c;
  for (const auto& p : pairs) c[p.first].data = p.second;
  return c;
}

// The committed value of `key` as a get sees it, or "-" when there is none.
std::string committed(const Store& store, const std::string& key) {
  std::string value = "-";
  store.lookup(
      1, [&](size_t) { return std::string_view(key); }, qmr_datastored::nowMs(),
      [&](size_t, const std::string* v) {
        if (v != nullptr) value = *v;
        return true;
      });
  return value;
}

// A store on the engine the test is given, writing through a FaultyEngine.
struct Opened {
  std::shared_ptr<FaultyEngine> faulty;
  std::shared_ptr<qmr_datastored::Reads> reads;
  std::unique_ptr<Store> store;
};

class CommitQueueTest : public ::testing::TestWithParam<std::string> {
 protected:
  CommitQueueTest() : dir_("qmr-commitqueue") {
    if (GetParam() == "postgres") {
      PostgresServer& pg = Stack::instance().postgres();
      db_ = pg.uri(pg.newSchema());
    } else {
      db_ = dir_.file("store.db");
    }
  }

  Opened open(size_t maxMemoryBytes = kNoLimit) {
    qmr_datastored::OpenedEngine e = qmr_datastored::openEngine(db_, 10000, maxMemoryBytes);
    Opened o;
    o.faulty = std::make_shared<FaultyEngine>(e.engine);
    o.reads = e.reads;
    o.store = std::make_unique<Store>(o.faulty, e.reads);
    return o;
  }

  // Runs commit(changes) on a thread of its own; `outcome` receives "ok" or the error.
  std::thread commitLater(Store& store, ChangeSet changes, std::string* outcome) {
    return std::thread([&store, changes, outcome] {
      try {
        store.commit(changes);
        *outcome = "ok";
      } catch (const StoreError& e) {
        *outcome = e.what();
      }
    });
  }

  // Starts `first` as the leader of a group held in begin, queues `rest` behind it, waits
  // until all of them wait, then lets the leader go and waits for every commit to return.
  void commitAsAGroup(Opened& o, const ChangeSet& first, const std::vector<ChangeSet>& rest,
                      std::vector<std::string>* outcomes) {
    Store& store = *o.store;
    o.faulty->holdBegin();
    outcomes->assign(rest.size() + 1, "");
    std::vector<std::thread> threads;
    threads.push_back(commitLater(store, first, &(*outcomes)[0]));
    bool writing = eventually([&] { return store.commitCounts().writing; }, 5000);
    for (size_t i = 0; i < rest.size(); ++i) {
      threads.push_back(commitLater(store, rest[i], &(*outcomes)[i + 1]));
    }
    bool queued = eventually([&] { return store.commitCounts().waiting == rest.size(); }, 5000);
    o.faulty->release();
    for (std::thread& t : threads) t.join();
    ASSERT_TRUE(writing) << "the first commit never began";
    ASSERT_TRUE(queued) << "the commits never queued behind the first";
  }

  TempDir dir_;
  std::string db_;
};

TEST_P(CommitQueueTest, CommitsArrivingDuringATransactionShareTheNextOne) {
  {
    Opened o = open();
    std::vector<ChangeSet> rest;
    for (int i = 1; i < 8; ++i)
      rest.push_back(sets({{"k" + std::to_string(i), "v"}, {"shared", "s"}}));
    std::vector<std::string> outcomes;
    commitAsAGroup(o, sets({{"k0", "v"}}), rest, &outcomes);
    for (const std::string& outcome : outcomes) EXPECT_EQ(outcome, "ok");
    qmr_datastored::CommitStats counts = o.store->commitCounts();
    EXPECT_EQ(counts.commits, 8u);
    EXPECT_EQ(counts.transactions, 2u) << "the seven queued commits went one by one";
    EXPECT_EQ(counts.largestGroup, 7u);
    for (int i = 0; i < 8; ++i) EXPECT_EQ(committed(*o.store, "k" + std::to_string(i)), "v");
  }
  Opened again = open();
  EXPECT_EQ(again.store->count(), 9) << "every commit is on disk";
}

TEST_P(CommitQueueTest, AFailedMemberIsSeenNeitherByOthersNorAfterARestart) {
  {
    Opened o = open();
    o.store->commit(sets({{"b1", "before"}}));
    o.faulty->failWritesOf("b2");
    std::vector<ChangeSet> rest = {
        sets({{"a", "1"}}),
        // Writes b1 and b2, then fails: b1 must be undone too.
        sets({{"b1", "changed"}, {"b2", "x"}}),
        sets({{"c", "3"}}),
    };
    std::vector<std::string> outcomes;
    commitAsAGroup(o, sets({{"lead", "0"}}), rest, &outcomes);
    EXPECT_EQ(outcomes[0], "ok");
    EXPECT_EQ(outcomes[1], "ok");
    EXPECT_NE(outcomes[2].find("write failed"), std::string::npos) << outcomes[2];
    EXPECT_EQ(outcomes[3], "ok");
    EXPECT_EQ(o.store->commitCounts().transactions, 3u) << "the three queued commits shared one";
    EXPECT_EQ(committed(*o.store, "a"), "1");
    EXPECT_EQ(committed(*o.store, "c"), "3");
    EXPECT_EQ(committed(*o.store, "b1"), "before");
    EXPECT_EQ(committed(*o.store, "b2"), "-");
  }
  Opened again = open();
  EXPECT_EQ(committed(*again.store, "lead"), "0");
  EXPECT_EQ(committed(*again.store, "a"), "1");
  EXPECT_EQ(committed(*again.store, "c"), "3");
  EXPECT_EQ(committed(*again.store, "b1"), "before") << "the failed member left a trace";
  EXPECT_EQ(committed(*again.store, "b2"), "-");
  EXPECT_EQ(again.store->count(), 4);
}

TEST_P(CommitQueueTest, AFailedTransactionIsSeenNeitherByOthersNorAfterARestart) {
  {
    Opened o = open();
    o.store->commit(sets({{"x", "before"}}));
    o.faulty->failCommitAfter(1);  // the leader's own transaction passes, the group's fails
    std::vector<std::string> outcomes;
    commitAsAGroup(o, sets({{"lead", "0"}}),
                   {sets({{"x", "changed"}}), sets({{"y", "1"}}), sets({{"z", "2"}})}, &outcomes);
    EXPECT_EQ(outcomes[0], "ok");
    for (size_t i = 1; i < outcomes.size(); ++i) {
      EXPECT_NE(outcomes[i].find("commit failed"), std::string::npos) << outcomes[i];
    }
    EXPECT_EQ(committed(*o.store, "x"), "before");
    EXPECT_EQ(committed(*o.store, "y"), "-");
    EXPECT_EQ(committed(*o.store, "z"), "-");
    // The engine is usable again at once.
    o.store->commit(sets({{"w", "after"}}));
    EXPECT_EQ(committed(*o.store, "w"), "after");
  }
  Opened again = open();
  EXPECT_EQ(committed(*again.store, "x"), "before");
  EXPECT_EQ(committed(*again.store, "y"), "-");
  EXPECT_EQ(committed(*again.store, "w"), "after");
  EXPECT_EQ(committed(*again.store, "lead"), "0");
  EXPECT_EQ(again.store->count(), 3);
}

TEST_P(CommitQueueTest, AGetSeesAWholeCommitOrNoneOfIt) {
  Opened o = open();
  Store& store = *o.store;
  const int kKeys = 50;
  std::vector<std::string> keys;
  for (int i = 0; i < kKeys; ++i) keys.push_back("x" + std::to_string(i));
  auto all = [&](const std::string& value) {
    ChangeSet c;
    for (const std::string& k : keys) c[k].data = value;
    return c;
  };
  store.commit(all("A"));
  std::atomic<bool> stop{false};
  std::atomic<long> torn{0}, reads{0};
  std::vector<std::thread> readers;
  for (int r = 0; r < 3; ++r) {
    readers.emplace_back([&] {
      while (!stop) {
        std::string first;
        bool whole = true;
        store.lookup(
            keys.size(), [&](size_t i) { return std::string_view(keys[i]); },
            qmr_datastored::nowMs(), [&](size_t i, const std::string* v) {
              if (i == 0 && v != nullptr) first = *v;
              whole = v != nullptr && *v == first;
              return whole;
            });
        torn += !whole;
        ++reads;
      }
    });
  }
  for (int n = 0; n < 60; ++n) store.commit(all(n % 2 ? "A" : "B"));
  stop = true;
  for (std::thread& t : readers) t.join();
  EXPECT_GT(reads.load(), 0);
  EXPECT_EQ(torn.load(), 0) << "of " << reads.load() << " reads";
}

INSTANTIATE_TEST_SUITE_P(Engines, CommitQueueTest, ::testing::Values("sqlite", "postgres"),
                         [](const auto& info) { return info.param; });

TEST(SqliteMemoryTest, TheMemoryLimitRefusesACommitAndAFileThatWouldExceedIt) {
  TempDir dir("qmr-commitqueue");
  std::string db = dir.file("store.db");
  auto open = [&](size_t maxBytes, std::shared_ptr<Index>* index) {
    qmr_datastored::OpenedEngine e = qmr_datastored::openEngine(db, 10000, maxBytes);
    *index = std::static_pointer_cast<Index>(e.reads);
    return std::make_unique<Store>(e.engine, e.reads);
  };
  const size_t perEntry = Index::entryBytes(4, 100);
  std::shared_ptr<Index> index;
  {
    std::unique_ptr<Store> store = open(perEntry * 10, &index);
    ChangeSet ten;
    for (int i = 0; i < 10; ++i) ten["k" + std::to_string(100 + i)].data = std::string(100, 'v');
    store->commit(ten);
    EXPECT_EQ(index->bytes(), perEntry * 10);
    try {
      store->commit(sets({{"k999", std::string(100, 'v')}}));
      ADD_FAILURE() << "an eleventh entry fitted";
    } catch (const StoreError& e) {
      EXPECT_EQ(e.kind(), StoreError::kFull);
      EXPECT_NE(std::string(e.what()).find("--max-memory-bytes"), std::string::npos) << e.what();
    }
    EXPECT_EQ(committed(*store, "k999"), "-");
    // Replacing a value with a shorter one, and removing, free memory: always allowed.
    store->commit(sets({{"k100", "short"}}));
    ChangeSet remove;
    remove["k101"].remove = true;
    store->commit(remove);
    EXPECT_EQ(index->size(), 9u);
    store->commit(sets({{"k999", std::string(100, 'v')}}));
  }
  try {
    open(perEntry * 5, &index);
    ADD_FAILURE() << "a file holding more than the limit was opened";
  } catch (const StoreError& e) {
    EXPECT_EQ(e.kind(), StoreError::kFull);
    EXPECT_NE(std::string(e.what()).find(db), std::string::npos) << e.what();
  }
  std::unique_ptr<Store> again = open(kNoLimit, &index);
  EXPECT_EQ(index->size(), 10u) << "the refused start changed nothing";
  EXPECT_EQ(committed(*again, "k100"), "short");
}

TEST(PostgresDurabilityTest, SynchronousCommitOffIsTurnedOnAndLogged) {
  PostgresServer& pg = Stack::instance().postgres();
  // The URI's options set it off for every connection made with it, as a database, a role or
  // postgresql.conf may.
  std::string db = pg.uri(pg.newSchema()) + "%20-csynchronous_commit%3Doff";
  qmr_util::CaptureLog log;
  qmr_util::ScopedLog scoped(&log);
  qmr_datastored::OpenedEngine e = qmr_datastored::openEngine(db, 10000, kNoLimit);
  Store store(e.engine, e.reads);
  store.commit(sets({{"k", "v"}}));
  EXPECT_EQ(committed(store, "k"), "v");
  EXPECT_EQ(store.durability().rfind("synchronous_commit on,", 0), 0u) << store.durability();
  size_t warned = 0;
  for (const std::string& line : log.lines()) {
    warned += line.find("WARNING") != std::string::npos &&
              line.find("has synchronous_commit off; this server sets it on") != std::string::npos;
  }
  EXPECT_GE(warned, 1u) << "no warning says that synchronous_commit was off";
}

}  // namespace
}  // namespace qmr_test
