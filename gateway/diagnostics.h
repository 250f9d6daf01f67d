// Refusals found while reading a configuration, each as "FILE:LINE: message"
// (line 0 when it concerns a file as a whole), in the order they were found;
// and warnings, "FILE:LINE: warning: message", which do not refuse it.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace zulgate {

struct Diagnostic {
    std::string file;
    int line = 0;
    std::string message;
    bool warning = false;
    std::string Text() const {
        std::string where = line > 0 ? file + ":" + std::to_string(line) + ": " : file + ": ";
        return where + (warning ? "warning: " : "") + message;
    }
};

class Diagnostics {
public:
    void Add(const std::string& file, int line, const std::string& message) {
        all_.push_back({file, line, message, false});
        ++errors_;
    }
    void Warn(const std::string& file, int line, const std::string& message) {
        all_.push_back({file, line, message, true});
    }
    // Refusals only: warnings do not count.
    bool Empty() const { return errors_ == 0; }
    std::size_t Count() const { return errors_; }
    std::size_t Warnings() const { return all_.size() - errors_; }
    const std::vector<Diagnostic>& All() const { return all_; }
    void Print(std::FILE* out) const {
        for (const Diagnostic& d : all_) std::fprintf(out, "%s\n", d.Text().c_str());
    }

private:
    std::vector<Diagnostic> all_;
    std::size_t errors_ = 0;
};

} // namespace zulgate
