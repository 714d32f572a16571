#include "tools/qxnet/QXCliOutput.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <stdexcept>
#include <streambuf>

namespace QXCli {

void PrintTable(std::ostream& out, const std::vector<std::string>& headers,
                const std::vector<std::vector<std::string>>& rows) {
    std::vector<std::size_t> widths(headers.size());
    for (std::size_t c = 0; c < headers.size(); ++c) {
        widths[c] = headers[c].size();
        for (const auto& row : rows) {
            if (c < row.size()) {
                widths[c] = std::max(widths[c], row[c].size());
            }
        }
    }
    auto line = [&](const std::vector<std::string>& cells) {
        std::string text;
        for (std::size_t c = 0; c < headers.size(); ++c) {
            const std::string cell = c < cells.size() ? cells[c] : std::string();
            text += cell;
            // The last column is not padded, so lines carry no trailing blanks.
            if (c + 1 < headers.size()) {
                text.append(widths[c] - cell.size() + 2, ' ');
            }
        }
        out << text << '\n';
    };
    line(headers);
    std::vector<std::string> rule;
    for (std::size_t width : widths) {
        rule.emplace_back(width, '-');
    }
    line(rule);
    for (const auto& row : rows) {
        line(row);
    }
}

void PrintJson(std::ostream& out, const nlohmann::json& value) {
    out << value.dump(2) << '\n';
}

std::string Shorten(const std::string& text) {
    constexpr std::size_t kLongest = 64;
    constexpr std::size_t kHead = 40;
    constexpr std::size_t kTail = kLongest - kHead - 3;
    if (text.size() <= kLongest) {
        return text;
    }
    return text.substr(0, kHead) + "..." + text.substr(text.size() - kTail);
}

void Warn(const std::string& message) {
    std::string line;
    std::string word;
    for (char c : message + ' ') {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F || c == ' ') {
            line += Shorten(word);
            line += ' ';
            word.clear();
        } else {
            word += c;
        }
    }
    line.pop_back();
    std::cerr << "qxnet: " << line << std::endl;
}

int Error(const std::string& message) {
    Warn(message);
    return 2;
}

bool StandardOutputWritten(std::string& reason) {
    // The first failure's errno is the one worth telling: a retried flush may find the buffer
    // already given up.
    errno = 0;
    bool ok = static_cast<bool>(std::cout.flush());
    int error = errno;
    ok = std::fflush(stdout) == 0 && ok;
    error = error != 0 ? error : errno;
    ok = !std::ferror(stdout) && ok;
    if (!ok) {
        reason = error != 0 ? std::strerror(error) : "write failed";
    }
    return ok;
}

bool FinishStandardOutput(std::string& reason) {
    if (!StandardOutputWritten(reason)) {
        std::fclose(stdout);
        return false;
    }
    if (std::fclose(stdout) != 0) {
        reason = std::strerror(errno);
        return false;
    }
    return true;
}

// Writes straight to a descriptor and keeps the first failure, so that Commit can tell why.
class OutputFile::Buffer : public std::streambuf {
public:
    explicit Buffer(int fd) : m_fd(fd) { setp(m_bytes, m_bytes + sizeof m_bytes); }
    ~Buffer() override { Close(); }
    int Error() const { return m_error; }
    // Writes out the buffer; false when this or an earlier write failed.
    bool Drain() {
        const bool written = WriteAll(pbase(), pptr());
        setp(m_bytes, m_bytes + sizeof m_bytes);
        return written;
    }
    void Fail(int error) {
        if (m_error == 0) {
            m_error = error;
        }
    }
    int Descriptor() const { return m_fd; }
    void Close() {
        if (m_fd >= 0 && ::close(m_fd) != 0) {
            Fail(errno);
        }
        m_fd = -1;
    }

protected:
    int_type overflow(int_type c) override {
        if (!Drain()) {
            return traits_type::eof();
        }
        if (!traits_type::eq_int_type(c, traits_type::eof())) {
            *pptr() = traits_type::to_char_type(c);
            pbump(1);
        }
        return traits_type::not_eof(c);
    }
    int sync() override { return Drain() ? 0 : -1; }
    // A piece as large as the buffer goes out in one write of its own rather than being copied
    // through the buffer: bodies arrive in such pieces.
    std::streamsize xsputn(const char* data, std::streamsize size) override {
        if (size < static_cast<std::streamsize>(sizeof m_bytes)) {
            return std::streambuf::xsputn(data, size);
        }
        return Drain() && WriteAll(data, data + size) ? size : 0;
    }

private:
    bool WriteAll(const char* at, const char* end) {
        while (m_error == 0 && at < end) {
            ssize_t n = ::write(m_fd, at, static_cast<std::size_t>(end - at));
            if (n < 0 && errno != EINTR) {
                m_error = errno;
            } else if (n > 0) {
                at += n;
            }
        }
        return m_error == 0;
    }

    int m_fd;
    int m_error = 0;
    char m_bytes[1 << 16];
};

OutputFile::OutputFile(const std::string& target) : m_target(target) {
    struct stat info {};
    int fd = -1;
    if (::stat(target.c_str(), &info) == 0 && !S_ISREG(info.st_mode)) {
        fd = ::open(target.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    } else {
        // Beside the file that a link points to, so that the rename replaces that file and
        // keeps the link.
        std::string path = target;
        if (char* real = ::realpath(target.c_str(), nullptr)) {
            path = real;
            std::free(real);
        }
        std::size_t slash = path.rfind('/');
        std::string directory = slash == std::string::npos ? "" : path.substr(0, slash + 1);
        std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
        m_target = path;
        m_temporary = directory + "." + name + ".qxnet-XXXXXX";
        fd = ::mkstemp(m_temporary.data());
        if (fd >= 0) {
            // The mode a new file would get, or the old file's: mkstemp's 0600 is for its own
            // safety only.
            mode_t mask = ::umask(0);
            ::umask(mask);
            mode_t mode = S_ISREG(info.st_mode) ? info.st_mode & 07777 : 0666 & ~mask;
            ::fchmod(fd, mode);
        } else {
            m_temporary.clear();
        }
    }
    if (fd < 0) {
        throw std::runtime_error("cannot write \"" + target + "\": " + std::strerror(errno));
    }
    m_buffer = std::make_unique<Buffer>(fd);
    m_stream = std::make_unique<std::ostream>(m_buffer.get());
}

OutputFile::~OutputFile() {
    if (m_buffer) {
        m_buffer->Close();
    }
    if (!m_temporary.empty()) {
        ::unlink(m_temporary.c_str());
    }
}

std::ostream& OutputFile::Stream() {
    return *m_stream;
}

void OutputFile::Rewind(std::uint64_t size) {
    if (!Rewindable()) {
        return;
    }
    m_buffer->Drain();
    const auto offset = static_cast<off_t>(size);
    if (::ftruncate(m_buffer->Descriptor(), offset) != 0 ||
        ::lseek(m_buffer->Descriptor(), offset, SEEK_SET) != offset) {
        m_buffer->Fail(errno);
    }
}

bool OutputFile::Commit(std::string& reason) {
    m_buffer->Drain();
    if (!m_temporary.empty() && m_buffer->Error() == 0 && ::fsync(m_buffer->Descriptor()) != 0) {
        m_buffer->Fail(errno);
    }
    m_buffer->Close();
    if (m_buffer->Error() == 0 && !m_temporary.empty()) {
        if (::rename(m_temporary.c_str(), m_target.c_str()) != 0) {
            m_buffer->Fail(errno);
        } else {
            m_temporary.clear();
        }
    }
    if (m_buffer->Error() != 0) {
        reason = std::strerror(m_buffer->Error());
        return false;
    }
    return true;
}

Progress::Progress(std::string label, std::uint64_t total)
    : m_label(std::move(label)), m_total(total), m_visible(isatty(STDERR_FILENO) != 0) {
    Update(0);
}

Progress::~Progress() {
    Finish();
}

void Progress::Update(std::uint64_t done) {
    if (!m_visible || m_finished) {
        return;
    }
    constexpr int kBar = 30;
    int width = m_total == 0 ? kBar : static_cast<int>(std::min(done, m_total) * kBar / m_total);
    if (width == m_lastWidth) {
        return;
    }
    m_lastWidth = width;
    std::fprintf(stderr, "\r%s [%s%s] %llu/%llu", m_label.c_str(), std::string(width, '#').c_str(),
                 std::string(kBar - width, ' ').c_str(), static_cast<unsigned long long>(done),
                 static_cast<unsigned long long>(m_total));
    std::fflush(stderr);
}

void Progress::Finish() {
    if (m_visible && !m_finished) {
        std::fputc('\n', stderr);
    }
    m_finished = true;
}

}  // namespace QXCli
