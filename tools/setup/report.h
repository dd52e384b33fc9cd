// What check says: one line a finding, marked "ok", "-", "WARNING" or
// "PROBLEM", with what to do about it indented below.
#pragma once

#include <cstring>
#include <iostream>
#include <string>
#include <vector>

inline constexpr size_t MARK_WIDTH = 9;   // the first column: the mark, padded

class Report {
public:
    void Ok(const std::string& subject, const std::string& text) { Line("ok", subject, text); }
    void Note(const std::string& subject, const std::string& text) { Line("-", subject, text); }
    void Warning(const std::string& subject, const std::string& text, const std::string& advice)
    {
        Line("WARNING", subject, text);
        Indented(advice);
    }
    void Problem(const std::string& subject, const std::string& text, const std::string& fix)
    {
        Line("PROBLEM", subject, text);
        Indented("fix: " + fix);
        ++problems_;
    }
    // Lines shown under the last one, such as the end of a host's log.
    void Details(const std::string& heading, const std::vector<std::string>& lines)
    {
        if (lines.empty())
            return;
        Indented(heading);
        for (const std::string& line : lines)
            Indented("  " + line);
    }
    int problems() const { return problems_; }

private:
    static void Line(const char* mark, const std::string& subject, const std::string& text)
    {
        std::cout << mark << std::string(MARK_WIDTH - std::strlen(mark), ' ') << subject << ": " << text << "\n";
    }
    static void Indented(const std::string& text) { std::cout << std::string(MARK_WIDTH, ' ') << text << "\n"; }
    int problems_ = 0;
};
