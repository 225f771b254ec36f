// Runtime threads: numbered, joined (never detached), with a cooperative stop flag.
// The same on every system.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "runtime/rt_shared.h"

using namespace rt;

// --- Threads ------------------------------------------------------------------------

namespace {

struct ThreadRecord {
  std::thread thread;
  std::shared_ptr<std::atomic<bool>> finished = std::make_shared<std::atomic<bool>>(false);
  std::shared_ptr<std::atomic<bool>> stop = std::make_shared<std::atomic<bool>>(false);
};

std::mutex gThreadLock;
std::condition_variable gThreadDone;
// Guarded by gThreadLock. Never destroyed: a program that exits without the teardown (a
// test, an exit from a worker) may leave a finished thread unjoined, and destroying its
// record would end the process with std::terminate.
std::map<int, ThreadRecord>& gThreads = *new std::map<int, ThreadRecord>;
int gNextThread = 1;
std::atomic<bool> gStopping{false};
thread_local int tThreadNumber = 0;
thread_local std::shared_ptr<std::atomic<bool>> tStopFlag;

// Joins a finished thread outside the table lock; the record is removed first.
void JoinRecord(ThreadRecord& rec) {
  if (rec.thread.joinable() && rec.thread.get_id() != std::this_thread::get_id()) rec.thread.join();
}

void ReapFinishedLocked(std::vector<ThreadRecord>& out) {
  for (auto it = gThreads.begin(); it != gThreads.end();) {
    if (it->second.finished->load()) {
      out.push_back(std::move(it->second));
      it = gThreads.erase(it);
    } else {
      ++it;
    }
  }
}

}  // namespace

int CreateThread(ThreadProc proc, int argument) {
  if (!proc || gStopping.load()) return 0;
  std::vector<ThreadRecord> done;
  int number = 0;
  {
    std::lock_guard<std::mutex> lock(gThreadLock);
    ReapFinishedLocked(done);
    number = gNextThread++;
    ThreadRecord& rec = gThreads[number];
    auto finished = rec.finished;
    auto stop = rec.stop;
    try {
      rec.thread = std::thread([proc, argument, number, finished, stop]() {
        tThreadNumber = number;
        tStopFlag = stop;
        proc(argument);
        {
          std::lock_guard<std::mutex> l(gThreadLock);
          finished->store(true);
        }
        gThreadDone.notify_all();
      });
    } catch (...) {
      gThreads.erase(number);
      number = 0;
    }
  }
  for (auto& r : done) JoinRecord(r);
  return number;
}

int IsThread(int thread) {
  if (thread <= 0) return 0;
  ThreadRecord rec;
  {
    std::lock_guard<std::mutex> lock(gThreadLock);
    auto it = gThreads.find(thread);
    if (it == gThreads.end()) return 0;
    if (!it->second.finished->load()) return 1;
    if (tThreadNumber == thread) return 1;
    rec = std::move(it->second);
    gThreads.erase(it);
  }
  JoinRecord(rec);
  return 0;
}

int WaitThread(int thread, int timeoutMs) {
  if (thread <= 0 || thread == tThreadNumber) return thread <= 0 ? 1 : 0;
  ThreadRecord rec;
  {
    std::unique_lock<std::mutex> lock(gThreadLock);
    auto it = gThreads.find(thread);
    if (it == gThreads.end()) return 1;
    auto finished = it->second.finished;
    auto pred = [&]() { return finished->load(); };
    if (timeoutMs < 0) {
      gThreadDone.wait(lock, pred);
    } else if (!gThreadDone.wait_for(lock, std::chrono::milliseconds(timeoutMs), pred)) {
      return 0;
    }
    it = gThreads.find(thread);
    if (it == gThreads.end()) return 1;
    rec = std::move(it->second);
    gThreads.erase(it);
  }
  JoinRecord(rec);
  return 1;
}

void RequestThreadStop(int thread) {
  std::lock_guard<std::mutex> lock(gThreadLock);
  auto it = gThreads.find(thread);
  if (it != gThreads.end()) it->second.stop->store(true);
}

int ThreadStopRequested() {
  if (gStopping.load()) return 1;
  return tStopFlag && tStopFlag->load() ? 1 : 0;
}

int CurrentThread() { return tThreadNumber; }

void rt::TeardownThreads() {
  gStopping.store(true);
  std::vector<ThreadRecord> all;
  {
    std::lock_guard<std::mutex> lock(gThreadLock);
    for (auto& [n, rec] : gThreads) rec.stop->store(true);
    for (auto& [n, rec] : gThreads) all.push_back(std::move(rec));
    gThreads.clear();
  }
  // Nothing is detached: a worker must not run on against state the teardown frees.
  for (auto& rec : all) JoinRecord(rec);
  gStopping.store(false);
}
