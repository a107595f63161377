// The Telnet parser is a transition table over five byte classes; the client's option
// bookkeeping follows the Q method of RFC 1143 in its simple form (no queued requests): a request
// is answered only when it changes an option's state, and a refused option is refused once.

#include "platform/net/Telnet.h"

namespace korv::telnet {

namespace {

enum ByteClass : uint8_t { C_IAC, C_VERB, C_SB, C_SE, C_OTHER, C_COUNT };

ByteClass Classify(uint8_t b) {
    if (b == IAC)
        return C_IAC;
    if (b >= WILL && b <= DONT)
        return C_VERB;
    if (b == SB)
        return C_SB;
    if (b == SE)
        return C_SE;
    return C_OTHER;
}

enum Action : uint8_t {
    A_NONE,
    A_DATA,      // the byte is data
    A_DATA_FF,   // IAC IAC: one 0xFF of data
    A_VERB,      // remember the verb; the option follows
    A_OPTION,    // the byte is the option of the remembered verb
    A_SB_BEGIN,  // the byte is the subnegotiation's option
    A_SB_BYTE,   // the byte belongs to the subnegotiation
    A_SB_FF,     // IAC IAC inside a subnegotiation
    A_SB_END,    // IAC SE: the subnegotiation is complete
    A_SB_DROP,   // IAC and anything else inside a subnegotiation: malformed, dropped; the byte
                 // is then read as a command after IAC
};

struct Transition {
    Action action;
    Parser::State next;
};

using P = Parser;
// clang-format off
constexpr Transition kTable[P::S_COUNT][C_COUNT] = {
    //             C_IAC                       C_VERB                       C_SB                          C_SE                        C_OTHER
    /* S_DATA */   {{A_NONE, P::S_IAC},        {A_DATA, P::S_DATA},         {A_DATA, P::S_DATA},          {A_DATA, P::S_DATA},        {A_DATA, P::S_DATA}},
    /* S_IAC */    {{A_DATA_FF, P::S_DATA},    {A_VERB, P::S_OPTION},       {A_NONE, P::S_SB_OPTION},     {A_NONE, P::S_DATA},        {A_NONE, P::S_DATA}},
    /* S_OPTION */ {{A_OPTION, P::S_DATA},     {A_OPTION, P::S_DATA},       {A_OPTION, P::S_DATA},        {A_OPTION, P::S_DATA},      {A_OPTION, P::S_DATA}},
    /* S_SB_OPT */ {{A_SB_BEGIN, P::S_SB_DATA},{A_SB_BEGIN, P::S_SB_DATA},  {A_SB_BEGIN, P::S_SB_DATA},   {A_SB_BEGIN, P::S_SB_DATA}, {A_SB_BEGIN, P::S_SB_DATA}},
    /* S_SB_DATA */{{A_NONE, P::S_SB_IAC},     {A_SB_BYTE, P::S_SB_DATA},   {A_SB_BYTE, P::S_SB_DATA},    {A_SB_BYTE, P::S_SB_DATA},  {A_SB_BYTE, P::S_SB_DATA}},
    /* S_SB_IAC */ {{A_SB_FF, P::S_SB_DATA},   {A_SB_DROP, P::S_IAC},       {A_SB_DROP, P::S_IAC},        {A_SB_END, P::S_DATA},      {A_SB_DROP, P::S_IAC}},
};
// clang-format on

}  // namespace

void AppendEscaped(std::string& out, const uint8_t* data, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        out.push_back(static_cast<char>(data[i]));
        if (data[i] == IAC)
            out.push_back(static_cast<char>(IAC));
    }
}

void AppendOption(std::string& out, uint8_t verb, uint8_t option) {
    out.push_back(static_cast<char>(IAC));
    out.push_back(static_cast<char>(verb));
    out.push_back(static_cast<char>(option));
}

void AppendComPort(std::string& out, uint8_t command, const uint8_t* value, size_t n) {
    out.push_back(static_cast<char>(IAC));
    out.push_back(static_cast<char>(SB));
    out.push_back(static_cast<char>(OPT_COM_PORT));
    AppendEscaped(out, &command, 1);
    AppendEscaped(out, value, n);
    out.push_back(static_cast<char>(IAC));
    out.push_back(static_cast<char>(SE));
}

void AppendComPortByte(std::string& out, uint8_t command, uint8_t value) {
    AppendComPort(out, command, &value, 1);
}

void AppendComPortU32(std::string& out, uint8_t command, uint32_t value) {
    const uint8_t be[4] = {static_cast<uint8_t>(value >> 24), static_cast<uint8_t>(value >> 16),
                           static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)};
    AppendComPort(out, command, be, sizeof be);
}

void Parser::Feed(const uint8_t* data, size_t n, IParserSink& sink) {
    for (size_t i = 0; i < n; ++i) {
        const uint8_t b = data[i];
        Transition t = kTable[m_state][Classify(b)];
        if (t.action == A_SB_DROP) {
            m_sbLength = 0;
            t = kTable[S_IAC][Classify(b)];
        }
        switch (t.action) {
            case A_DATA:
                sink.OnData(b);
                break;
            case A_DATA_FF:
                sink.OnData(IAC);
                break;
            case A_VERB:
                m_verb = b;
                break;
            case A_OPTION:
                sink.OnOption(m_verb, b);
                break;
            case A_SB_BEGIN:
                m_sbOption = b;
                m_sbLength = 0;
                m_sbOverflow = false;
                break;
            case A_SB_BYTE:
            case A_SB_FF:
                if (m_sbLength < m_sb.size())
                    m_sb[m_sbLength++] = t.action == A_SB_FF ? IAC : b;
                else
                    m_sbOverflow = true;
                break;
            case A_SB_END:
                if (!m_sbOverflow)
                    sink.OnSubnegotiation(m_sbOption, m_sb.data(), m_sbLength);
                m_sbLength = 0;
                break;
            case A_NONE:
            case A_SB_DROP:
                break;
        }
        m_state = t.next;
    }
}

std::optional<size_t> Client::Index(uint8_t option) {
    switch (option) {
        case OPT_BINARY:
            return kBinary;
        case OPT_SGA:
            return kSga;
        case OPT_COM_PORT:
            return kComPort;
        default:
            return std::nullopt;
    }
}

Client::Side Client::Local(uint8_t option) const {
    const auto i = Index(option);
    return i ? m_local[*i] : Side::No;
}

Client::Side Client::Remote(uint8_t option) const {
    const auto i = Index(option);
    return i ? m_remote[*i] : Side::No;
}

std::string Client::Start() {
    std::string out;
    m_local[kBinary] = Side::WantYes;
    AppendOption(out, WILL, OPT_BINARY);
    m_remote[kBinary] = Side::WantYes;
    AppendOption(out, DO, OPT_BINARY);
    m_local[kComPort] = Side::WantYes;
    AppendOption(out, WILL, OPT_COM_PORT);
    return out;
}

void Client::Feed(const uint8_t* bytes, size_t n, std::string* data) {
    m_data = data;
    m_parser.Feed(bytes, n, *this);
    m_data = nullptr;
}

std::string Client::TakeReplies() {
    std::string out;
    out.swap(m_replies);
    return out;
}

void Client::OnData(uint8_t byte) {
    if (m_data != nullptr)
        m_data->push_back(static_cast<char>(byte));
}

void Client::Answer(std::array<Side, kKnown>& sides, bool wanted, bool enable, uint8_t option,
                    uint8_t yesVerb, uint8_t noVerb, bool local) {
    std::array<bool, 256>& refused = local ? m_refusedLocal : m_refusedRemote;
    const auto index = Index(option);
    Side& side = sides[index.value_or(0)];
    if (!index || (side == Side::No && !wanted)) {
        // Not an option we take on: refused the first time it is offered or asked for.
        if (enable && !refused[option]) {
            refused[option] = true;
            AppendOption(m_replies, noVerb, option);
        }
        return;
    }
    if (enable) {
        switch (side) {
            case Side::No:
                side = Side::Yes;
                AppendOption(m_replies, yesVerb, option);
                break;
            case Side::WantYes:
                side = Side::Yes;
                break;
            case Side::WantNo:
                side = Side::No;
                break;
            case Side::Yes:
                break;
        }
        return;
    }
    switch (side) {
        case Side::Yes:
            side = Side::No;
            AppendOption(m_replies, noVerb, option);
            break;
        case Side::WantYes:
            side = Side::No;
            if (local && option == OPT_COM_PORT)
                m_comPortRefused = true;
            break;
        case Side::WantNo:
            side = Side::No;
            break;
        case Side::No:
            break;
    }
}

void Client::OnOption(uint8_t verb, uint8_t option) {
    if (option == OPT_TIMING_MARK && (verb == WILL || verb == WONT)) {
        // The answer to one of the port's marks: nothing owed, the option stays off.
        ++m_marksAnswered;
        return;
    }
    // The client does BINARY and COM-PORT-OPTION itself and lets the server do BINARY and SGA.
    switch (verb) {
        case DO:
        case DONT:
            Answer(m_local, option == OPT_BINARY || option == OPT_COM_PORT || option == OPT_SGA,
                   verb == DO, option, WILL, WONT, true);
            break;
        case WILL:
        case WONT:
            Answer(m_remote, option == OPT_BINARY || option == OPT_SGA, verb == WILL, option, DO,
                   DONT, false);
            break;
        default:
            break;
    }
}

void Client::OnSubnegotiation(uint8_t option, const uint8_t* payload, size_t n) {
    if (option != OPT_COM_PORT || n < 2)
        return;
    const uint8_t* v = payload + 1;
    switch (payload[0]) {
        case CPC_SERVER_OFFSET + CPC_SET_BAUDRATE:
            if (n == 5)
                m_answers.baudRate = (uint32_t{v[0]} << 24) | (uint32_t{v[1]} << 16) |
                                     (uint32_t{v[2]} << 8) | uint32_t{v[3]};
            break;
        case CPC_SERVER_OFFSET + CPC_SET_DATASIZE:
            m_answers.dataSize = v[0];
            break;
        case CPC_SERVER_OFFSET + CPC_SET_PARITY:
            m_answers.parity = v[0];
            break;
        case CPC_SERVER_OFFSET + CPC_SET_STOPSIZE:
            m_answers.stopSize = v[0];
            break;
        case CPC_SERVER_OFFSET + CPC_SET_CONTROL:
            m_answers.control = v[0];
            break;
        default:
            break;  // line and modem state notices, purge acknowledgements
    }
}

}  // namespace korv::telnet
