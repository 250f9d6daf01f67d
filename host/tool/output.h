// What the user sees: human lines on stdout, or one JSON document (poll:
// one JSON object per line); failures as one line on stderr that names the
// request and the meaning of its result, after the driver's log lines.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "host/tool/log_capture.h"
#include "host/tool/result_text.h"

namespace zulhost {

class Report {
public:
    Report(const std::string& command, bool json, LogCapture& log);

    bool Json() const { return json_; }
    void Say(const std::string& line);         // human mode: a line on stdout
    nlohmann::json& Data() { return data_; }   // the JSON document's fields
    void Stream(const nlohmann::json& object); // json mode: one object on its own line, now

    // A failed driver request: "<subject>: <Request> failed with N: <meaning>".
    // Returns the exit status for it.
    int Fail(const std::string& subject, Request request, std::int32_t result);
    int Fail(const std::string& subject, Request request, std::int32_t result, const std::string& meaning);
    // A failure of the tool's own (no driver result): message and status.
    int FailTool(const std::string& message, int status);

    // From any thread: a frame line of the built-in panel.
    void Trace(const std::string& line);

    // Prints the JSON document (json mode) with "ok", the log and the trace,
    // and returns status.
    int Finish(int status);

private:
    void Failed(const std::string& message, int status);

    std::string command_;
    bool json_;
    LogCapture& log_;
    nlohmann::json data_ = nlohmann::json::object();
    bool failed_ = false;
    bool streamed_ = false; // poll: the document is one line too
    std::mutex traceMutex_;
    std::vector<std::string> trace_;
};

// JSON text that tolerates bytes that are not UTF-8.
std::string DumpJson(const nlohmann::json& value, int indent);

} // namespace zulhost
