#include "capture/base/histogram.h"

#include <algorithm>

namespace capture {
namespace {

// No metrics back end exists in this system: the registry stays null.
HistogramRegistry* registry = nullptr;

}  // namespace

void HistogramRecord::Add(int sample) {
  sample = std::max(std::min(sample, maximum_), minimum_ - 1);
  LockGuard guard(&lock_);
  auto it = samples_.find(sample);
  if (it == samples_.end()) {
    if (samples_.size() >= kMaxDistinctSamples) return;
    samples_.emplace(sample, 1);
  } else {
    ++it->second;
  }
}

int HistogramRecord::CountOf(int value) {
  LockGuard guard(&lock_);
  auto it = samples_.find(value);
  return it == samples_.end() ? 0 : it->second;
}

HistogramRecord* HistogramRegistry::FindOrMake(const std::string& name, int boundary) {
  LockGuard guard(&lock_);
  auto& slot = records_[name];
  if (!slot) slot = std::make_unique<HistogramRecord>(name, boundary);
  return slot.get();
}

HistogramRecord* FindEnumHistogram(const std::string& name, int boundary) {
  if (registry == nullptr) return nullptr;
  return registry->FindOrMake(name, boundary);
}

void AddHistogramSample(HistogramRecord* histogram, int sample) { histogram->Add(sample); }

void CountBooleanHistogram(const std::string& name, bool sample) {
  if (HistogramRecord* histogram = FindEnumHistogram(name, 2)) AddHistogramSample(histogram, sample ? 1 : 0);
}

}  // namespace capture
