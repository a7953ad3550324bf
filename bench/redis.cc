// redis.cc - qmr-bench-redis: the peer from C. Reads the benchmark's keys from a redis-server
// with MGET through hiredis, one request at a time (no pipelining), and writes entries in a
// MULTI / SET... / EXEC transaction (sent together, as a client sends a transaction).
//
// Usage: qmr-bench-redis --port P populate|reads|writes [--shapes ...] [--entries 1,10,100]
#include <hiredis/hiredis.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "BenchSupport.h"

namespace {

using qmr_bench::Result;

std::string g_label = "hiredis";  // --label

void usage() {
  std::printf(
      "qmr-bench-redis: MGET reads and MULTI/SET/EXEC writes against redis-server (hiredis).\n"
      "Usage: qmr-bench-redis --port PORT populate|reads|writes [options]\n"
      "  populate          store every key of every shape (up to %d keys per value length)\n"
      "  reads             time MGET of each shape's keys\n"
      "  writes            time a transaction of N SETs for each N of --entries\n"
      "  --port PORT       redis-server on 127.0.0.1:PORT\n"
      "  --entries LIST    write sizes (default 1,10,100)\n"
      "  --label NAME      method name in the result lines (default hiredis)\n%s",
      qmr_bench::kMaxKeys, qmr_bench::CommonOptions::usage());
}

// Fails the program with a message naming what failed.
[[noreturn]] void die(const std::string& what) {
  std::fprintf(stderr, "qmr-bench-redis: %s\n", what.c_str());
  std::exit(1);
}

redisReply* command(redisContext* c, std::vector<const char*>& argv,
                    const std::vector<size_t>& lens) {
  void* reply = redisCommandArgv(c, static_cast<int>(argv.size()), argv.data(), lens.data());
  if (reply == nullptr) die(std::string("request failed: ") + c->errstr);
  return static_cast<redisReply*>(reply);
}

void populate(redisContext* c, const std::vector<qmr_bench::Shape>& shapes) {
  for (const qmr_bench::Shape& shape : shapes) {
    std::vector<std::string> texts;
    for (int i = 0; i < qmr_bench::kMaxKeys; ++i) {
      texts.push_back(qmr_bench::keyName(shape.valueBytes, i));
      texts.push_back(qmr_bench::valueFor(shape.valueBytes, i));
    }
    std::vector<const char*> argv{"MSET"};
    std::vector<size_t> lens{4};
    for (const std::string& t : texts) {
      argv.push_back(t.data());
      lens.push_back(t.size());
    }
    redisReply* reply = command(c, argv, lens);
    if (reply->type == REDIS_REPLY_ERROR) die(std::string("MSET refused: ") + reply->str);
    freeReplyObject(reply);
  }
}

void reads(redisContext* c, const qmr_bench::CommonOptions& options) {
  for (const qmr_bench::Shape& shape : options.shapes) {
    const std::vector<std::string> keys = qmr_bench::keyNames(shape.valueBytes, shape.keys);
    std::vector<const char*> argv{"MGET"};
    std::vector<size_t> lens{4};
    for (const std::string& k : keys) {
      argv.push_back(k.data());
      lens.push_back(k.size());
    }
    bool ok = true;
    long calls = 0;
    double cpu = 0;
    qmr_bench::Latencies lat;
    const double us = qmr_bench::timeCalls(
        [&] {
          redisReply* reply = command(c, argv, lens);
          ok = ok && reply->type == REDIS_REPLY_ARRAY &&
               reply->elements == static_cast<size_t>(shape.keys) &&
               reply->element[0]->type == REDIS_REPLY_STRING &&
               reply->element[0]->len == static_cast<size_t>(shape.valueBytes);
          freeReplyObject(reply);
        },
        options.seconds, options.warmup, 20, &calls, &cpu, &lat);
    if (!ok) die("MGET did not return every value; run populate first");
    Result("read").str("method", g_label).num("keys", shape.keys)
        .num("value_bytes", shape.valueBytes).num("us", us).num("cpu_us", cpu)
        .num("p50_us", lat.percentile(50)).num("p99_us", lat.percentile(99))
        .num("calls", static_cast<double>(calls)).print();
  }
}

void writes(redisContext* c, const qmr_bench::CommonOptions& options,
            const std::vector<int>& entries) {
  for (int n : entries) {
    std::vector<std::string> keys, values;
    for (int i = 0; i < n; ++i) {
      keys.push_back("w:" + qmr_bench::keyName(16, i));
      values.push_back(qmr_bench::valueFor(16, i));
    }
    bool ok = true;
    long calls = 0;
    qmr_bench::Latencies lat;
    const double us = qmr_bench::timeCalls(
        [&] {
          redisAppendCommand(c, "MULTI");
          for (int i = 0; i < n; ++i) {
            const char* argv[3] = {"SET", keys[i].data(), values[i].data()};
            const size_t lens[3] = {3, keys[i].size(), values[i].size()};
            redisAppendCommandArgv(c, 3, argv, lens);
          }
          redisAppendCommand(c, "EXEC");
          for (int i = 0; i < n + 2; ++i) {
            void* reply = nullptr;
            if (redisGetReply(c, &reply) != REDIS_OK) die(std::string("EXEC failed: ") + c->errstr);
            redisReply* r = static_cast<redisReply*>(reply);
            if (i == n + 1) ok = ok && r->type == REDIS_REPLY_ARRAY && r->elements == size_t(n);
            freeReplyObject(r);
          }
        },
        options.seconds, options.warmup / 4, 10, &calls, nullptr, &lat);
    if (!ok) die("EXEC did not apply every SET");
    Result("write").str("method", g_label).num("entries", n).num("us", us)
        .num("p50_us", lat.percentile(50)).num("p99_us", lat.percentile(99))
        .num("calls", static_cast<double>(calls)).print();
  }
}

}  // namespace

int main(int argc, char** argv) {
  qmr_bench::CommonOptions options;
  bool help = false;
  std::string error;
  if (!options.parse(argc, argv, &help, &error)) {
    std::fprintf(stderr, "qmr-bench-redis: %s (see --help)\n", error.c_str());
    return 2;
  }
  if (help) {
    usage();
    return 0;
  }
  int port = 0;
  std::string mode;
  std::vector<int> entries{1, 10, 100};
  for (std::size_t i = 0; i < options.rest.size(); ++i) {
    const std::string& arg = options.rest[i];
    if (arg == "--port" && i + 1 < options.rest.size()) {
      port = std::atoi(options.rest[++i].c_str());
    } else if (arg == "--label" && i + 1 < options.rest.size()) {
      g_label = options.rest[++i];
    } else if (arg == "--entries" && i + 1 < options.rest.size()) {
      std::string bad;
      if (!qmr_bench::parseEntryCounts(options.rest[++i], &entries, &bad)) die(bad);
    } else if (arg == "populate" || arg == "reads" || arg == "writes") {
      mode = arg;
    } else {
      die("unknown argument '" + arg + "' (see --help)");
    }
  }
  if (port <= 0 || mode.empty()) die("need --port PORT and one of populate, reads, writes");
  redisContext* c = redisConnect("127.0.0.1", port);
  if (c == nullptr || c->err) {
    die("cannot connect to redis-server on 127.0.0.1:" + std::to_string(port) + ": " +
        (c ? c->errstr : "out of memory") + " (is it running?)");
  }
  qmr_bench::waitUntil(options.startAt);
  if (mode == "populate") populate(c, options.shapes);
  if (mode == "reads") reads(c, options);
  if (mode == "writes") writes(c, options, entries);
  redisFree(c);
  return 0;
}
