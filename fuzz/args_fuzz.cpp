// The console front end's command line: the input split on NUL bytes is the argument vector
// after the program name.
//
// Properties: an accepted command line has no error text and a refused one has one; --demo is
// never accepted together with --port or --file; parsing is repeatable; the usage text names the
// program; and an accepted command line, written back out from its options as "--opt=value"
// arguments, parses to the same options.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "FuzzInput.h"
#include "console/Options.h"

namespace korv::fuzz {
namespace {

bool SameOptions(const ConsoleOptions& a, const ConsoleOptions& b) {
    return a.port == b.port && a.file == b.file && a.sendNow == b.sendNow && a.repeat == b.repeat &&
           a.listPorts == b.listPorts && a.help == b.help && a.demo == b.demo;
}

std::vector<std::string> WriteBack(const ConsoleOptions& o) {
    std::vector<std::string> args{"--console"};
    if (!o.port.empty()) {
        args.push_back("--port=" + o.port);
    }
    if (!o.file.empty()) {
        args.push_back("--file=" + o.file);
    }
    const std::pair<bool, const char*> flags[] = {{o.sendNow, "--send-now"},
                                                  {o.repeat, "--repeat"},
                                                  {o.listPorts, "--list-ports"},
                                                  {o.help, "--help"},
                                                  {o.demo, "--demo"}};
    for (const auto& [set, name] : flags) {
        if (set) {
            args.emplace_back(name);
        }
    }
    return args;
}

void Run(FuzzInput& in) {
    const std::string text(in.Rest());
    std::vector<std::string> args;
    if (!text.empty()) {
        size_t start = 0;
        for (;;) {
            const size_t nul = text.find('\0', start);
            args.push_back(text.substr(start, nul - start));
            if (nul == std::string::npos) {
                break;
            }
            start = nul + 1;
        }
    }

    const ParseResult r = ParseConsoleOptions(args);
    KORV_FUZZ_CHECK(r.ok == r.error.empty());
    size_t longest = 0;
    for (const std::string& a : args) {
        longest = std::max(longest, a.size());
    }
    // The reason names at most the one offending argument, with a sentence around it (the
    // longest: an --expect pattern with the regular expression library's own reason).
    KORV_FUZZ_CHECK(r.error.size() <= longest + 200);

    const ParseResult again = ParseConsoleOptions(args);
    KORV_FUZZ_CHECK(again.ok == r.ok && again.error == r.error &&
                    SameOptions(again.options, r.options));

    const std::string programName = args.empty() ? std::string("korvalin") : args[0];
    KORV_FUZZ_CHECK(ConsoleUsage(programName).find(programName) != std::string::npos);

    if (!r.ok) {
        return;
    }
    const ConsoleOptions& o = r.options;
    KORV_FUZZ_CHECK(!(o.demo && (!o.port.empty() || !o.file.empty())));
    const ParseResult back = ParseConsoleOptions(WriteBack(o));
    KORV_FUZZ_CHECK(back.ok);
    KORV_FUZZ_CHECK(SameOptions(back.options, o));
}

}  // namespace
}  // namespace korv::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    korv::fuzz::FuzzInput in(data, size);
    korv::fuzz::Run(in);
    return 0;
}
