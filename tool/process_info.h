// Process information from /proc: a walk over all processes in ascending id
// order and the queries built on it (children, parent, name, existence, the
// first process of an executable that a filter accepts), the image path, and
// the window, bitness and privilege questions. A window handle is the X
// window id carried in the pointer, a process handle the process id carried
// in the pointer. There are no access tokens: a privilege is enabled as the
// Linux capability that corresponds to it, where there is one.
//
// Thread safety: stateless, callable from any thread. A walk is a moment's
// picture; processes may start or end during it.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "tool/export.h"

namespace tool {

struct TOOL_API ProcessEntry {
  uint64_t process_id = 0;
  uint64_t parent_process_id = 0;
  std::wstring exe_file;  // file name only, without folder
};

// Calls `callback` for each process until it answers false; an empty callback
// stops the walk before the first process.
TOOL_API void ProcessLoop(std::function<bool(const ProcessEntry&)> callback);
TOOL_API std::vector<uint64_t> GetProceeIDfromParentID(uint64_t parent_id);
TOOL_API uint64_t GetProceeParentID(uint64_t process_id);
TOOL_API std::string GetProcessName(uint64_t process_id);
TOOL_API bool IsExistProcess(uint64_t process_id);
// The first process whose executable name equals `exe_name` (ignoring ASCII
// case) and that `filter` (process id, parent id) accepts; 0 when none, or
// when `filter` is empty (logged).
TOOL_API uint64_t GetRunningApplicationProcessID(const std::string& exe_name,
                                                 std::function<bool(uint64_t, uint64_t)> filter);
// The full path of the process's executable, or "".
TOOL_API std::string GetProcessPath(uint64_t process_id);
// The first top-level window of the process on the X server of $DISPLAY,
// from the top of the stacking order down, that has at least one child
// window (tool/process_window.cpp); null for id 0, without a display or the X
// libraries, or when the process has no such window.
TOOL_API void* GetWindowHandleByPID(uint64_t process_id);
// False for a process that runs a 32-bit program (the class of its
// executable, /proc/<pid>/exe); otherwise, and when the executable cannot be
// read (null handle, no such process, another user's process), whether the
// machine is x64.
TOOL_API bool Is64BitProcess(void* process_handle);
// Raises the capability that corresponds to `privilege` (SeDebugPrivilege:
// CAP_SYS_PTRACE, ...) in the calling thread's effective set; false when there
// is none, it is not permitted, or a token other than null is given.
TOOL_API bool GrantPriviledge(void* token, const std::string& privilege);

}  // namespace tool
