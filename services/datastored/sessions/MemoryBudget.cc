// MemoryBudget.cc - the shared budgets and the heap trimmer.
#include "sessions/MemoryBudget.h"

#include <malloc.h>

#include <chrono>

namespace qmr_datastored {

bool Budget::reserve(long long bytes) {
  long long used = used_.load();
  do {
    if (used + bytes > limit_) return false;
  } while (!used_.compare_exchange_weak(used, used + bytes));
  return true;
}

PendingBudget::Result PendingBudget::reserve(const std::string& client, long long bytes,
                                             long long* share) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = held_.find(client);
  long long mine = it != held_.end() ? it->second : 0;
  long long holders = static_cast<long long>(held_.size()) + (it == held_.end() ? 1 : 0);
  *share = limit_ / (holders + 1);
  if (used_ + bytes > limit_) return kOverLimit;
  if (mine + bytes > *share) return kOverShare;
  used_ += bytes;
  held_[client] = mine + bytes;
  return kTaken;
}

void PendingBudget::release(const std::string& client, long long bytes) {
  if (bytes <= 0) return;
  std::lock_guard<std::mutex> lock(mutex_);
  used_ -= bytes;
  auto it = held_.find(client);
  if (it == held_.end()) return;
  it->second -= bytes;
  if (it->second <= 0) held_.erase(it);
}

long long PendingBudget::used() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return used_;
}

long long PendingBudget::heldBy(const std::string& client) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = held_.find(client);
  return it != held_.end() ? it->second : 0;
}

Trimmer::Trimmer() : thread_([this] { loop(); }) {}

Trimmer::~Trimmer() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  thread_.join();
}

void Trimmer::request() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (due_) return;
    due_ = true;
  }
  wake_.notify_all();
}

void Trimmer::loop() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    wake_.wait(lock, [this] { return due_ || stopping_; });
    // Trims 100 ms after the request, and again a second later for what the ORB freed late
    // (a reply still being sent on a busy machine).
    for (int delayMs : {100, 1000}) {
      wake_.wait_for(lock, std::chrono::milliseconds(delayMs), [this] { return stopping_; });
      if (stopping_) return;
      due_ = false;
      lock.unlock();
      malloc_trim(0);
      lock.lock();
    }
  }
}

}  // namespace qmr_datastored
