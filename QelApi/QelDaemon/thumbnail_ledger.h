// The thumbnails one run of the daemon has written, recorded in the thumbnail
// folder in "<instance id>.thumbnails", one file name a line. The run keeps its
// record locked (flock) for as long as it lives; the kernel lets the lock go
// when the process ends, however it ends. So "cleanthumbnail" can tell the
// thumbnails of a run that has ended from those of a live run (another daemon
// on another port), and removes only files that an ended run's record names:
// a file that merely looks like a thumbnail is never touched.
//
// Thread safety: record() may be called from any thread; claim() before the
// handlers run. RemoveEndedRunsThumbnails is reentrant; two daemons that clean
// at the same time take turns on each record through its lock.
#pragma once

#include <mutex>
#include <string>

#include "common/unique_fd.h"

namespace qel {

class ThumbnailLedger {
 public:
  enum class Claim { Claimed, IdTaken, Failed };

  // Makes the record of `instanceId` in `folder`, already locked when its name
  // appears (made under a passing name, locked, then linked to its own name),
  // so no other run ever sees it unlocked. IdTaken when a record of that id
  // exists (a live run, or an ended one not yet cleaned): its thumbnails'
  // names belong to that run. Failed when the folder cannot take the file.
  Claim claim(const std::string& folder, const std::string& instanceId);
  bool claimed() const;

  // Adds `fileName` to the record. Called before the file is written, so a run
  // that ends in between still accounts for it. False without a record or
  // when the line could not be written.
  bool record(const std::string& fileName);

 private:
  mutable std::mutex mutex_;
  UniqueFd fd_;
};

// The record's file name for an instance id.
std::string ThumbnailRecordName(const std::string& instanceId);

// Removes from `folder` every thumbnail named in the record of a run that has
// ended (its record not locked), then that record. Records of live runs and of
// `ownInstanceId`, records of another user, and names in a record that are not
// that run's thumbnail names ("<its id>_<n>.png") or not plain files are left
// alone. Returns the number of thumbnails removed.
int RemoveEndedRunsThumbnails(const std::string& folder, const std::string& ownInstanceId);

}  // namespace qel
