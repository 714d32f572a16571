#include "tools/qxnet/QXCli.h"

#include <codecvt>
#include <exception>
#include <locale>

#include "qxnet/common/QXException.h"
#include "qxnet/platform/QXDebugOutput.h"
#include "sim/QXSimulator.h"
#include "tools/qxnet/QXCliOutput.h"

namespace QXCli {

std::function<void()> Action(Global& global, std::function<int()> body) {
    return [&global, body = std::move(body)] {
        // Parsing is complete here, so --verbose is known wherever it was written.
        if (!global.verbose) {
            QX::DebugSink::Set(&QX::DebugSink::Silent());
        }
        try {
            global.exitCode = body();
        } catch (const QX::Exception& e) {
            global.exitCode = Error(Narrow(e.message));
        } catch (const std::exception& e) {
            global.exitCode = Error(e.what());
        }
    };
}

bool ParseAddress(const std::string& text, std::uint32_t& hostOrder) {
    return QXSim::TextToAddress(text, hostOrder);
}

const CLI::Validator CheckIPv4(
    [](std::string& text) {
        std::uint32_t unused = 0;
        return ParseAddress(text, unused) ? std::string()
                                          : "\"" + text + "\" is no IPv4 address (a.b.c.d)";
    },
    "IPv4", "IPv4");

CLI::Option* AddRequiredAddress(CLI::App* command, const std::string& name, std::string& address,
                                const std::string& help) {
    return command->add_option(name, address, help)->required()->check(CheckIPv4);
}

CLI::Validator NotEmpty(const std::string& what) {
    return CLI::Validator(
        [what](std::string& text) { return text.empty() ? "the " + what + " is empty" : ""; }, "",
        "non-empty " + what);
}

const CLI::Validator NonNegative(
    [](std::string& text) {
        long long value = -1;
        return CLI::detail::lexical_cast(text, value) && value >= 0
                   ? std::string()
                   : "\"" + text + "\" is not a number of 0 or more";
    },
    "", "NonNegative");

bool ParseHex(const std::string& text, std::vector<std::uint8_t>& bytes) {
    std::vector<std::uint8_t> parsed;
    int high = -1;
    for (char c : text) {
        int digit = -1;
        if (c >= '0' && c <= '9') {
            digit = c - '0';
        } else if (c >= 'a' && c <= 'f') {
            digit = c - 'a' + 10;
        } else if (c >= 'A' && c <= 'F') {
            digit = c - 'A' + 10;
        } else if ((c == ' ' || c == ':') && high < 0) {
            continue;
        } else {
            return false;
        }
        if (high < 0) {
            high = digit;
        } else {
            parsed.push_back(static_cast<std::uint8_t>(high * 16 + digit));
            high = -1;
        }
    }
    if (high >= 0) {
        return false;
    }
    bytes = std::move(parsed);
    return true;
}

// std::wstring_convert is deprecated but still the standard library's only UTF-8 converter;
// the CLI has no other use for a Unicode library.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
std::string Narrow(const std::wstring& text) {
    std::wstring_convert<std::codecvt_utf8<wchar_t>> convert("?");
    return convert.to_bytes(text);
}

std::wstring Widen(const std::string& text) {
    std::wstring_convert<std::codecvt_utf8<wchar_t>> convert("?", L"?");
    return convert.from_bytes(text);
}
#pragma GCC diagnostic pop

}  // namespace QXCli
