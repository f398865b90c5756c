// A piece of work timed beside its physical floor in the same benchmark, the two taking turns
// so that both meet the same machine; the ratio of their times is reported as a counter.
#pragma once

#include <benchmark/benchmark.h>

#include <chrono>

namespace halshift::bench {

class WorkBesideFloor {
 public:
  // Runs the work and the floor once each (each first every other time) and makes the work's
  // time the iteration's time (for benchmarks with UseManualTime). False when either failed.
  template <typename Work, typename Floor>
  bool Step(benchmark::State& state, Work&& work, Floor&& floor) {
    double workSeconds = 0;
    double floorSeconds = 0;
    bool done = true;
    const auto time = [&done](auto& step, double& seconds) {
      const auto start = Clock::now();
      done = step() && done;
      seconds = std::chrono::duration<double>(Clock::now() - start).count();
    };
    if (workFirst_) {
      time(work, workSeconds);
      time(floor, floorSeconds);
    } else {
      time(floor, floorSeconds);
      time(work, workSeconds);
    }
    workFirst_ = !workFirst_;
    state.SetIterationTime(workSeconds);
    work_ += workSeconds;
    floor_ += floorSeconds;
    return done;
  }

  // "floor": the floor's seconds per iteration; "ratio": the work's time over the floor's.
  void Report(benchmark::State& state) const {
    state.counters["floor"] = benchmark::Counter(floor_, benchmark::Counter::kAvgIterations);
    state.counters["ratio"] = floor_ > 0 ? work_ / floor_ : 0;
  }

 private:
  using Clock = std::chrono::steady_clock;
  double work_ = 0;
  double floor_ = 0;
  bool workFirst_ = true;
};

}  // namespace halshift::bench
