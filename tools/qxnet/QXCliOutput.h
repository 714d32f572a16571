#pragma once

#include <cstdint>
#include <iosfwd>
#include <memory>
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
// "qxnet: message" on standard error, as one line: control characters become blanks and every
// over-long word (a name, an argument given back) is shortened to its start and end.
void Warn(const std::string& message);
// Warn, then 2: the exit code of a usage or system error.
int Error(const std::string& message);
// text itself when short, else its first and last characters around "...".
std::string Shorten(const std::string& text);

// Flushes standard output; false with the reason when any write to it failed so far.
bool StandardOutputWritten(std::string& reason);
// Flushes and closes standard output; false with the reason when any write to it failed, the
// last buffered bytes included.
bool FinishStandardOutput(std::string& reason);

// A file that a command writes as its output (-o). A regular file (or a new one) is written
// under a temporary name beside it and renamed into place by Commit only, so a command that
// fails, or is never committed, leaves the old file as it was. Anything else (a device such as
// /dev/null or /dev/full, a pipe) is written in place, as there is nothing there to keep.
class OutputFile {
public:
    // Throws std::runtime_error (a one-line reason naming the file) when it cannot be created.
    explicit OutputFile(const std::string& target);
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    std::ostream& Stream();
    // False for a target that is no regular file: it is written in place and cannot be rewound.
    bool Rewindable() const { return !m_temporary.empty(); }
    // Takes back everything written after the first size bytes of a rewindable file.
    void Rewind(std::uint64_t size);
    // Writes out what is buffered, syncs, closes and renames into place; false with the reason
    // when any of it (or any earlier write) failed, and the old file is then left alone.
    bool Commit(std::string& reason);

private:
    class Buffer;
    std::string m_target;
    std::string m_temporary;  // empty: written in place
    std::unique_ptr<Buffer> m_buffer;
    std::unique_ptr<std::ostream> m_stream;
};

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
