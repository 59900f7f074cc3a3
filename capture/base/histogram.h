// Histograms of capture events ("Capture.DesktopCapture.BlankFrameDetected" and
// the like). A metrics back end would create the registry; nothing in this
// system does, so every lookup answers null and no sample is recorded. The
// callers keep their lookups so that a back end can be attached.
//
// Thread safety: the registry and every record have their own lock.
#pragma once

#include <map>
#include <memory>
#include <string>

#include "capture/base/lock.h"

namespace capture {

// One histogram: samples clamped to [minimum - 1, maximum], at most
// kMaxDistinctSamples distinct values.
class HistogramRecord {
 public:
  static constexpr size_t kMaxDistinctSamples = 300;

  HistogramRecord(std::string name, int boundary)
      : minimum_(1), maximum_(boundary), name_(std::move(name)), bucketCount_(boundary + 1) {}

  void Add(int sample);
  // Count of `value` (tests).
  int CountOf(int value);
  const std::string& name() const { return name_; }
  int bucketCount() const { return bucketCount_; }

 private:
  Lock lock_;
  int minimum_;
  int maximum_;
  std::string name_;
  int bucketCount_;
  std::map<int, int> samples_;
};

class HistogramRegistry {
 public:
  // The record stored under `name`, made with `boundary` when there is none.
  HistogramRecord* FindOrMake(const std::string& name, int boundary);

 private:
  Lock lock_;
  std::map<std::string, std::unique_ptr<HistogramRecord>> records_;
};

// The record for `name` from the process's registry, or null without one.
HistogramRecord* FindEnumHistogram(const std::string& name, int boundary);
// Counts one sample (clamped) in `histogram`.
void AddHistogramSample(HistogramRecord* histogram, int sample);
// Looks up the boolean histogram `name` and counts `sample` when there is one.
void CountBooleanHistogram(const std::string& name, bool sample);

}  // namespace capture
