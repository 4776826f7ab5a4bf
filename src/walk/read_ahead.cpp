#include "walk/read_ahead.h"

#include <algorithm>
#include <limits>
#include <new>
#include <system_error>
#include <utility>

namespace bytrove {

struct walk_read_ahead::job {
  enum class state { pending, running, listed } stage = state::pending;  // under mutex_
  directory_plan plan;
  // Files [0, settled) are settled: opened ahead (fds[i] >= 0) or left to the walk (-1). The
  // walker publishes each file as it goes, so the walk starts on a directory's first files
  // while its later ones are still being opened. k_all: every file.
  static constexpr std::uint32_t k_all = std::numeric_limits<std::uint32_t>::max();
  std::atomic<std::uint32_t> settled{0};
  // The walk waits for `settled` to move: only then is a wake-up worth a system call.
  std::atomic<bool> walk_waiting{false};
  // The walk has reached it: its files may use the whole budget. Directories further ahead
  // keep to half of it, so that what the walk reaches next is not left without room.
  std::atomic<bool> reached{false};
  // Opening stopped at file `paused_at` for want of room before the walk reached it; it goes
  // on when the walk does (under mutex_).
  bool paused = false;
  std::size_t paused_at = 0;
};

walk_read_ahead::walk_read_ahead(file_system& fs, unsigned walkers, std::size_t open_budget)
    : fs_(fs), open_budget_(open_budget) {
  threads_.reserve(walkers);
  for (unsigned i = 0; i < walkers; ++i) {
    try {
      threads_.emplace_back([this] { walker_main(); });
    } catch (const std::system_error&) {
      break;  // a thread limit: the walk goes on with the walkers that started
    }
  }
}

walk_read_ahead::~walk_read_ahead() {
  end();
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    quit_ = true;
  }
  work_cv_.notify_all();
  for (std::thread& t : threads_) t.join();
}

void walk_read_ahead::begin(const std::string& name_pattern, const walk_options& options) {
  const std::lock_guard<std::mutex> lock(mutex_);
  name_pattern_ = name_pattern;
  options_ = options;
  options_.read_ahead = nullptr;
}

void walk_read_ahead::end() {
  std::unique_lock<std::mutex> lock(mutex_);
  close_held(lock);
  jobs_.clear();
  pending_ = 0;
}

namespace {

// Files a walker opens ahead: all of them, unless they are too many to count as settled.
std::size_t n_files_ahead(const directory_plan& plan) {
  constexpr std::size_t k_most = std::numeric_limits<std::uint32_t>::max() - 1;
  return plan.files.size() < k_most ? plan.files.size() : 0;
}

}  // namespace

const directory_plan& walk_read_ahead::plan_of(const job& j) { return j.plan; }

void walk_read_ahead::wait_settled(job& j, std::size_t upto) {
  for (;;) {
    const std::uint32_t settled = j.settled.load();
    if (settled == job::k_all || settled >= upto) break;
    // Said before looking again, so a walker that moves `settled` after the look sees it.
    j.walk_waiting.store(true);
    if (j.settled.load() != settled) continue;
    j.settled.wait(settled);
  }
  j.walk_waiting.store(false, std::memory_order_relaxed);
}

void walk_read_ahead::publish(job& j, std::uint32_t settled) {
  j.settled.store(settled);
  if (j.walk_waiting.load()) j.settled.notify_all();
}

std::size_t walk_read_ahead::close_held(std::unique_lock<std::mutex>& lock) {
  // A walker at work may be opening files of its plan: wait for it to finish first.
  walk_waits_ = true;
  done_cv_.wait(lock, [&] { return running_ == 0; });
  walk_waits_ = false;
  std::size_t closed = 0;
  // With no walker at work every job here is settled or paused: nothing more is opened.
  for (auto& [key, j] : jobs_) {
    if (close_fds(j->plan, 0)) ++closed;
  }
  return closed;
}

bool walk_read_ahead::close_ahead(job& j, std::size_t from) {
  wait_settled(j, j.plan.fds.size());
  return close_fds(j.plan, from);
}

bool walk_read_ahead::close_fds(directory_plan& plan, std::size_t from) {
  bool any = false;
  for (std::size_t i = from; i < plan.fds.size(); ++i) {
    if (plan.fds[i] < 0) continue;
    fs_.close_file(plan.fds[i]);
    plan.fds[i] = -1;
    held_.fetch_sub(1);
    any = true;
  }
  return any;
}

int walk_read_ahead::take_descriptor(job& j, std::size_t i) {
  if (i >= j.plan.fds.size()) return -1;
  wait_settled(j, i + 1);
  const int fd = std::exchange(j.plan.fds[i], -1);
  if (fd >= 0) held_.fetch_sub(1);
  return fd;
}

bool walk_read_ahead::release_descriptors() {
  no_opens_ = true;
  std::unique_lock<std::mutex> lock(mutex_);
  return close_held(lock) > 0;
}

void walk_read_ahead::add_jobs(const walk_key& parent, const std::string& dir,
                               const std::vector<std::string>& subdirs, std::size_t from,
                               bool urgent) {
  walk_key key = parent;
  key.push_back(0);
  // The walk asks for the subdirectory it enters now and the one after it even over the
  // bound (two more per level at most): those are what it needs soonest.
  const std::size_t beyond = urgent ? from + 2 : from;
  for (std::size_t i = from; i < subdirs.size() && (i < beyond || jobs_.size() < k_max_planned);
       ++i) {
    key.back() = static_cast<std::uint32_t>(i);
    const auto [it, inserted] = jobs_.try_emplace(key);
    if (!inserted) continue;
    it->second = std::make_shared<job>();
    it->second->plan.dir = dir + subdirs[i] + "/";
    ++pending_;
    work_cv_.notify_one();
  }
}

void walk_read_ahead::request(const walk_key& parent, const std::string& dir,
                              const std::vector<std::string>& subdirs, std::size_t from) {
  if (from >= subdirs.size()) return;
  const std::lock_guard<std::mutex> lock(mutex_);
  add_jobs(parent, dir, subdirs, from, true);
}

std::shared_ptr<walk_read_ahead::job> walk_read_ahead::take(
    const walk_key& key, const std::string& dir, const std::function<bool()>& more_descriptors) {
  {
    std::unique_lock<std::mutex> lock(mutex_);
    const auto it = jobs_.find(key);
    if (it != jobs_.end()) {
      // Every directory before this one in the walk's order has been taken, so a walker takes
      // this one next if none has yet: waiting for it keeps its work off this thread.
      std::shared_ptr<job> j = it->second;
      j->reached = true;
      if (j->paused) {
        j->paused = false;
        resume_.push_back(j);
        work_cv_.notify_one();
      }
      walk_waits_ = true;
      done_cv_.wait(lock, [&] { return j->stage == job::state::listed; });
      walk_waits_ = false;
      jobs_.erase(it);
      // A listing that failed on a walker is made again here, so that what the walk reports
      // about the directory is what it finds itself, in its place.
      if (j->plan.listed) return j;
    }
  }
  auto j = std::make_shared<job>();
  plan_directory(fs_, dir, name_pattern_, options_, false, j->plan, more_descriptors);
  j->settled = job::k_all;
  j->stage = job::state::listed;
  return j;
}

bool walk_read_ahead::open_ahead(job& j, std::size_t from) {
  directory_plan& plan = j.plan;
  const std::size_t n = n_files_ahead(plan);
  for (std::size_t i = from; i < n; ++i) {
    if (no_opens_.load(std::memory_order_relaxed)) break;
    const dir_entry& entry = plan.files[i];
    // A FIFO or device is opened by the walk in its turn: opening one lets its writer go on.
    // A failed open is made again by the walk, which reports it if it fails there too.
    if (!entry.special) {
      const bool reached = j.reached.load(std::memory_order_relaxed);
      if (held_.fetch_add(1) >= (reached ? open_budget_ : open_budget_ / 2)) {
        held_.fetch_sub(1);
        if (!reached) {
          j.paused_at = i;
          return false;
        }
        // The walk is in this directory and even so there is no room: the walk opens it.
      } else {
        const int fd = fs_.open_file(plan.dir + entry.name, entry);
        if (fd >= 0) {
          plan.fds[i] = fd;
        } else {
          held_.fetch_sub(1);
        }
      }
    }
    publish(j, static_cast<std::uint32_t>(i + 1));
  }
  publish(j, job::k_all);
  return true;
}

void walk_read_ahead::open_or_pause(const std::shared_ptr<job>& j, std::size_t from,
                                    std::unique_lock<std::mutex>& lock) {
  lock.unlock();
  const bool finished = open_ahead(*j, from);
  lock.lock();
  if (finished) return;
  if (j->reached) {
    // Reached while pausing: go on at once.
    resume_.push_back(j);
    work_cv_.notify_one();
  } else {
    j->paused = true;
  }
}

void walk_read_ahead::run_job(const walk_key& key, const std::shared_ptr<job>& j,
                              std::unique_lock<std::mutex>& lock) {
  directory_plan& plan = j->plan;
  const std::string dir = plan.dir;
  lock.unlock();
  try {
    plan_directory(fs_, dir, name_pattern_, options_, false, plan);
    plan.fds.assign(plan.files.size(), -1);
  } catch (const std::bad_alloc&) {
    // Out of memory here: the walk plans the directory itself, where running out is the
    // run's to report.
    plan.listed = false;
  }
  if (!plan.listed) {
    plan.files.clear();
    plan.fds.clear();
  }
  lock.lock();
  try {
    if (plan.listed) add_jobs(key, dir, plan.subdirs, 0, false);
  } catch (const std::bad_alloc&) {
    // Nothing more is read ahead below it; the walk plans what it does not find.
  }
  j->stage = job::state::listed;
  if (walk_waits_) done_cv_.notify_all();
  open_or_pause(j, 0, lock);
}

void walk_read_ahead::walker_main() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    work_cv_.wait(lock, [&] { return quit_ || pending_ > 0 || !resume_.empty(); });
    if (quit_) return;
    if (!resume_.empty()) {
      // A paused directory the walk has reached comes before anything further ahead.
      const std::shared_ptr<job> j = std::move(resume_.back());
      resume_.pop_back();
      ++running_;
      open_or_pause(j, j->paused_at, lock);
      if (--running_ == 0 && walk_waits_) done_cv_.notify_all();
      continue;
    }
    // The earliest directory in the walk's order first: the walk needs it soonest.
    auto it = jobs_.begin();
    while (it->second->stage != job::state::pending) ++it;
    const std::shared_ptr<job> j = it->second;
    const walk_key key = it->first;
    j->stage = job::state::running;
    --pending_;
    ++running_;
    run_job(key, j, lock);
    if (--running_ == 0 && walk_waits_) done_cv_.notify_all();
  }
}

}  // namespace bytrove
