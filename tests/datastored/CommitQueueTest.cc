// CommitQueueTest.cc - group commit and the in-memory index, on a real SQLite file in a
// temporary folder, without the ORB: commits queued behind a transaction share the next one,
// a failing member takes no other down, a get sees a whole commit group or none of it, and the
// memory limit refuses what would exceed it.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "store/CommitQueue.h"
#include "Harness.h"
#include "engine/sqlite/Index.h"
#include "SqliteConnection.h"
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
  Index::Snapshot snapshot(*store.index());
  const std::string* v = snapshot.find(key, qmr_datastored::nowMs());
  return v != nullptr ? *v : "-";
}

class CommitQueueTest : public ::testing::Test {
 protected:
  CommitQueueTest() : dir_("qmr-commitqueue") {}
  std::string db() const { return dir_.file("store.db"); }

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

  // Starts `first` as the leader of a group stuck behind another writer's lock, queues `rest`
  // behind it, waits until all of them wait, then lets the lock go and waits for every
  // commit to return.
  void commitBehindALock(Store& store, const ChangeSet& first, const std::vector<ChangeSet>& rest,
                         std::vector<std::string>* outcomes) {
    SqliteConnection other(db());  // takes the write lock, as another process would
    ASSERT_EQ(other.exec("BEGIN IMMEDIATE"), SQLITE_OK);
    outcomes->assign(rest.size() + 1, "");
    std::vector<std::thread> threads;
    threads.push_back(commitLater(store, first, &(*outcomes)[0]));
    // Once the first is writing (waiting in BEGIN for the lock), the others arrive.
    bool writing = eventually([&] { return store.commitCounts().writing; }, 5000);
    for (size_t i = 0; i < rest.size(); ++i) {
      threads.push_back(commitLater(store, rest[i], &(*outcomes)[i + 1]));
    }
    bool queued = eventually([&] { return store.commitCounts().waiting == rest.size(); }, 5000);
    other.exec("ROLLBACK");
    for (std::thread& t : threads) t.join();
    ASSERT_TRUE(writing) << "the first commit never began";
    ASSERT_TRUE(queued) << "the commits never queued behind the first";
  }

  TempDir dir_;
};

TEST_F(CommitQueueTest, CommitsArrivingDuringATransactionShareTheNextOne) {
  Store store(db(), 10000, kNoLimit);
  std::vector<ChangeSet> rest;
  for (int i = 1; i < 8; ++i)
    rest.push_back(sets({{"k" + std::to_string(i), "v"}, {"shared", "s"}}));
  std::vector<std::string> outcomes;
  commitBehindALock(store, sets({{"k0", "v"}}), rest, &outcomes);
  for (const std::string& o : outcomes) EXPECT_EQ(o, "ok");
  qmr_datastored::CommitStats counts = store.commitCounts();
  EXPECT_EQ(counts.commits, 8u);
  EXPECT_EQ(counts.transactions, 2u) << "the seven queued commits went one by one";
  EXPECT_EQ(counts.largestGroup, 7u);
  for (int i = 0; i < 8; ++i) EXPECT_EQ(committed(store, "k" + std::to_string(i)), "v");
  SqliteConnection check(db());
  EXPECT_EQ(check.entries("key LIKE 'k%' OR key = 'shared'"), 9) << "every commit is on disk";
}

TEST_F(CommitQueueTest, AFailingCommitOfAGroupTakesNoOtherDownWithIt) {
  Store store(db(), 10000, kNoLimit);
  store.commit(sets({{"b1", "before"}}));
  store.limitTextBytesForTest(100);  // SQLite now refuses values over 100 bytes
  std::vector<ChangeSet> rest = {
      sets({{"a", "1"}}),
      // Writes b1 first (keys in order), then fails on b2: b1 must be undone too.
      sets({{"b1", "changed"}, {"b2", std::string(500, 'x')}}),
      sets({{"c", "3"}}),
  };
  std::vector<std::string> outcomes;
  commitBehindALock(store, sets({{"lead", "0"}}), rest, &outcomes);
  EXPECT_EQ(outcomes[0], "ok");
  EXPECT_EQ(outcomes[1], "ok");
  EXPECT_NE(outcomes[2].find("write failed"), std::string::npos) << outcomes[2];
  EXPECT_EQ(outcomes[3], "ok");
  EXPECT_EQ(store.commitCounts().transactions, 3u) << "the three queued commits shared one";
  EXPECT_EQ(committed(store, "a"), "1");
  EXPECT_EQ(committed(store, "c"), "3");
  EXPECT_EQ(committed(store, "b1"), "before");
  EXPECT_EQ(committed(store, "b2"), "-");
  SqliteConnection check(db());
  EXPECT_EQ(check.entries("key IN ('lead', 'a', 'c')"), 3);
  EXPECT_EQ(check.entries("key = 'b1' AND data = 'before'"), 1) << "the failed member left a trace";
  EXPECT_EQ(check.entries("key = 'b2'"), 0);
}

TEST_F(CommitQueueTest, AGetSeesAWholeCommitOrNoneOfIt) {
  Store store(db(), 10000, kNoLimit);
  const int kKeys = 50;
  auto all = [&](const std::string& value) {
    ChangeSet c;
    for (int i = 0; i < kKeys; ++i) c["x" + std::to_string(i)].data = value;
    return c;
  };
  store.commit(all("A"));
  std::atomic<bool> stop{false};
  std::atomic<long> torn{0}, reads{0};
  std::vector<std::thread> readers;
  for (int r = 0; r < 3; ++r) {
    readers.emplace_back([&] {
      while (!stop) {
        Index::Snapshot snapshot(*store.index());
        int64_t now = qmr_datastored::nowMs();
        const std::string* first = snapshot.find("x0", now);
        for (int i = 1; i < kKeys; ++i) {
          const std::string* v = snapshot.find("x" + std::to_string(i), now);
          if (v == nullptr || first == nullptr || *v != *first) {
            ++torn;
            break;
          }
        }
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

TEST_F(CommitQueueTest, TheMemoryLimitRefusesACommitAndAFileThatWouldExceedIt) {
  const size_t perEntry = Index::entryBytes(4, 100);
  {
    Store store(db(), 10000, perEntry * 10);
    ChangeSet ten;
    for (int i = 0; i < 10; ++i) ten["k" + std::to_string(100 + i)].data = std::string(100, 'v');
    store.commit(ten);
    EXPECT_EQ(store.index()->bytes(), perEntry * 10);
    try {
      store.commit(sets({{"k999", std::string(100, 'v')}}));
      ADD_FAILURE() << "an eleventh entry fitted";
    } catch (const StoreError& e) {
      EXPECT_EQ(e.kind(), StoreError::kFull);
      EXPECT_NE(std::string(e.what()).find("--max-memory-bytes"), std::string::npos) << e.what();
    }
    EXPECT_EQ(committed(store, "k999"), "-");
    // Replacing a value with a shorter one, and removing, free memory: always allowed.
    store.commit(sets({{"k100", "short"}}));
    ChangeSet remove;
    remove["k101"].remove = true;
    store.commit(remove);
    EXPECT_EQ(store.index()->size(), 9u);
    store.commit(sets({{"k999", std::string(100, 'v')}}));
  }
  try {
    Store smaller(db(), 10000, perEntry * 5);
    ADD_FAILURE() << "a file holding more than the limit was opened";
  } catch (const StoreError& e) {
    EXPECT_EQ(e.kind(), StoreError::kFull);
    EXPECT_NE(std::string(e.what()).find(db()), std::string::npos) << e.what();
  }
  Store again(db(), 10000, kNoLimit);
  EXPECT_EQ(again.index()->size(), 10u) << "the refused start changed nothing";
  EXPECT_EQ(committed(again, "k100"), "short");
}

}  // namespace
}  // namespace qmr_test
