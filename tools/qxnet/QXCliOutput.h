#pragma once

#include <cstdint>
#include <iosfwd>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace QXCli {

// Output for people (tables, a progress bar on terminals) and for programs (JSON), and the
// one-line errors. Everything runs on the command's thread.

// Columns as wide as their widest cell, a rule under the headers.
void PrintTable(std::ostream& out, const std::vector<std::string>& headers,
                const std::vector<std::vector<std::string>>& rows);
// Indented JSON and a line feed.
void PrintJson(std::ostream& out, const nlohmann::json& value);
// "qxnet: message" on standard error; returns 2, the exit code of a usage or system error.
int Error(const std::string& message);

// A progress bar on standard error, drawn only when standard error is a terminal (and so never
// mixed into output that a program reads). Finish or destruction ends its line.
class Progress {
public:
    Progress(std::string label, std::uint64_t total);
    ~Progress();
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;

    void Update(std::uint64_t done);
    void Finish();

private:
    std::string m_label;
    std::uint64_t m_total;
    bool m_visible;
    bool m_finished = false;
    int m_lastWidth = -1;
};

}  // namespace QXCli
