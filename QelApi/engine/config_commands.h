// The synchronous requests that run on the export caller's thread: the
// configuration commands, the "process" request, the media-property probe and
// the ffprobe run they share.
//
// Thread safety: callable from any thread. processLavfiRequest holds the engine
// mutex for its whole parse (EngineContext::parseRequest); the others hold it
// only to read or write the configuration.
#pragma once

#include <string>

namespace qel {

class EngineContext;

// "sethwaccel" / "setloglevel": 0, or 6510 for a null or bad request.
int setConfig(EngineContext& engine, const char* request);

// "gethwaccel" / "getloglevel": 6510 for a null request (reply stays empty),
// else 0 with `reply` filled (the error reply for an unknown request).
int getConfig(EngineContext& engine, const char* request, std::string& reply);

// 6510 for a null request (reply stays empty), else 0 with the process reply.
int processLavfiRequest(EngineContext& engine, const char* request, std::string& reply);

// ffprobe with streams on `path`, with the failure and notice log lines; `props`
// receives what ffprobe printed. Result: 0, 6500, 6510 or 6518.
int getMediaProperties(EngineContext& engine, const char* path, std::string& props);

// ffprobe on one UTF-8 media path with the configured program; appends its
// output to `output`. Result: 0, 6500 (no such file), 6510 (null path) or 6518.
int runProbe(EngineContext& engine, const char* path, std::string& output, bool formatOnly);

}  // namespace qel
