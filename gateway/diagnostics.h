// Refusals found while reading a configuration, each as "FILE:LINE: message"
// (line 0 when it concerns a file as a whole), in the order they were found.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace zulgate {

struct Diagnostic {
    std::string file;
    int line = 0;
    std::string message;
    std::string Text() const {
        return line > 0 ? file + ":" + std::to_string(line) + ": " + message : file + ": " + message;
    }
};

class Diagnostics {
public:
    void Add(const std::string& file, int line, const std::string& message) { all_.push_back({file, line, message}); }
    bool Empty() const { return all_.empty(); }
    std::size_t Count() const { return all_.size(); }
    const std::vector<Diagnostic>& All() const { return all_; }
    void Print(std::FILE* out) const {
        for (const Diagnostic& d : all_) std::fprintf(out, "%s\n", d.Text().c_str());
    }

private:
    std::vector<Diagnostic> all_;
};

} // namespace zulgate
