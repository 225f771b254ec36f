// A bounded byte ring between one producer and one consumer thread. Either side may
// block; a blocked side sleeps on a condition variable and is woken only when the
// other side has made enough room or data, so a full buffer costs no CPU.
#pragma once

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <vector>

namespace audiolib {

class ByteRing {
 public:
  using Clock = std::chrono::steady_clock;

  void Reset(size_t capacity, size_t writerWake) {
    std::lock_guard<std::mutex> g(m_);
    buf_.assign(capacity, 0);
    head_ = size_ = 0;
    writerWake_ = std::max<size_t>(1, std::min(writerWake, capacity));
    closed_ = aborted_ = false;
    starvedSince_ = Clock::time_point::max();
    totalIn_ = totalOut_ = 0;
  }

  // Writes all of data, waiting for room when block is set. Returns the bytes
  // written (fewer only when aborted, or when not blocking and full).
  size_t Write(const void* data, size_t length, bool block) {
    const uint8_t* p = static_cast<const uint8_t*>(data);
    size_t done = 0;
    std::unique_lock<std::mutex> g(m_);
    while (done < length) {
      if (aborted_ || closed_) break;
      size_t room = buf_.size() - size_;
      if (room == 0) {
        if (!block) break;
        writerWaiting_ = true;
        canWrite_.wait(g, [&] { return aborted_ || buf_.size() - size_ >= writerWake_; });
        writerWaiting_ = false;
        continue;
      }
      const size_t n = std::min(room, length - done);
      size_t tail = (head_ + size_) % buf_.size();
      const size_t first = std::min(n, buf_.size() - tail);
      std::memcpy(&buf_[tail], p + done, first);
      if (n > first) std::memcpy(&buf_[0], p + done + first, n - first);
      size_ += n;
      done += n;
      totalIn_ += n;
      starvedSince_ = Clock::time_point::max();
      if (readerWaiting_) canRead_.notify_one();
    }
    return done;
  }

  // Reads up to length bytes. With block set, waits until some data is there, the
  // writer has closed, the ring is aborted or the deadline passes.
  size_t Read(void* data, size_t length, bool block, Clock::time_point deadline = Clock::time_point::max()) {
    uint8_t* p = static_cast<uint8_t*>(data);
    std::unique_lock<std::mutex> g(m_);
    if (block) {
      readerWaiting_ = true;
      auto ready = [&] { return aborted_ || closed_ || size_ > 0; };
      if (!ready()) starvedSince_ = Clock::now();
      if (deadline == Clock::time_point::max())
        canRead_.wait(g, ready);
      else
        canRead_.wait_until(g, deadline, ready);
      readerWaiting_ = false;
      starvedSince_ = Clock::time_point::max();
    }
    if (aborted_) return 0;
    const size_t n = std::min(length, size_);
    const size_t first = std::min(n, buf_.size() - head_);
    if (n) {
      std::memcpy(p, &buf_[head_], first);
      if (n > first) std::memcpy(p + first, &buf_[0], n - first);
      head_ = (head_ + n) % buf_.size();
      size_ -= n;
      totalOut_ += n;
    }
    if (writerWaiting_ && buf_.size() - size_ >= writerWake_) canWrite_.notify_one();
    return n;
  }

  // Waits until at least fill bytes are buffered, the writer closed, the ring is
  // aborted or the deadline passes.
  void WaitFill(size_t fill, Clock::time_point deadline) {
    std::unique_lock<std::mutex> g(m_);
    fill = std::min(fill, buf_.size());
    readerWaiting_ = true;
    canRead_.wait_until(g, deadline, [&] { return aborted_ || closed_ || size_ >= fill; });
    readerWaiting_ = false;
  }

  // The writer has finished: readers drain what is left and then see the end.
  void Close() {
    std::lock_guard<std::mutex> g(m_);
    closed_ = true;
    canRead_.notify_all();
    canWrite_.notify_all();
  }
  // Both sides stop at once.
  void Abort() {
    std::lock_guard<std::mutex> g(m_);
    aborted_ = true;
    canRead_.notify_all();
    canWrite_.notify_all();
  }
  // Wakes a waiting reader so that it can look at its deadline or other flags.
  void Poke() {
    std::lock_guard<std::mutex> g(m_);
    canRead_.notify_all();
  }

  size_t Fill() const {
    std::lock_guard<std::mutex> g(m_);
    return size_;
  }
  size_t Capacity() const {
    std::lock_guard<std::mutex> g(m_);
    return buf_.size();
  }
  bool Drained() const {  // closed by the writer and empty
    std::lock_guard<std::mutex> g(m_);
    return closed_ && size_ == 0;
  }
  // Since when a blocked reader has been waiting for data that has not come;
  // time_point::max() while no reader waits.
  Clock::time_point StarvedSince() const {
    std::lock_guard<std::mutex> g(m_);
    return starvedSince_;
  }
  bool Aborted() const {
    std::lock_guard<std::mutex> g(m_);
    return aborted_;
  }
  bool Closed() const {
    std::lock_guard<std::mutex> g(m_);
    return closed_;
  }
  uint64_t TotalIn() const {
    std::lock_guard<std::mutex> g(m_);
    return totalIn_;
  }
  uint64_t TotalOut() const {
    std::lock_guard<std::mutex> g(m_);
    return totalOut_;
  }

 private:
  mutable std::mutex m_;
  std::condition_variable canRead_, canWrite_;
  std::vector<uint8_t> buf_;
  size_t head_ = 0, size_ = 0, writerWake_ = 1;
  bool closed_ = false, aborted_ = false;
  bool readerWaiting_ = false, writerWaiting_ = false;
  Clock::time_point starvedSince_ = Clock::time_point::max();
  uint64_t totalIn_ = 0, totalOut_ = 0;
};

}  // namespace audiolib
