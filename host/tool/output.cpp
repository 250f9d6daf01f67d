#include "host/tool/output.h"

#include <cstdio>

namespace zulhost {

std::string DumpJson(const nlohmann::json& value, int indent) {
    return value.dump(indent, ' ', false, nlohmann::json::error_handler_t::replace);
}

Report::Report(const std::string& command, bool json, LogCapture& log) : command_(command), json_(json), log_(log) {
    data_["command"] = command;
}

void Report::Say(const std::string& line) {
    if (!json_) std::printf("%s\n", line.c_str());
}

void Report::Stream(const nlohmann::json& object) {
    streamed_ = true;
    std::printf("%s\n", DumpJson(object, -1).c_str());
    std::fflush(stdout);
}

int Report::Fail(const std::string& subject, Request request, std::int32_t result) {
    return Fail(subject, request, result, ResultMeaning(request, result));
}

int Report::Fail(const std::string& subject, Request request, std::int32_t result, const std::string& meaning) {
    std::string message = subject + ": " + RequestName(request) + " failed with " + std::to_string(result) + ": " +
                          meaning;
    int status = ExitStatusFor(result);
    if (!failed_) {
        data_["failedRequest"] = RequestName(request);
        data_["result"] = result;
    }
    Failed(message, status);
    return status;
}

int Report::FailTool(const std::string& message, int status) {
    Failed(message, status);
    return status;
}

void Report::Failed(const std::string& message, int status) {
    log_.ShowAfterFailure(0);
    std::fprintf(stderr, "%s\n", message.c_str());
    if (!failed_) {
        data_["error"] = message;
        data_["exitStatus"] = status;
    }
    failed_ = true;
}

void Report::Trace(const std::string& line) {
    std::lock_guard<std::mutex> lock(traceMutex_);
    if (json_) {
        trace_.push_back(line);
    } else {
        std::fprintf(stderr, "panel: %s\n", line.c_str());
    }
}

int Report::Finish(int status) {
    if (!json_) {
        std::fflush(stdout);
        return status;
    }
    data_["ok"] = status == 0;
    nlohmann::json lines = nlohmann::json::array();
    for (const LogLine& line : log_.Lines()) lines.push_back({{"level", line.level}, {"text", line.text}});
    data_["log"] = lines;
    {
        std::lock_guard<std::mutex> lock(traceMutex_);
        if (!trace_.empty()) data_["trace"] = trace_;
    }
    std::printf("%s\n", DumpJson(data_, streamed_ ? -1 : 2).c_str());
    std::fflush(stdout);
    return status;
}

} // namespace zulhost
