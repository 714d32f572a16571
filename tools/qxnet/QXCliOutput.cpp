#include "tools/qxnet/QXCliOutput.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <iostream>

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

int Error(const std::string& message) {
    std::cerr << "qxnet: " << message << std::endl;
    return 2;
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
