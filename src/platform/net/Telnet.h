#pragma once
// The Telnet side of a network serial port: a byte-at-a-time parser for what the server sends
// (data, option negotiation, subnegotiations), the option bookkeeping of a client that wants
// BINARY both ways and offers COM-PORT-OPTION (RFC 2217), and the encoders for what the client
// sends. Pure code: no sockets, no threads, no clock; the port drives it.
//
// The server is outside input: a subnegotiation longer than kMaxSubnegotiation is dropped whole,
// unknown commands are ignored, and each option change is answered at most once, so that a
// server repeating WILL/WONT cannot make the client loop or flood.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace korv::telnet {

inline constexpr uint8_t IAC = 255;
inline constexpr uint8_t DONT = 254;
inline constexpr uint8_t DO = 253;
inline constexpr uint8_t WONT = 252;
inline constexpr uint8_t WILL = 251;
inline constexpr uint8_t SB = 250;
inline constexpr uint8_t SE = 240;
inline constexpr uint8_t NOP = 241;

inline constexpr uint8_t OPT_BINARY = 0;
inline constexpr uint8_t OPT_SGA = 3;  // suppress go-ahead
// DO TIMING-MARK is answered (WILL or WONT) once the server has processed everything before it:
// a round trip through the server that neither the server's device nor the tester sees.
inline constexpr uint8_t OPT_TIMING_MARK = 6;
inline constexpr uint8_t OPT_COM_PORT = 44;

// COM-PORT-OPTION commands from client to server; the server answers with the command + 100.
enum ComPortCommand : uint8_t {
    CPC_SET_BAUDRATE = 1,
    CPC_SET_DATASIZE = 2,
    CPC_SET_PARITY = 3,
    CPC_SET_STOPSIZE = 4,
    CPC_SET_CONTROL = 5,
    CPC_PURGE_DATA = 12,
    CPC_SERVER_OFFSET = 100,
};
// SET-CONTROL values used here.
inline constexpr uint8_t CONTROL_NO_FLOW = 1;
inline constexpr uint8_t CONTROL_XONXOFF = 2;
inline constexpr uint8_t CONTROL_HARDWARE = 3;
inline constexpr uint8_t CONTROL_DTR_ON = 8;
inline constexpr uint8_t CONTROL_DTR_OFF = 9;
inline constexpr uint8_t CONTROL_RTS_ON = 11;
inline constexpr uint8_t CONTROL_RTS_OFF = 12;
// PURGE-DATA: the server's buffer of data from the device on its way here; of data on its way
// to the device; both.
inline constexpr uint8_t PURGE_RECEIVE = 1;
inline constexpr uint8_t PURGE_TRANSMIT = 2;
inline constexpr uint8_t PURGE_BOTH = 3;

// The longest subnegotiation payload kept; COM-PORT answers are at most 5 bytes, a signature a
// line of text.
inline constexpr size_t kMaxSubnegotiation = 64;

// Appends data to out with every 0xFF doubled.
void AppendEscaped(std::string& out, const uint8_t* data, size_t n);
// IAC verb option.
void AppendOption(std::string& out, uint8_t verb, uint8_t option);
// IAC SB COM-PORT-OPTION command value... IAC SE, the value escaped.
void AppendComPort(std::string& out, uint8_t command, const uint8_t* value, size_t n);
void AppendComPortByte(std::string& out, uint8_t command, uint8_t value);
void AppendComPortU32(std::string& out, uint8_t command, uint32_t value);

// What the parser reports.
class IParserSink {
  public:
    virtual ~IParserSink() = default;
    virtual void OnData(uint8_t byte) = 0;
    // verb is WILL, WONT, DO or DONT.
    virtual void OnOption(uint8_t verb, uint8_t option) = 0;
    virtual void OnSubnegotiation(uint8_t option, const uint8_t* payload, size_t n) = 0;
};

// The receive-side state machine. Keeps its state between calls, so a command or a
// subnegotiation may arrive split across any number of reads.
class Parser {
  public:
    void Feed(const uint8_t* data, size_t n, IParserSink& sink);

    enum State : uint8_t { S_DATA, S_IAC, S_OPTION, S_SB_OPTION, S_SB_DATA, S_SB_IAC, S_COUNT };

  private:
    State m_state = S_DATA;
    uint8_t m_verb = 0;
    uint8_t m_sbOption = 0;
    bool m_sbOverflow = false;
    size_t m_sbLength = 0;
    std::array<uint8_t, kMaxSubnegotiation> m_sb{};
};

// A COM-PORT answer the client waits for.
struct ComPortAnswers {
    std::optional<uint32_t> baudRate;
    std::optional<uint8_t> dataSize;
    std::optional<uint8_t> parity;
    std::optional<uint8_t> stopSize;
    std::optional<uint8_t> control;
};

// The client: the options it wants, the server's answers, the replies it owes. Data bytes go to
// the data sink given to Feed.
class Client final : private IParserSink {
  public:
    enum class Side : uint8_t { No, Yes, WantYes, WantNo };

    // The requests that open the negotiation: WILL and DO BINARY, WILL COM-PORT-OPTION.
    std::string Start();
    // Parses server bytes; data is appended to *data, replies owed go to Replies().
    void Feed(const uint8_t* bytes, size_t n, std::string* data);
    // Replies owed to the server since the last call (option answers), taken out.
    std::string TakeReplies();

    // Whether the server has answered the COM-PORT-OPTION offer, and how.
    bool ComPortSettled() const { return m_local[kComPort] == Side::Yes || m_comPortRefused; }
    bool ComPortAccepted() const { return m_local[kComPort] == Side::Yes; }
    const ComPortAnswers& Answers() const { return m_answers; }
    void ForgetAnswers() { m_answers = ComPortAnswers{}; }
    // The server's answers (WILL or WONT) to DO TIMING-MARK so far; they need no reply.
    uint64_t MarksAnswered() const { return m_marksAnswered; }

    // Option states, for tests: local = what we do (WILL), remote = what the server does.
    Side Local(uint8_t option) const;
    Side Remote(uint8_t option) const;

  private:
    void OnData(uint8_t byte) override;
    void OnOption(uint8_t verb, uint8_t option) override;
    void OnSubnegotiation(uint8_t option, const uint8_t* payload, size_t n) override;

    // The options the client keeps state for; every other option is refused once.
    static constexpr size_t kBinary = 0, kSga = 1, kComPort = 2, kKnown = 3;
    static std::optional<size_t> Index(uint8_t option);
    void Answer(std::array<Side, kKnown>& sides, bool wanted, bool enable, uint8_t option,
                uint8_t yesVerb, uint8_t noVerb, bool local);

    Parser m_parser;
    std::string* m_data = nullptr;
    std::string m_replies;
    std::array<Side, kKnown> m_local{};
    std::array<Side, kKnown> m_remote{};
    bool m_comPortRefused = false;
    // Unknown options already refused, each side: a repeated request is not answered again.
    std::array<bool, 256> m_refusedLocal{};
    std::array<bool, 256> m_refusedRemote{};
    ComPortAnswers m_answers;
    uint64_t m_marksAnswered = 0;
};

}  // namespace korv::telnet
