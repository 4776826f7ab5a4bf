#pragma once

// Walkers: threads that list the directories of a recursive walk and open the files it will
// search, ahead of it, so that a tree of many small files is not held to one thread's system
// calls. The walk itself stays on its caller's thread and keeps the order: it takes each
// directory's plan (directory_plan.h) when it reaches that directory, and hands the files on
// in the order and with the messages of a walk that reads nothing ahead.
//
// Owns its threads and every descriptor it opened and has not handed over. Requires a
// file_system whose list_directory and open_file may run on several threads at once.
// Bounded: at most k_max_planned directories planned ahead (their listings in memory; two more
// per level of the walk for what it enters next), at most
// `open_budget` files held open ahead. Walkers never wait for room: a file they could not open
// (no room, no descriptor, any failure) is left for the walk to open itself, in its place, so
// running short of descriptors changes nothing in the output.

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "walk/directory_plan.h"
#include "walk/file_system.h"
#include "walk/walk_directory.h"

namespace bytrove {

class walk_read_ahead {
 public:
  // Where a directory stands in the walk: the indexes of the subdirectories leading to it.
  // Keys in std::vector order are the walk's own order (a directory before what is below it).
  using walk_key = std::vector<std::uint32_t>;
  // One directory read ahead: its plan, and how far its files have been opened.
  struct job;

  static constexpr std::size_t k_max_planned = 256;

  // Starts up to `walkers` threads (fewer when the system refuses more; see walkers_started).
  walk_read_ahead(file_system& fs, unsigned walkers, std::size_t open_budget);
  ~walk_read_ahead();
  walk_read_ahead(const walk_read_ahead&) = delete;
  walk_read_ahead& operator=(const walk_read_ahead&) = delete;

  unsigned walkers_started() const { return static_cast<unsigned>(threads_.size()); }

  // Brackets one walk: what its directories are planned with, and (end) dropping whatever was
  // read ahead and not taken, closing its descriptors.
  void begin(const std::string& name_pattern, const walk_options& options);
  void end();

  // Asks for the plans of `subdirs` from `from` on (the subdirectories of the directory at
  // `parent`, named `dir`), as far as there is room.
  void request(const walk_key& parent, const std::string& dir,
               const std::vector<std::string>& subdirs, std::size_t from);
  // The directory at `key`, listed: by a walker (waiting for it; a walker may still be opening
  // its files), or here when none was asked to or its listing failed there (`more_descriptors`
  // as for plan_directory).
  std::shared_ptr<job> take(const walk_key& key, const std::string& dir,
                            const std::function<bool()>& more_descriptors);
  static const directory_plan& plan_of(const job& j);
  // The descriptor opened ahead for file `i` of a taken job, now the caller's; -1 when it was
  // not opened ahead. Waits until the walker has got past that file.
  int take_descriptor(job& j, std::size_t i);
  // Closes what a taken job opened ahead from file `from` on; true when it held any.
  bool close_ahead(job& j, std::size_t from);
  // Out of descriptors: stops opening ahead for the rest of the run and closes every file
  // held open ahead by jobs not yet taken; true when there were any.
  bool release_descriptors();

 private:
  void walker_main();
  // Runs a job on a walker: lists, hands the plan over, then opens its files one by one.
  void run_job(const walk_key& key, const std::shared_ptr<job>& j,
               std::unique_lock<std::mutex>& lock);
  // Opens the plan's files from `from` on, publishing each as it is settled. A directory the
  // walk has not reached keeps to half the budget: false when it paused there for room.
  bool open_ahead(job& j, std::size_t from);
  // Under the lock (released meanwhile): open_ahead, and on a pause queues the job to go on
  // once the walk reaches it.
  void open_or_pause(const std::shared_ptr<job>& j, std::size_t from,
                     std::unique_lock<std::mutex>& lock);
  // Closes the descriptors a settled plan holds from file `from` on; true when it held any.
  bool close_fds(directory_plan& plan, std::size_t from);
  // Under the lock: adds jobs for subdirectories while there is room (`urgent`: the walk's
  // next two whatever the bound).
  void add_jobs(const walk_key& parent, const std::string& dir,
                const std::vector<std::string>& subdirs, std::size_t from, bool urgent);
  // Under the lock: waits until no walker is at work, then closes every held descriptor.
  std::size_t close_held(std::unique_lock<std::mutex>& lock);
  // Waits until the job's first `upto` files are settled.
  static void wait_settled(job& j, std::size_t upto);
  // A walker: files [0, settled) of the job are settled.
  static void publish(job& j, std::uint32_t settled);

  file_system& fs_;
  const std::size_t open_budget_;
  std::string name_pattern_;
  walk_options options_;

  std::mutex mutex_;
  std::condition_variable work_cv_;  // walkers: a job was added, or the end
  std::condition_variable done_cv_;  // the walk: a job was listed, or no walker is at work
  std::map<walk_key, std::shared_ptr<job>> jobs_;  // requested and not yet taken, walk order
  std::vector<std::shared_ptr<job>> resume_;       // paused and reached: to go on first
  std::size_t pending_ = 0;
  unsigned running_ = 0;
  bool walk_waits_ = false;           // the walk waits on done_cv_
  std::atomic<std::size_t> held_{0};  // opened ahead, not yet taken or closed
  std::atomic<bool> no_opens_{false};
  bool quit_ = false;
  std::vector<std::thread> threads_;
};

}  // namespace bytrove
