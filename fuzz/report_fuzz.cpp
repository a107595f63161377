// Reports read back (--retry-failed) and the tester's lines matched for a verdict: both are bytes
// from outside. The input's first byte picks which; the rest is the report's text or the tester's
// output.
//
// Properties: a retry list names only ports that appear in the report, each once; a refused
// report says why; a recorder fed any tester output writes at most one record per transfer, and a
// verdict line it records is never longer than the bound on a matched line.

#include <cstddef>
#include <cstdint>
#include <set>
#include <sstream>
#include <string>

#include "FuzzInput.h"
#include "station/Report.h"
#include "station/RetryList.h"

namespace korv::fuzz {
namespace {

void Check(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "report_fuzz: %s\n", what);
        __builtin_trap();
    }
}

void RetryListOf(const std::string& text) {
    std::istringstream in(text);
    const RetryList list = ReadRetryList(in, "fuzz");
    Check(list.ok || !list.error.empty(), "a refused report says why");
    std::set<std::string> seen;
    for (const auto& port : list.ports) {
        Check(seen.insert(port).second, "a port is retried once");
        Check(text.find(port) != std::string::npos || port.empty() ||
                  text.find('\\') != std::string::npos,
              "a retried port appears in the report");
    }
}

void VerdictOf(FuzzInput& input) {
    VerdictRules rules;
    rules.expect = CompilePattern("header ok", nullptr);
    rules.reject = CompilePattern("(rej|fail)(ected|ed)+", nullptr);
    rules.unitId = CompileUnitPattern("S/N:? *(\\w+)", nullptr);
    int records = 0;
    CTransferRecorder recorder({}, rules, [&](const TransferRecord& r) {
        ++records;
        Check(r.verdict.size() <= kMaxTesterLine, "a verdict line is bounded");
        Check(r.unit.size() <= kMaxTesterLine, "a unit is bounded");
        Check(r.tester.size() <= kTesterLinesKept, "the tester's lines are bounded");
        Check(!RecordLine(r).empty(), "a record is written");
        return true;
    });
    int transfers = 0;
    bool open = false;
    while (!input.Empty()) {
        const uint8_t op = input.U8();
        if (op % 8 == 0) {
            recorder.TransferStarted(op);
            ++transfers;
            open = true;
        } else if (op % 8 == 1 && open) {
            recorder.TransferEnded(PortOutcome::Sent, op, "", "");
            open = false;
        } else if (op % 8 == 2) {
            recorder.Decide(CTransferRecorder::Clock::now() + std::chrono::hours(op % 2), nullptr);
        } else {
            for (const char ch : input.Bytes(op)) {
                recorder.OnTesterByte(ch);
            }
        }
    }
    recorder.GiveUpVerdict("end");
    Check(records <= transfers, "at most one record per transfer");
}

}  // namespace
}  // namespace korv::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    korv::fuzz::FuzzInput input(data, size);
    if (input.U8() % 2 == 0) {
        korv::fuzz::RetryListOf(std::string(input.Bytes(input.Remaining())));
    } else {
        korv::fuzz::VerdictOf(input);
    }
    return 0;
}
