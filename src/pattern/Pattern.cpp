#include "pattern/Pattern.h"
#include "platform/HexDigit.h"

#include <utility>

namespace korv {

namespace {

using Op = CPattern::Op;
using Inst = CPattern::Inst;
using ByteSet = CPattern::ByteSet;

// A piece of program whose jumps count from its own first instruction; a jump to size() goes on
// after it. Pieces are copied into larger ones as the parser climbs back out.
using Frag = std::vector<Inst>;

constexpr size_t kMaxCountDigits = 9;  // a longer number is refused before it is read

bool IsWord(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

ByteSet Complement(const ByteSet& s) {
    ByteSet out;
    for (int i = 0; i < 4; ++i) {
        out.bits[i] = ~s.bits[i];
    }
    return out;
}

// \d \w \s and their complements; false for any other letter.
bool ClassEscape(char c, ByteSet* set) {
    ByteSet s;
    switch (c) {
        case 'd':
        case 'D':
            for (int b = '0'; b <= '9'; ++b) {
                s.Add(static_cast<unsigned char>(b));
            }
            break;
        case 'w':
        case 'W':
            for (int b = 0; b < 256; ++b) {
                if (IsWord(static_cast<unsigned char>(b))) {
                    s.Add(static_cast<unsigned char>(b));
                }
            }
            break;
        case 's':
        case 'S':
            for (const char b : {' ', '\t', '\n', '\v', '\f', '\r'}) {
                s.Add(static_cast<unsigned char>(b));
            }
            break;
        default:
            return false;
    }
    *set = (c >= 'A' && c <= 'Z') ? Complement(s) : s;
    return true;
}

class CParser {
  public:
    CParser(std::string_view pattern, std::vector<ByteSet>* sets) : m_in(pattern), m_sets(sets) {}

    bool Parse(Frag* out) {
        if (!ParseAlternation(0, out)) {
            return false;
        }
        if (m_pos < m_in.size()) {  // only a ')' stops the top level early
            return Fail("unbalanced parentheses: a ')' without its '('");
        }
        return Push(out, {Op::Match});
    }

    const std::string& Error() const { return m_error; }
    size_t Groups() const { return m_groups; }

  private:
    bool Fail(const std::string& reason) {
        if (m_error.empty()) {
            m_error = reason;
        }
        return false;
    }

    bool Grown(size_t size) {
        if (size > kMaxPatternProgram) {
            m_error = "the pattern compiles to more than " + std::to_string(kMaxPatternProgram) +
                      " instructions (repeat counts multiply)";
            return false;
        }
        return true;
    }

    bool Push(Frag* f, Inst inst) {
        f->push_back(inst);
        return Grown(f->size());
    }

    // Copies src to the end of dst, its jumps moved along.
    bool Append(Frag* dst, const Frag& src) {
        if (!Grown(dst->size() + src.size())) {
            return false;
        }
        const auto base = static_cast<uint32_t>(dst->size());
        for (Inst inst : src) {
            if (inst.op == Op::Split || inst.op == Op::Jmp) {
                inst.x += base;
                inst.y += base;
            }
            dst->push_back(inst);
        }
        return true;
    }

    bool More() const { return m_pos < m_in.size(); }
    char Peek() const { return m_in[m_pos]; }

    // alternative ('|' alternative)*
    bool ParseAlternation(int depth, Frag* out) {
        std::vector<Frag> alternatives(1);
        if (!ParseSequence(depth, &alternatives.back())) {
            return false;
        }
        while (More() && Peek() == '|') {
            ++m_pos;
            alternatives.emplace_back();
            if (!ParseSequence(depth, &alternatives.back())) {
                return false;
            }
        }
        // split next_alternative; alternative; jmp end; ... the last alternative falls through.
        size_t total = 0;
        for (size_t i = 0; i < alternatives.size(); ++i) {
            total += alternatives[i].size() + (i + 1 < alternatives.size() ? 2 : 0);
        }
        if (!Grown(out->size() + total)) {
            return false;
        }
        const size_t end = out->size() + total;
        for (size_t i = 0; i < alternatives.size(); ++i) {
            const bool last = i + 1 == alternatives.size();
            if (!last) {
                const auto here = static_cast<uint32_t>(out->size());
                const auto next = static_cast<uint32_t>(here + 2 + alternatives[i].size());
                out->push_back({Op::Split, 0, here + 1, next});
            }
            Append(out, alternatives[i]);
            if (!last) {
                out->push_back({Op::Jmp, 0, static_cast<uint32_t>(end), 0});
            }
        }
        return true;
    }

    bool ParseSequence(int depth, Frag* out) {
        while (More() && Peek() != '|' && Peek() != ')') {
            Frag atom;
            bool repeatable = true;
            if (!ParseAtom(depth, &atom, &repeatable) || !ParseQuantifiers(&atom, repeatable) ||
                !Append(out, atom)) {
                return false;
            }
        }
        return true;
    }

    // A count of {n,m}; false (with the reason) when it has too many digits or is too large.
    bool ReadCount(int* value) {
        size_t digits = 0;
        long long v = 0;
        while (More() && IsDigit(Peek())) {
            if (++digits > kMaxCountDigits) {
                return Fail("a repeat count has more than " + std::to_string(kMaxCountDigits) +
                            " digits");
            }
            v = v * 10 + (Peek() - '0');
            ++m_pos;
        }
        if (v > kMaxPatternCount) {
            return Fail("a repeat count above " + std::to_string(kMaxPatternCount));
        }
        *value = static_cast<int>(v);
        return true;
    }

    // At '{': true when a count {n}, {n,} or {n,m} starts here.
    bool CountAhead() const {
        size_t i = m_pos + 1;
        const size_t first = i;
        while (i < m_in.size() && IsDigit(m_in[i])) {
            ++i;
        }
        if (i == first || i >= m_in.size()) {
            return false;
        }
        if (m_in[i] == ',') {
            ++i;
            while (i < m_in.size() && IsDigit(m_in[i])) {
                ++i;
            }
        }
        return i < m_in.size() && m_in[i] == '}';
    }

    bool ParseQuantifiers(Frag* atom, bool repeatable) {
        while (More()) {
            const char c = Peek();
            int min = 0;
            int max = -1;  // no limit
            if (c == '*') {
                ++m_pos;
            } else if (c == '+') {
                min = 1;
                ++m_pos;
            } else if (c == '?') {
                max = 1;
                ++m_pos;
            } else if (c == '{') {
                if (!CountAhead()) {
                    return Fail("a '{' that starts no repeat count (write \\{ for the character)");
                }
                if (!repeatable) {
                    return Fail("nothing to repeat before '{'");
                }
                ++m_pos;
                if (!ReadCount(&min)) {
                    return false;
                }
                max = min;
                if (Peek() == ',') {
                    ++m_pos;
                    max = -1;
                    if (IsDigit(Peek()) && !ReadCount(&max)) {
                        return false;
                    }
                }
                ++m_pos;  // '}'
                if (max >= 0 && max < min) {
                    return Fail("a repeat count {" + std::to_string(min) + "," +
                                std::to_string(max) + "} whose maximum is below its minimum");
                }
            } else {
                return true;
            }
            if (!repeatable) {
                return Fail(std::string("nothing to repeat before '") + c + "'");
            }
            bool lazy = false;
            if (More() && Peek() == '?') {
                lazy = true;
                ++m_pos;
            }
            Frag repeated;
            if (!Repeat(*atom, min, max, lazy, &repeated)) {
                return false;
            }
            *atom = std::move(repeated);
            repeatable = false;  // a{2}{3} and a** are refused as ECMAScript does
        }
        return true;
    }

    bool Repeat(const Frag& body, int min, int max, bool lazy, Frag* out) {
        // Each pass of a repeat starts with group 1 unset, as in ECMAScript, when it is inside.
        Frag pass;
        for (const Inst& inst : body) {
            if (inst.op == Op::Save) {
                pass.push_back({Op::Reset});
                break;
            }
        }
        if (!Append(&pass, body)) {
            return false;
        }
        const auto split = [&](uint32_t more, uint32_t done) -> Inst {
            return lazy ? Inst{Op::Split, 0, done, more} : Inst{Op::Split, 0, more, done};
        };
        // The passes a count requires are laid out one after the other, a pass that may match
        // nothing included, as ECMAScript allows the required passes to.
        for (int i = 0; i < min; ++i) {
            if (!Append(out, pass)) {
                return false;
            }
        }
        if (max < 0) {
            // loop: split body, next; pass; jmp loop. A further pass that matched nothing comes
            // back to the loop's head at the same place in the text, where that thread ends:
            // ECMAScript's rule that such a pass fails.
            const auto loop = static_cast<uint32_t>(out->size());
            const auto next = static_cast<uint32_t>(loop + 2 + pass.size());
            if (!Push(out, split(loop + 1, next)) || !Append(out, pass)) {
                return false;
            }
            return Push(out, {Op::Jmp, 0, loop, 0});
        }
        // Up to max - min optional passes, each tried only after the one before it matched.
        const size_t optional = static_cast<size_t>(max - min);
        if (!Grown(out->size() + optional * (pass.size() + 1))) {
            return false;
        }
        const auto end = static_cast<uint32_t>(out->size() + optional * (pass.size() + 1));
        for (size_t i = 0; i < optional; ++i) {
            const auto here = static_cast<uint32_t>(out->size());
            out->push_back(split(here + 1, end));
            Append(out, pass);
        }
        return true;
    }

    bool AddSet(const ByteSet& set, Frag* out) {
        m_sets->push_back(set);
        return Push(out, {Op::Set, static_cast<uint32_t>(m_sets->size() - 1)});
    }

    // After a backslash: the byte of \t \n \r \f \v \0 \xHH \uHHHH or escaped punctuation.
    // *known is false (and nothing is consumed) for a letter this does not know.
    bool ByteEscape(unsigned char* byte, bool* known) {
        *known = true;
        const char c = Peek();
        const auto hex = [&](size_t digits, const char* form) {
            unsigned value = 0;
            for (size_t i = 1; i <= digits; ++i) {
                const int h = m_pos + i < m_in.size() ? HexValue(m_in[m_pos + i]) : -1;
                if (h < 0) {
                    return Fail(std::string(form) + " needs " + std::to_string(digits) +
                                " hex digits");
                }
                value = value * 16 + static_cast<unsigned>(h);
            }
            if (value > 0xFF) {
                return Fail(std::string(form) +
                            " above 00FF is not supported (matching is on bytes)");
            }
            m_pos += digits + 1;
            *byte = static_cast<unsigned char>(value);
            return true;
        };
        switch (c) {
            case 't':
                *byte = '\t';
                break;
            case 'n':
                *byte = '\n';
                break;
            case 'r':
                *byte = '\r';
                break;
            case 'f':
                *byte = '\f';
                break;
            case 'v':
                *byte = '\v';
                break;
            case '0':
                if (m_pos + 1 < m_in.size() && IsDigit(m_in[m_pos + 1])) {
                    return Fail("octal escapes are not supported");
                }
                *byte = '\0';
                break;
            case 'x':
                return hex(2, "\\x");
            case 'u':
                return hex(4, "\\u");
            default:
                if (IsDigit(c)) {
                    return Fail("back-references (\\1 to \\9) are not supported");
                }
                if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')) {
                    *known = false;
                    return false;
                }
                *byte = static_cast<unsigned char>(c);  // punctuation stands for itself
                break;
        }
        ++m_pos;
        return true;
    }

    bool UnknownEscape() {
        if (Peek() == 'k') {
            return Fail("named back-references (\\k) are not supported");
        }
        return Fail(std::string("unknown escape \\") + Peek());
    }

    // One member of a class: a byte, or a set for a class escape.
    bool ClassMember(unsigned char* byte, ByteSet* set, bool* isSet) {
        *isSet = false;
        if (Peek() != '\\') {
            *byte = static_cast<unsigned char>(Peek());
            ++m_pos;
            return true;
        }
        ++m_pos;
        if (!More()) {
            return Fail("a trailing backslash");
        }
        if (ClassEscape(Peek(), set)) {
            ++m_pos;
            *isSet = true;
            return true;
        }
        if (Peek() == 'b') {  // backspace inside a class
            ++m_pos;
            *byte = '\b';
            return true;
        }
        if (Peek() == 'B') {
            return Fail("\\B inside a class");
        }
        bool known = true;
        if (ByteEscape(byte, &known)) {
            return true;
        }
        return known ? false : UnknownEscape();
    }

    bool ParseClass(Frag* out) {
        ++m_pos;  // '['
        bool negate = false;
        if (More() && Peek() == '^') {
            negate = true;
            ++m_pos;
        }
        ByteSet set;
        bool first = true;
        for (;;) {
            if (!More()) {
                return Fail("a '[' without its ']'");
            }
            if (Peek() == ']' && !first) {
                ++m_pos;
                break;
            }
            first = false;
            unsigned char lo = 0;
            ByteSet loSet;
            bool loIsSet = false;
            if (!ClassMember(&lo, &loSet, &loIsSet)) {
                return false;
            }
            // A '-' between two members makes a range; first or last it is itself.
            if (m_pos + 1 < m_in.size() && Peek() == '-' && m_in[m_pos + 1] != ']') {
                ++m_pos;
                unsigned char hi = 0;
                ByteSet hiSet;
                bool hiIsSet = false;
                if (!ClassMember(&hi, &hiSet, &hiIsSet)) {
                    return false;
                }
                if (loIsSet || hiIsSet) {
                    return Fail("a range in a class cannot start or end with \\d, \\w or \\s");
                }
                if (hi < lo) {
                    return Fail(std::string("a range whose end comes before its start"));
                }
                for (unsigned b = lo; b <= hi; ++b) {
                    set.Add(static_cast<unsigned char>(b));
                }
            } else if (loIsSet) {
                for (int i = 0; i < 4; ++i) {
                    set.bits[i] |= loSet.bits[i];
                }
            } else {
                set.Add(lo);
            }
        }
        return AddSet(negate ? Complement(set) : set, out);
    }

    bool ParseGroup(int depth, Frag* out) {
        ++m_pos;  // '('
        bool capture = true;
        if (More() && Peek() == '?') {
            const std::string_view rest = m_in.substr(m_pos);
            if (rest.substr(0, 2) == "?:") {
                capture = false;
                m_pos += 2;
            } else if (rest.substr(0, 2) == "?=" || rest.substr(0, 2) == "?!") {
                return Fail("lookahead (?= (?! is not supported");
            } else if (rest.substr(0, 3) == "?<=" || rest.substr(0, 3) == "?<!") {
                return Fail("lookbehind (?<= (?<! is not supported");
            } else if (rest.substr(0, 2) == "?<") {
                return Fail("named groups (?<name> are not supported");
            } else {
                return Fail("a group '(?' of a kind that is not supported");
            }
        }
        if (depth + 1 > kMaxPatternNesting) {
            return Fail("groups nested more than " + std::to_string(kMaxPatternNesting) + " deep");
        }
        const size_t number = capture ? ++m_groups : 0;
        if (number == 1 && !Push(out, {Op::Save, 0})) {
            return false;
        }
        Frag inner;
        if (!ParseAlternation(depth + 1, &inner)) {
            return false;
        }
        if (!More()) {
            return Fail("unbalanced parentheses: a '(' without its ')'");
        }
        ++m_pos;  // ')'
        if (!Append(out, inner)) {
            return false;
        }
        return number != 1 || Push(out, {Op::Save, 1});
    }

    bool ParseAtom(int depth, Frag* out, bool* repeatable) {
        const char c = Peek();
        switch (c) {
            case '(':
                return ParseGroup(depth, out);
            case '[':
                return ParseClass(out);
            case '^':
                *repeatable = false;
                ++m_pos;
                return Push(out, {Op::LineStart});
            case '$':
                *repeatable = false;
                ++m_pos;
                return Push(out, {Op::LineEnd});
            case '.': {
                ++m_pos;
                ByteSet lineEnds;
                lineEnds.Add('\n');
                lineEnds.Add('\r');
                return AddSet(Complement(lineEnds), out);
            }
            case '*':
            case '+':
            case '?':
                return Fail(std::string("nothing to repeat before '") + c + "'");
            case '{':
                if (CountAhead()) {
                    return Fail("nothing to repeat before '{'");
                }
                return Fail("a '{' that starts no repeat count (write \\{ for the character)");
            case '}':
                return Fail("a '}' without its '{' (write \\} for the character)");
            case '\\':
                break;
            default:
                ++m_pos;
                return Push(out, {Op::Byte, static_cast<unsigned char>(c)});
        }
        ++m_pos;
        if (!More()) {
            return Fail("a trailing backslash");
        }
        const char e = Peek();
        ByteSet set;
        if (ClassEscape(e, &set)) {
            ++m_pos;
            return AddSet(set, out);
        }
        if (e == 'b' || e == 'B') {
            ++m_pos;
            *repeatable = false;
            return Push(out, {e == 'b' ? Op::WordB : Op::NotWordB});
        }
        unsigned char byte = 0;
        bool known = true;
        if (ByteEscape(&byte, &known)) {
            return Push(out, {Op::Byte, byte});
        }
        return known ? false : UnknownEscape();
    }

    std::string_view m_in;
    size_t m_pos = 0;
    std::vector<ByteSet>* m_sets;
    size_t m_groups = 0;
    std::string m_error;
};

}  // namespace

std::optional<CPattern> CPattern::Compile(std::string_view pattern, std::string* error) {
    CPattern compiled;
    CParser parser(pattern, &compiled.m_sets);
    if (!parser.Parse(&compiled.m_program)) {
        if (error != nullptr) {
            *error = parser.Error();
        }
        return std::nullopt;
    }
    compiled.m_groups = parser.Groups();
    return compiled;
}

bool CPattern::Search(std::string_view text) const {
    return Run(text, nullptr);
}

bool CPattern::Search(std::string_view text, std::string* group1) const {
    return Run(text, group1);
}

namespace {

// A thread of the Pike machine: where it is in the program and where group 1 starts and ends
// (-1: unset).
struct Thread {
    uint32_t pc;
    int64_t start;
    int64_t end;
};

}  // namespace

bool CPattern::Run(std::string_view text, std::string* group1) const {
    const size_t size = m_program.size();
    // The threads waiting on a byte at the current and the next position, in priority order;
    // each instruction holds at most one thread per position (the first to reach it wins, as
    // the one a backtracking engine would have tried first).
    std::vector<Thread> current;
    std::vector<Thread> next;
    current.reserve(size);
    next.reserve(size);
    std::vector<Thread> stack;
    stack.reserve(size + 1);
    // The position + 1 at which an instruction was last reached.
    std::vector<size_t> seen(size, 0);

    const auto isWordAt = [&](size_t i) {
        return i < text.size() && IsWord(static_cast<unsigned char>(text[i]));
    };
    // Follows every path from t that reads no byte, in priority order, and queues the threads
    // that wait on a byte (or have matched) at position pos.
    const auto add = [&](std::vector<Thread>& list, Thread t, size_t pos) {
        stack.push_back(t);
        while (!stack.empty()) {
            Thread th = stack.back();
            stack.pop_back();
            for (;;) {
                if (seen[th.pc] == pos + 1) {
                    break;
                }
                seen[th.pc] = pos + 1;
                const Inst& inst = m_program[th.pc];
                bool go = true;
                switch (inst.op) {
                    case Op::Jmp:
                        th.pc = inst.x;
                        continue;
                    case Op::Split:
                        stack.push_back({inst.y, th.start, th.end});
                        th.pc = inst.x;
                        continue;
                    case Op::Save:
                        (inst.arg == 0 ? th.start : th.end) = static_cast<int64_t>(pos);
                        break;
                    case Op::Reset:
                        th.start = th.end = -1;
                        break;
                    case Op::LineStart:
                        go = pos == 0;
                        break;
                    case Op::LineEnd:
                        go = pos == text.size();
                        break;
                    case Op::WordB:
                    case Op::NotWordB: {
                        const bool boundary = (pos > 0 && isWordAt(pos - 1)) != isWordAt(pos);
                        go = boundary == (inst.op == Op::WordB);
                        break;
                    }
                    case Op::Byte:
                    case Op::Set:
                    case Op::Match:
                        list.push_back(th);
                        go = false;
                        break;
                }
                if (!go) {
                    break;
                }
                ++th.pc;
            }
        }
    };

    bool matched = false;
    Thread best{0, -1, -1};
    for (size_t pos = 0;; ++pos) {
        // A match may start here, with less priority than one that started earlier; a pattern
        // that begins with ^ starts only at 0.
        if (!matched && (pos == 0 || m_program[0].op != Op::LineStart)) {
            add(current, Thread{0, -1, -1}, pos);
        }
        if (current.empty() && matched) {
            break;
        }
        next.clear();
        for (const Thread& th : current) {
            const Inst& inst = m_program[th.pc];
            if (inst.op == Op::Match) {
                if (group1 == nullptr) {
                    return true;
                }
                matched = true;
                best = th;
                break;  // threads of lower priority cannot win any more
            }
            if (pos >= text.size()) {
                continue;
            }
            const auto c = static_cast<unsigned char>(text[pos]);
            const bool takes = inst.op == Op::Byte ? c == inst.arg : m_sets[inst.arg].Has(c);
            if (takes) {
                add(next, Thread{th.pc + 1, th.start, th.end}, pos + 1);
            }
        }
        current.swap(next);
        if (pos >= text.size()) {
            break;
        }
    }
    if (matched && group1 != nullptr) {
        group1->clear();
        if (best.start >= 0 && best.end >= best.start) {
            group1->assign(text.substr(static_cast<size_t>(best.start),
                                       static_cast<size_t>(best.end - best.start)));
        }
    }
    return matched;
}

}  // namespace korv
