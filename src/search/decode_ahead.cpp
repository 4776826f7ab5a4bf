// The decoding thread and the replay of its visits: a channel of events (a member begins, a
// block of its bytes, a problem, the end) between the decoding thread, which waits while every
// buffer or the event queue is taken, and the searching thread, which waits for the next event.
// Cancelling (the search stopped, or left on an exception) wakes both; the decoding thread then
// stops at its next read.

#include "search/decode_ahead.h"

#include <condition_variable>
#include <cstring>
#include <deque>
#include <exception>
#include <new>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "base/thread_annotations.h"

namespace bytrove {
namespace {

using buffer_ptr = std::unique_ptr<std::uint8_t[]>;

struct event {
  enum class kind { member, data, problem, finished };
  kind what = kind::finished;
  std::vector<std::string> chain;  // member, problem
  std::string reason;              // problem
  buffer_ptr buffer;               // data: `size` bytes
  std::size_t size = 0;
  bool end = false;     // data: the member's last block (fewer bytes than a block)
  bool failed = false;  // data: the member failed after these bytes
  unpack_status status = unpack_status::done;  // finished
};

}  // namespace

class decode_ahead::channel {
 public:
  explicit channel(std::size_t block_size) {
    const checked_lock lock(mutex_);  // not shared yet; taken for the analysis
    for (std::size_t i = 0; i < k_decode_buffers; ++i) {
      free_.emplace_back(new std::uint8_t[block_size]);
    }
  }

  // Decoding thread: a free buffer, waiting for one; null once cancelled.
  buffer_ptr take_buffer() EXCLUDES(mutex_) {
    const checked_lock lock(mutex_);
    while (!cancelled_ && free_.empty()) mutex_.wait(producer_cv_);
    if (cancelled_) return nullptr;
    buffer_ptr b = std::move(free_.back());
    free_.pop_back();
    return b;
  }
  // Decoding thread: queues `e`, waiting while the queue is full; false once cancelled.
  bool push(event e) EXCLUDES(mutex_) {
    const checked_lock lock(mutex_);
    while (!cancelled_ && events_.size() >= k_decode_events) mutex_.wait(producer_cv_);
    if (cancelled_) return false;
    events_.push_back(std::move(e));
    consumer_cv_.notify_one();
    return true;
  }
  // The last event, queued whatever the queue holds.
  void finish(unpack_status status, std::exception_ptr failure) EXCLUDES(mutex_) {
    const checked_lock lock(mutex_);
    event e;
    e.status = status;
    failure_ = std::move(failure);
    events_.push_back(std::move(e));
    consumer_cv_.notify_one();
  }
  bool cancelled() EXCLUDES(mutex_) {
    const checked_lock lock(mutex_);
    return cancelled_;
  }

  // Searching thread: the next event, waiting for it.
  event pop() EXCLUDES(mutex_) {
    const checked_lock lock(mutex_);
    while (events_.empty()) mutex_.wait(consumer_cv_);
    event e = std::move(events_.front());
    events_.pop_front();
    producer_cv_.notify_one();
    return e;
  }
  void give_back(buffer_ptr b) EXCLUDES(mutex_) {
    if (b == nullptr) return;
    const checked_lock lock(mutex_);
    free_.push_back(std::move(b));
    producer_cv_.notify_one();
  }
  void cancel() EXCLUDES(mutex_) {
    const checked_lock lock(mutex_);
    cancelled_ = true;
    producer_cv_.notify_all();
  }
  std::exception_ptr failure() EXCLUDES(mutex_) {
    const checked_lock lock(mutex_);
    return failure_;
  }

 private:
  checked_mutex mutex_;
  std::condition_variable producer_cv_;  // a buffer or room in the queue, or cancelled
  std::condition_variable consumer_cv_;  // an event
  std::deque<event> events_ GUARDED_BY(mutex_);
  std::vector<buffer_ptr> free_ GUARDED_BY(mutex_);
  bool cancelled_ GUARDED_BY(mutex_) = false;
  std::exception_ptr failure_ GUARDED_BY(mutex_);
};

// The visitor on the decoding thread: each member's bytes read in whole blocks, as the block
// scanner reads a stream, each block an event.
class decode_ahead::producer final : public member_visitor {
 public:
  producer(channel& c, std::size_t block_size) : channel_(c), block_size_(block_size) {}

  bool on_member(const std::vector<std::string>& chain, byte_stream& data) override {
    event begin;
    begin.what = event::kind::member;
    begin.chain = chain;
    if (!channel_.push(std::move(begin))) return false;
    for (;;) {
      buffer_ptr b = channel_.take_buffer();
      if (b == nullptr) return false;
      event e;
      e.what = event::kind::data;
      // The scanner's fill: reads until the block is full, the member ends or it fails.
      while (e.size < block_size_) {
        const long n = data.read(b.get() + e.size, block_size_ - e.size);
        if (n <= 0) {
          e.failed = n < 0;
          break;
        }
        e.size += static_cast<std::size_t>(n);
      }
      e.end = e.size < block_size_;
      e.buffer = std::move(b);
      const bool end = e.end;
      if (!channel_.push(std::move(e))) return false;
      if (end) return !channel_.cancelled();
    }
  }

  void on_problem(const std::vector<std::string>& chain, const std::string& reason) override {
    event e;
    e.what = event::kind::problem;
    e.chain = chain;
    e.reason = reason;
    (void)channel_.push(std::move(e));
  }

 private:
  channel& channel_;
  std::size_t block_size_;
};

// A member's bytes on the searching thread, from the blocks decoded for it: as the member's own
// stream hands them out, -1 once where it failed and 0 after its end.
class decode_ahead::replay final : public byte_stream {
 public:
  explicit replay(channel& c) : channel_(c) {}
  ~replay() override { channel_.give_back(std::move(current_.buffer)); }
  replay(const replay&) = delete;
  replay& operator=(const replay&) = delete;

  long read(std::uint8_t* dst, std::size_t size) override {
    for (;;) {
      if (at_ < current_.size) {
        const std::size_t n = std::min(size, current_.size - at_);
        std::memcpy(dst, current_.buffer.get() + at_, n);
        at_ += n;
        return static_cast<long>(n);
      }
      if (ended_) {
        const bool failed = failed_;
        failed_ = false;
        return failed ? -1 : 0;
      }
      next_block();
    }
  }
  // Reads past what the search left of the member (it stopped early), back to the next visit.
  void drain() {
    while (!ended_) next_block();
  }

 private:
  void next_block() {
    channel_.give_back(std::move(current_.buffer));
    current_ = channel_.pop();
    at_ = 0;
    ended_ = current_.end;
    failed_ = current_.failed;
  }

  channel& channel_;
  event current_;
  std::size_t at_ = 0;
  bool ended_ = false;
  bool failed_ = false;
};

decode_ahead::decode_ahead(std::size_t block_size) : block_size_(block_size) {}

decode_ahead::~decode_ahead() = default;

std::optional<unpack_status> decode_ahead::run(const unpack_fn& unpack, member_visitor& consumer) {
  try {
    channel_ = std::make_unique<channel>(block_size_);
  } catch (const std::bad_alloc&) {
    return std::nullopt;
  }
  channel& c = *channel_;
  std::thread decoder;
  try {
    decoder = std::thread([&c, &unpack, this] {
      unpack_status status = unpack_status::stopped;
      std::exception_ptr failure;
      try {
        producer visitor(c, block_size_);
        status = unpack(visitor);
      } catch (const std::bad_alloc&) {
        failure = std::current_exception();
      }
      c.finish(status, failure);
    });
  } catch (const std::system_error&) {
    return std::nullopt;  // no thread to be had: nothing was read
  }
  // Whatever way this returns, the decoding thread is told to stop and is waited for.
  struct joiner {
    channel& c;
    std::thread& t;
    ~joiner() {
      c.cancel();
      t.join();
    }
  } const join{c, decoder};
  for (;;) {
    event e = c.pop();
    if (e.what == event::kind::problem) {
      consumer.on_problem(e.chain, e.reason);
    } else if (e.what == event::kind::member) {
      replay data(c);
      const bool go_on = consumer.on_member(e.chain, data);
      // A stop ends the run: nothing more is written, and the decoding thread is not waited on.
      if (!go_on) return unpack_status::stopped;
      data.drain();
    } else if (e.what == event::kind::finished) {
      if (const std::exception_ptr failure = c.failure()) std::rethrow_exception(failure);
      return e.status;
    }
  }
}

}  // namespace bytrove
