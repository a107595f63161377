// The Telnet / RFC 2217 client over whatever a server may send, cut into reads at fuzzed places,
// and the network port name parser over the same bytes.
//
// Input: cuts:u8, then cuts read lengths (u8 each, 0 = one byte), then the server's bytes. The
// bytes are fed in reads of those lengths, in turn, until all are fed.
//
// Properties: no crash, no leak, no undefined behaviour; data handed up is never more than what
// was fed; every reply is a whole option command (IAC, a verb, an option) and no option is
// refused twice on the same side; the same bytes fed in one read give the same data, replies
// and answers; a name that parses has a non-empty host and a port above 0.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "FuzzInput.h"
#include "platform/net/NetPortName.h"
#include "platform/net/Telnet.h"

namespace korv::fuzz {
namespace {

void Check(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "fuzz check failed: %s\n", what);
        std::abort();
    }
}

struct Outcome {
    std::string data;
    std::string replies;
    telnet::ComPortAnswers answers;
    bool settled = false;
};

Outcome Run(const std::string& bytes, const std::vector<size_t>& cuts) {
    telnet::Client client;
    client.Start();
    Outcome o;
    size_t at = 0;
    for (size_t i = 0; at < bytes.size(); ++i) {
        const size_t want = cuts.empty() ? bytes.size() : cuts[i % cuts.size()];
        const size_t n = std::min(want == 0 ? 1 : want, bytes.size() - at);
        client.Feed(reinterpret_cast<const uint8_t*>(bytes.data() + at), n, &o.data);
        o.replies += client.TakeReplies();
        at += n;
    }
    o.answers = client.Answers();
    o.settled = client.ComPortSettled();
    return o;
}

}  // namespace
}  // namespace korv::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace korv;
    using namespace korv::fuzz;
    FuzzInput in(data, size);
    std::vector<size_t> cuts;
    for (uint8_t n = in.U8(); n > 0; --n)
        cuts.push_back(in.U8());
    const std::string bytes(in.Bytes(in.Remaining()));

    const Outcome split = Run(bytes, cuts);
    Check(split.data.size() <= bytes.size(), "more data than fed");
    Check(split.replies.size() % 3 == 0, "replies are whole option commands");
    std::set<std::pair<uint8_t, uint8_t>> refusals;
    for (size_t i = 0; i < split.replies.size(); i += 3) {
        const auto iac = static_cast<uint8_t>(split.replies[i]);
        const auto verb = static_cast<uint8_t>(split.replies[i + 1]);
        const auto option = static_cast<uint8_t>(split.replies[i + 2]);
        Check(iac == telnet::IAC && verb >= telnet::WILL && verb <= telnet::DONT, "reply shape");
        const bool known = option == telnet::OPT_BINARY || option == telnet::OPT_SGA ||
                           option == telnet::OPT_COM_PORT;
        if (!known && (verb == telnet::DONT || verb == telnet::WONT))
            Check(refusals.insert({verb, option}).second, "an unknown option refused twice");
    }
    const Outcome whole = Run(bytes, {});
    Check(whole.data == split.data, "data depends on how the bytes were cut");
    Check(whole.replies == split.replies, "replies depend on how the bytes were cut");
    Check(whole.answers.baudRate == split.answers.baudRate &&
              whole.answers.control == split.answers.control && whole.settled == split.settled,
          "answers depend on how the bytes were cut");

    if (const auto name = ParseNetPortName(bytes)) {
        Check(!name->host.empty() && name->port > 0, "a parsed name has a host and a port");
        Check(IsNetworkPortName(bytes), "a parsed name has a network scheme");
    }
    for (const std::string& n : SplitNetPortList(bytes))
        Check(ParseNetPortName(n).has_value(), "the profile list keeps only well-formed names");
    return 0;
}
