// Markdown's inline text: the character classes next to delimiter runs, the escapes, and the delimiter
// state machine of InlineWriter (markdown_inline.hpp says how it works).
#include "markdown_inline.hpp"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstring>
#include <string>
#include <string_view>

#include "quillet/utf8.hpp"
#include "text_util.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace quillet::writers::markdown {

enum class Cls : uint8_t {
    Space,  // Unicode white space: never next to the inside of a delimiter
    Punct,  // ASCII punctuation
    Word,   // a letter, digit or other character that is surely not punctuation
    Other,  // not ASCII and not known, or a vertical tab: treated as punctuation or as a letter, whichever
            // is worse
};

namespace {

using namespace std::string_view_literals;

constexpr bool is_ascii_punct(unsigned char c) {
    return (c >= 0x21 && c <= 0x2F) || (c >= 0x3A && c <= 0x40) || (c >= 0x5B && c <= 0x60) || (c >= 0x7B && c <= 0x7E);
}

constexpr bool is_unicode_space(uint32_t cp) {
    return cp == 0x20 || cp == 0x09 || cp == 0x0A || cp == 0x0C || cp == 0x0D || cp == 0xA0 || cp == 0x1680 ||
           (cp >= 0x2000 && cp <= 0x200A) || cp == 0x202F || cp == 0x205F || cp == 0x3000;
}

// A vertical tab is white space to some readers and a letter to others: at either end of an emphasis it
// is moved outside with the white space, and outside it is a character of either class (Other).
constexpr uint32_t kVerticalTab = 0x0B;

// Scripts whose letters are common in prose; everything else not ASCII is Other.
constexpr bool is_known_letter(uint32_t cp) {
    return (cp >= 0xC0 && cp <= 0x24F && cp != 0xD7 && cp != 0xF7) ||
           (cp >= 0x386 && cp <= 0x3FF && cp != 0x387 && cp != 0x3F6) || (cp >= 0x400 && cp <= 0x481) ||
           (cp >= 0x48A && cp <= 0x52F) || (cp >= 0x3041 && cp <= 0x3096) || (cp >= 0x30A1 && cp <= 0x30FA) ||
           (cp >= 0x4E00 && cp <= 0x9FFF) || (cp >= 0xAC00 && cp <= 0xD7A3);
}

constexpr Cls classify(uint32_t cp) {
    if (is_unicode_space(cp)) return Cls::Space;
    if (cp == kVerticalTab) return Cls::Other;
    if (cp < 0x80) return is_ascii_punct(static_cast<unsigned char>(cp)) ? Cls::Punct : Cls::Word;
    return is_known_letter(cp) ? Cls::Word : Cls::Other;
}

// The class of each ASCII character, looked up.
struct AsciiClasses {
    Cls v[128] = {};
    constexpr AsciiClasses() {
        for (uint32_t c = 0; c < 128; ++c) v[c] = classify(c);
    }
};
constexpr AsciiClasses kAsciiClasses;

inline Cls classify_fast(uint32_t cp) {
    return cp < 0x80 ? kAsciiClasses.v[cp] : classify(cp);
}

constexpr bool maybe_punct(Cls c) {
    return c == Cls::Punct || c == Cls::Other;
}
constexpr bool maybe_word(Cls c) {
    return c == Cls::Word || c == Cls::Other;
}

// Readers refuse character references to control characters; next to a delimiter run that needs punctuation
// beside it, such a character gets an empty HTML comment between them instead.
constexpr std::string_view kEmptyComment = "<!---->";

bool is_control(uint32_t cp) {
    return cp < 0x20 || (cp >= 0x7F && cp <= 0x9F);
}

void append_char_ref(std::string& out, uint32_t cp) {
    char digits[16];
    auto [end, ec] = std::to_chars(digits, digits + sizeof digits, cp);
    (void)ec;
    out += "&#"sv;
    out.append(digits, end);
    out += ';';
}

// The bytes that end a plain run of text, right after a visible character has been written (what matters
// only at a line start, or after a footnote reference, is looked at with the first character): controls
// (line breaks and tabs among them), "!"#$%&", '*', '<', "[\]^_`", "|}~", and the lead bytes of the
// Unicode spaces other than U+0020 (0xC2, 0xE1 to 0xE3). A space does not end a run. With SSE2 the same bytes
// are found sixteen at a time (plain_run_end).
constexpr bool stops_run(unsigned char c) {
    return c < 0x20 || (c >= 0x21 && c <= 0x26) || c == '*' || c == '<' || (c >= 0x5B && c <= 0x60) ||
           (c >= 0x7C && c <= 0x7E) || c == 0xC2 || (c >= 0xE1 && c <= 0xE3);
}

// What may begin a line of a paragraph as it is: no byte that stops a run, no white space, and none of the
// first characters of a block marker ("#", ">", "-", "+", "=", ":", "|", or a digit of "1." or "1)").
constexpr bool starts_line_plainly(unsigned char c) {
    return !stops_run(c) && c != ' ' && !(c >= '0' && c <= '9') && c != '>' && c != '-' && c != '+' && c != '=' &&
           c != ':';
}

// A bit per byte: kStop for stops_run, kLineStart for starts_line_plainly.
constexpr uint8_t kStop = 1, kLineStart = 2;
struct ByteTable {
    uint8_t v[256] = {};
    constexpr ByteTable() {
        for (int c = 0; c < 256; ++c) {
            const auto b = static_cast<unsigned char>(c);
            v[c] = static_cast<uint8_t>((stops_run(b) ? kStop : 0) | (starts_line_plainly(b) ? kLineStart : 0));
        }
    }
};
constexpr ByteTable kBytes;

// The bytes of a link destination that are escaped, or may be: '\n', '\r', '\\', '<', '>', '(', ')' and '&'.
struct DestinationBytes {
    bool v[256] = {};
    constexpr DestinationBytes() {
        for (unsigned char c : {'\n', '\r', '\\', '<', '>', '(', ')', '&'}) v[c] = true;
    }
};
constexpr DestinationBytes kDestinationBytes;

// Where the plain run of t from i ends: the first byte that stops_run, or the end.
inline size_t plain_run_end(std::string_view t, size_t i) {
#if defined(__SSE2__)
    return find_first(t, i, [](__m128i v) {
        // Whether a byte lies in [lo, lo + span]: moved so that lo becomes -128, a signed comparison.
        auto in_range = [](__m128i bytes, int lo, int span) {
            const __m128i moved = _mm_add_epi8(bytes, _mm_set1_epi8(static_cast<char>(0x80 - lo)));
            return _mm_cmplt_epi8(moved, _mm_set1_epi8(static_cast<char>(-128 + span + 1)));
        };
        auto is = [&](char c) { return _mm_cmpeq_epi8(v, _mm_set1_epi8(c)); };
        // Controls and "!"#$%&": every byte up to '&' but the space.
        __m128i m = _mm_andnot_si128(is(' '), in_range(v, 0x00, 0x26));
        m = _mm_or_si128(m, _mm_or_si128(is('*'), is('<')));
        m = _mm_or_si128(m, _mm_or_si128(in_range(v, 0x5B, 5), in_range(v, 0x7C, 2)));
        m = _mm_or_si128(m, _mm_or_si128(is(static_cast<char>(0xC2)), in_range(v, 0xE1, 2)));
        return static_cast<unsigned>(_mm_movemask_epi8(m));
    });
#else
    const size_t n = t.size();
    while (i < n && (kBytes.v[static_cast<unsigned char>(t[i])] & kStop) == 0) ++i;
    return i;
#endif
}

// Where the plain run of t from i that may go out at once ends: spaces right before the end of the text, or
// before other white space, may turn out to be trailing, and are left out.
[[gnu::always_inline]] inline size_t trimmed_run_end(std::string_view t, size_t i) {
    size_t j = plain_run_end(t, i);
    if (j == t.size() || !is_ascii_punct(static_cast<unsigned char>(t[j]))) {
        while (j > i && t[j - 1] == ' ') --j;
    }
    return j;
}

// An emphasis or strong written with a mark, as a bit of InlineWriter's Delim::used.
uint8_t used_bit(NodeType type, char mark) {
    return static_cast<uint8_t>((type == NodeType::Emphasis ? 1 : 4) << (mark == '_' ? 1 : 0));
}

// A URI autolink as every reader takes it: a scheme of 2 to 32 characters, then no space, control, angle
// bracket, or the '&' and '\' that readers treat differently inside one.
bool plain_autolink(std::string_view url) {
    size_t i = 0;
    if (url.empty() || !std::isalpha(static_cast<unsigned char>(url[0]))) return false;
    while (i < url.size() &&
           (std::isalnum(static_cast<unsigned char>(url[i])) || url[i] == '+' || url[i] == '.' || url[i] == '-')) {
        ++i;
    }
    if (i < 2 || i > 32 || i == url.size() || url[i] != ':') return false;
    for (unsigned char c : url) {
        if (c <= 0x20 || c == 0x7F || c == '<' || c == '>' || c == '&' || c == '\\') return false;
    }
    return true;
}

}  // namespace

bool entity_like(std::string_view s, size_t i) {
    size_t j = i + 1;
    if (j < s.size() && s[j] == '#') {
        ++j;
        if (j < s.size() && (s[j] == 'x' || s[j] == 'X')) ++j;
    }
    const size_t digits = j;
    while (j < s.size() && std::isalnum(static_cast<unsigned char>(s[j]))) ++j;
    if (j == s.size()) return true;
    return j > digits && s[j] == ';';
}

std::string safe_label(std::string_view label) {
    if (label.empty()) return "+";
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(label.size());
    for (unsigned char c : label) {
        if (std::isalnum(c) || c == '-' || c == '.') {
            out += static_cast<char>(c);
        } else {
            out += '+';
            out += kHex[c >> 4];
            out += kHex[c & 15];
        }
    }
    return out;
}

// ------------------------------------------------------------------------------------ the inline writer

void InlineWriter::begin_heading() {
    start(Start::Line, true, " ");
    s_.heading = true;
    lines_.line_start = false;
}

void InlineWriter::begin_cell() {
    start(Start::Inside, true, " ");
    s_.cell = true;
}

void InlineWriter::begin_label() {
    start(Start::Inside, true);
    s_.begun = true;
}

void InlineWriter::end_inside() {
    flush_trailing_ws_inside();
    s_.active = false;
}

void InlineWriter::start(Start start, bool single_line, std::string_view lead) {
    State& s = s_;
    s.active = true;
    s.single_line = single_line;
    s.heading = false;
    s.cell = false;
    s.start = start;
    s.lead = lead;
    s.begun = false;
    s.pending_ws.clear();
    s.pending_break = s.pending_hard = false;
    s.unwritten = 0;
    s.last_run = 0;
    s.guard = s.after_ref = false;
    s.link_depth = s.strike_depth = 0;
    s.code_end = s.opener_end = std::string::npos;
    s.delims.clear();
    if (start == Start::Inside) lines_.line_start = false;
}

void InlineWriter::end() {
    s_.active = false;
    if (s_.start == Start::Block && s_.begun) lines_.end_line();
}

// The class of the character before the write position.
Cls InlineWriter::prev_class() const {
    if (lines_.line_start || lines_.buf.empty()) return Cls::Space;
    size_t len = 1;
    return classify(read_utf8(lines_.buf, last_utf8_start(lines_.buf), len));
}

// Makes the character before the write position punctuation to a reader, so that a delimiter run written
// next follows punctuation: it is rewritten as a character reference (it is a letter of text). Where that
// letter is what lets the run or the '_' before it open or close, or where it is a control (which readers
// refuse as a reference), an empty comment goes after it instead.
void InlineWriter::encode_prev() {
    const size_t at = last_utf8_start(lines_.buf);
    size_t len = 1;
    const uint32_t cp = read_utf8(lines_.buf, at, len);
    if (is_control(cp) || at == s_.opener_end || (at > 0 && lines_.buf[at - 1] == '_')) {
        lines_.buf += kEmptyComment;
        return;
    }
    lines_.buf.resize(at);
    append_char_ref(lines_.buf, cp);
}

// Writes a character of text as a character reference, so that the delimiter run before it is followed
// by punctuation.
void InlineWriter::write_encoded(uint32_t cp, std::string_view bytes) {
    if (is_control(cp)) {
        lines_.buf += kEmptyComment;
        lines_.buf += bytes;
    } else {
        append_char_ref(lines_.buf, cp);
    }
}

void InlineWriter::flush_ws() {
    State& s = s_;
    // A closer that must be followed by white space or punctuation is not followed by a vertical tab, which
    // some readers take for a letter.
    auto put = [&](char c) {
        if (s.guard && c == '\v') lines_.buf += kEmptyComment;
        s.guard = false;
        lines_.buf += c;
    };
    if (s.pending_break) {
        // Spaces and tabs at a line end or start mean nothing to a reader (two would make a hard break);
        // other white space (no-break spaces) is kept.
        for (char c : s.pending_ws) {
            if (c != ' ' && c != '\t' && c != '\n' && c != '\r') put(c);
        }
        if (s.pending_hard) lines_.buf += '\\';
        lines_.end_line();
        lines_.begin_line();
    } else if (!s.pending_ws.empty()) {
        if (lines_.line_start) {
            for (char c : s.pending_ws) {
                if (c == ' ' || c == '\t') continue;
                lines_.buf += c;
                lines_.line_start = false;
            }
        } else {
            put(s.pending_ws[0]);
            lines_.buf.append(s.pending_ws, 1);
        }
    }
    if (!s.pending_ws.empty() || s.pending_break) {
        s.guard = false;
        s.last_run = 0;
    }
    s.pending_ws.clear();
    s.pending_break = s.pending_hard = false;
}

// Called before the first byte of visible content; `next` is the class of that byte as written.
void InlineWriter::content(Cls next) {
    State& s = s_;
    if (!s.begun) {
        s.begun = true;
        if (s.start == Start::Block) {
            lines_.begin_block();
            lines_.begin_line();
        }
        lines_.buf += s.lead;
        s.pending_ws.clear();  // white space at the start of the text means nothing
        s.pending_break = s.pending_hard = false;
    } else {
        flush_ws();
    }
    s.after_ref = false;
    while (s.unwritten < s.delims.size()) {
        const size_t k = s.unwritten++;
        Delim& d = s.delims[k];
        const Delim* below = k > 0 ? &s.delims[k - 1] : nullptr;
        // The next delimiter, if any, is written right after this one.
        if (d.dropped || !place_opener(d, below, s.unwritten < s.delims.size() ? Cls::Punct : next)) {
            d.dropped = true;
            d.inner = below != nullptr ? below->inner : 0;
            d.used = below != nullptr ? below->used : 0;
        }
    }
}

// Chooses the mark of an opener and writes it, or returns false when no mark would be read back as this
// node; `next` is the class of the first character of its content. A reader pairs delimiter runs by these
// rules, and the choice follows them:
// - runs of one character side by side are one run, and a reader cannot tell where one delimiter of it
//   ends: two runs of one mark never meet. An opener takes the other mark than the emphasis or strong
//   right around it (so that their closers do not meet either), and not the mark of a run just written;
//   where neither mark will do, an empty comment parts the two runs;
// - a run with a letter or punctuation on both sides (".*." or "a*b") may close as well as open: it
//   closes the nearest open run of its character unless their lengths add up to a multiple of three, so
//   such an opener takes a mark that no open delimiter of its own kind (its own length) uses;
// - where a run would not open (a letter before it and punctuation after, or a letter before a '_'), the
//   letter is written as a character reference, which reads as punctuation.
// An emphasis inside emphases that use both marks (a strong inside such strongs) may find no mark: it keeps
// no markup of its own, and renders as what is around it does.
bool InlineWriter::place_opener(Delim& d, const Delim* below, Cls next) {
    State& s = s_;
    const char inner = below != nullptr ? below->inner : 0;
    const uint8_t used = below != nullptr ? below->used : 0;
    const Cls before = prev_class();
    struct Choice {
        char mark = 0;
        bool part = false;    // an empty comment parts it from the run before
        bool encode = false;  // the character before is written as a reference
    };
    auto consider = [&](char mark, Choice& c) {
        c.mark = mark;
        c.part = s.last_run == mark;
        Cls prev = c.part ? Cls::Punct : before;
        c.encode = maybe_word(prev) && (mark == '_' || maybe_punct(next));
        if (c.encode) prev = Cls::Punct;
        const bool both = (maybe_punct(prev) && maybe_punct(next)) || (maybe_word(prev) && maybe_word(next));
        if (!both || d.type == NodeType::Strikethrough || (used & used_bit(d.type, mark)) == 0) return true;
        if (maybe_word(prev)) {  // a '*' between letters: the letter before becomes punctuation
            c.encode = true;
            return !maybe_punct(next);
        }
        return false;
    };
    Choice pick;
    if (d.type == NodeType::Strikethrough) {
        consider('~', pick);
    } else {
        // The other mark than the emphasis around it, so that their closers do not meet either.
        const char first = inner == '*' ? '_' : '*';
        const char second = first == '*' ? '_' : '*';
        Choice a, b;
        const bool ok_a = consider(first, a), ok_b = consider(second, b);
        if (ok_a && (!a.part || !ok_b || b.part)) {
            pick = a;
        } else if (ok_b) {
            pick = b;
        } else {
            return false;
        }
    }
    if (pick.part) {
        lines_.buf += kEmptyComment;
    } else if (pick.encode) {
        encode_prev();
    }
    d.mark = pick.mark;
    d.written = true;
    d.inner = d.type == NodeType::Strikethrough ? inner : pick.mark;
    d.used = d.type == NodeType::Strikethrough ? used : static_cast<uint8_t>(used | used_bit(d.type, pick.mark));
    lines_.buf.append(d.type == NodeType::Emphasis ? 1 : 2, pick.mark);
    s.last_run = pick.mark;
    s.opener_end = lines_.buf.size();
    s.guard = false;
    lines_.line_start = false;
    return true;
}

void InlineWriter::open_delim(NodeType type) {
    State& s = s_;
    Delim d{type};
    if (type == NodeType::Strikethrough) {
        d.dropped = s.strike_depth > 0;
        ++s.strike_depth;
    }
    s.delims.push_back(d);
}

void InlineWriter::close_delim() {
    State& s = s_;
    const Delim d = s.delims.back();
    s.delims.pop_back();
    if (s.unwritten > s.delims.size()) s.unwritten = s.delims.size();
    if (d.type == NodeType::Strikethrough) --s.strike_depth;
    if (!d.written) return;  // nothing visible inside (or no mark would do): no markup at all
    if (s.last_run == d.mark) lines_.buf += kEmptyComment;  // right after a closer of the same mark
    const Cls before = prev_class();
    lines_.buf.append(d.type == NodeType::Emphasis ? 1 : 2, d.mark);
    s.last_run = d.mark;
    s.guard = d.mark == '_' || maybe_punct(before);
    s.after_ref = false;
}

void InlineWriter::pending_space(char c) {
    State& s = s_;
    if (c == '\n' || c == '\r') {
        if (s.single_line) {
            s.pending_ws += ' ';
        } else {
            s.pending_break = true;
        }
    } else {
        s.pending_ws += c;
    }
}

// Running text, escaped wherever a character could be read as markup.
void InlineWriter::text(std::string_view t) {
    State& s = s_;
    size_t i = 0;
    const size_t n = t.size();
    while (i < n) {
        const auto c = static_cast<unsigned char>(t[i]);
        // Where nothing waits to be written before the next visible character but perhaps a line break, or the
        // text's first visible character comes, a run of plain text goes out at once: one that begins with a
        // space (written now, since a visible character follows it in the run), with a character that a closer
        // before it does not care about, or, at a line start, with one that cannot begin a block marker.
        if (!s.after_ref && s.unwritten == s.delims.size() && (s.pending_ws.empty() || !s.begun)) {
            size_t from = i;
            if (c == '\n' && !s.single_line && s.begun) ++from;
            if (from < n) {
                const auto f = static_cast<unsigned char>(t[from]);
                const bool line_break = s.begun && (s.pending_break || from > i);
                const bool new_line = line_break || lines_.line_start || (!s.begun && s.start == Start::Block);
                bool plain;
                if (new_line) {
                    plain = (kBytes.v[f] & kLineStart) != 0 && (line_break || !s.guard);
                } else if (f == ' ') {
                    plain = s.begun;
                } else {
                    plain = !s.guard && (kBytes.v[f] & kStop) == 0;
                }
                const size_t j = plain ? trimmed_run_end(t, from) : from;
                if (j > from) {
                    if (!s.begun) {
                        content(Cls::Word);  // begins the block and the line; no opener waits
                    } else if (line_break) {
                        // Nothing else is held back: the break (held, or the line feed skipped above) alone.
                        s.pending_break = true;
                        flush_ws();
                    }
                    lines_.buf.append(t.data() + from, j - from);
                    lines_.line_start = false;
                    s.guard = false;
                    s.last_run = 0;
                    i = j;
                    continue;
                }
            }
        }
        // White space is held back: it may turn out to be trailing, or at a line start.
        if (c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == kVerticalTab) {
            pending_space(static_cast<char>(c));
            ++i;
            continue;
        }
        size_t len = 1;
        uint32_t cp = c;
        if (c >= 0x80) {
            cp = read_utf8(t, i, len);
            if (is_unicode_space(cp)) {
                s.pending_ws.append(t.substr(i, len));
                i += len;
                continue;
            }
        }
        const bool after_ref = s.after_ref;
        const Cls cls = classify_fast(cp);
        if (s.begun && s.pending_ws.empty() && !s.pending_break && s.unwritten == s.delims.size()) {
            s.after_ref = false;  // all that content() would do
        } else {
            content(cls);
        }
        bool escape = false;
        switch (c) {
            case '\\':
            case '`':
            case '*':
            case '[':
            case ']':
            case '<':
            case '~':
            case '$':
            case '|':
                escape = true;
                break;
            case '_':  // only between two letters or digits (as written) can it neither open nor close emphasis
                escape = !(i > 0 && i + 1 < n && std::isalnum(static_cast<unsigned char>(t[i - 1])) &&
                           std::isalnum(static_cast<unsigned char>(lines_.buf.back())) &&
                           std::isalnum(static_cast<unsigned char>(t[i + 1])));
                break;
            case '&':
                escape = entity_like(t, i);
                break;
            case '!':  // a link may follow: "![" would be an image, "^[" an inline note to some readers
            case '^':
                escape = i + 1 == n;
                break;
            case '#':
                escape = s.heading;
                break;
            case ':':  // "[^x]:" would define a footnote, "[^x](" make a link
            case '(':
                escape = after_ref;
                break;
            default:
                break;
        }
        if (lines_.line_start) {
            // Block markers, where the line's first character could make one.
            if (c == '#' || c == '>' || c == '-' || c == '+' || c == '=' || c == ':' || c == '|') escape = true;
            if (c >= '0' && c <= '9') {
                size_t j = i;
                while (j < n && t[j] >= '0' && t[j] <= '9') ++j;
                if (j < n && (t[j] == '.' || t[j] == ')')) {
                    lines_.buf.append(t.substr(i, j - i));
                    lines_.buf += '\\';
                    lines_.buf += t[j];
                    s.last_run = 0;
                    lines_.line_start = false;
                    i = j + 1;
                    continue;
                }
            }
        }
        if (s.guard && maybe_word(cls)) {
            write_encoded(cp, t.substr(i, len));
        } else {
            if (escape) lines_.buf += '\\';
            lines_.buf.append(t.substr(i, len));
        }
        s.guard = false;
        s.last_run = 0;
        lines_.line_start = false;
        i += len;
        // The plain run that follows goes out at once.
        const size_t j = trimmed_run_end(t, i);
        lines_.buf.append(t.data() + i, j - i);
        i = j;
    }
}

void InlineWriter::code_span(std::string_view code) {
    State& s = s_;
    if (code.empty()) return;
    std::string body;
    body.reserve(code.size());
    size_t longest = 0, run = 0;
    for (size_t i = 0; i < code.size(); ++i) {
        const char c = code[i];
        if (c == '`') {
            longest = std::max(longest, ++run);
        } else {
            run = 0;
        }
        if (c == '\r' && i + 1 < code.size() && code[i + 1] == '\n') continue;
        if (c == '\n' || c == '\r') {
            body += ' ';  // a reader reads a line break in a code span as a space
        } else if (c == '|' && s.cell) {
            body += "\\|"sv;
        } else {
            body += c;
        }
    }
    const bool all_spaces = body.find_first_not_of(' ') == std::string::npos;
    const bool pad =
        body.front() == '`' || body.back() == '`' || (!all_spaces && body.front() == ' ' && body.back() == ' ');
    content(Cls::Punct);
    // Right after another code span the two runs of backticks would be one: an empty comment parts them.
    if (lines_.buf.size() == s.code_end) lines_.buf += kEmptyComment;
    const std::string ticks(longest + 1, '`');
    lines_.buf += ticks;
    if (pad) lines_.buf += ' ';
    lines_.buf += body;
    if (pad) lines_.buf += ' ';
    lines_.buf += ticks;
    s.code_end = lines_.buf.size();
    s.last_run = 0;
    s.guard = false;
    lines_.line_start = false;
}

// A link destination: plain with backslash escapes, or in angle brackets when it holds spaces or controls.
void InlineWriter::destination(std::string_view url) {
    const bool angle =
        std::any_of(url.begin(), url.end(), [](char c) { return static_cast<unsigned char>(c) <= 0x20 || c == 0x7F; });
    if (angle) lines_.buf += '<';
    // The bytes between two that need a look go out together.
    size_t i = 0;
    while (i < url.size()) {
        size_t j = i;
        while (j < url.size() && !kDestinationBytes.v[static_cast<unsigned char>(url[j])]) ++j;
        lines_.buf.append(url.data() + i, j - i);
        if (j == url.size()) break;
        const char c = url[j];
        if (c == '\n') {
            lines_.buf += "%0A"sv;
        } else if (c == '\r') {
            lines_.buf += "%0D"sv;
        } else if (c != '&' || entity_like(url, j)) {
            lines_.buf += '\\';
            lines_.buf += c;
        } else {
            lines_.buf += c;
        }
        i = j + 1;
    }
    if (angle) lines_.buf += '>';
}

void InlineWriter::title(std::string_view t) {
    lines_.buf += " \""sv;
    for (size_t i = 0; i < t.size(); ++i) {
        const char c = t[i];
        if (c == '\n' || c == '\r') {
            append_char_ref(lines_.buf, static_cast<unsigned char>(c));
        } else if (c == '"' || c == '\\' || (c == '&' && entity_like(t, i))) {
            lines_.buf += '\\';
            lines_.buf += c;
        } else {
            lines_.buf += c;
        }
    }
    lines_.buf += '"';
}

bool InlineWriter::write(Walker& w) {
    const size_t depth = w.depth();
    enter(w.node());
    while (w.next()) {
        if (w.event() == Event::Enter) {
            if (w.depth() == depth && !is_inline(w.node().type)) return true;  // a block after the text
            enter(w.node());
            continue;
        }
        if (w.depth() < depth) return true;  // the Leave of the node around the text
        leave(w.node());
    }
    return false;
}

void InlineWriter::enter(NodeRef n) {
    State& s = s_;
    const Inline& node = n.as<Inline>();
    switch (n.type) {
        case NodeType::Text:
            if (item_depth_ > 0) {
                without_continuation_marks(node.text, [&](std::string_view piece) { text(piece); });
            } else {
                text(node.text);
            }
            break;
        case NodeType::CodeSpan:
            code_span(node.text);
            break;
        case NodeType::Emphasis:
        case NodeType::Strong:
        case NodeType::Strikethrough:
            open_delim(n.type);
            break;
        case NodeType::Link:
            if (s.link_depth++ > 0) break;  // links do not nest: an inner one is its label
            content(Cls::Punct);
            lines_.buf += '[';
            s.last_run = 0;
            lines_.line_start = false;
            break;
        case NodeType::AutoLink:
            autolink(node.text);
            break;
        case NodeType::FootnoteRef:
            content(Cls::Punct);
            lines_.buf += "[^"sv;
            lines_.buf += safe_label(node.text);
            lines_.buf += ']';
            s.last_run = 0;
            lines_.line_start = false;
            s.after_ref = true;
            break;
        case NodeType::HardBreak:
            if (s.single_line) {
                s.pending_ws += ' ';
            } else {
                s.pending_break = s.pending_hard = true;
            }
            break;
        case NodeType::SoftBreak:
            pending_space('\n');
            break;
        default:
            break;
    }
}

// A plain URI autolink as it is, anything else as a link whose label is its URL (inside a link: its text).
void InlineWriter::autolink(std::string_view url) {
    State& s = s_;
    if (s.link_depth > 0) {
        text(url);
    } else if (plain_autolink(url)) {
        content(Cls::Punct);
        lines_.buf += '<';
        lines_.buf += url;
        lines_.buf += '>';
        s.last_run = 0;
        lines_.line_start = false;
    } else {
        content(Cls::Punct);
        lines_.buf += '[';
        lines_.line_start = false;
        ++s.link_depth;
        text(url);
        --s.link_depth;
        flush_trailing_ws_inside();
        lines_.buf += "]("sv;
        destination(url);
        lines_.buf += ')';
        s.last_run = 0;
        s.guard = false;
    }
}

// White space held back inside a link label is written before the closing bracket.
void InlineWriter::flush_trailing_ws_inside() {
    State& s = s_;
    if (s.pending_break) {
        s.pending_ws += ' ';
        s.pending_break = s.pending_hard = false;
    }
    if (!s.pending_ws.empty() && s.begun) {
        lines_.buf += s.pending_ws;
        s.guard = false;
    }
    s.pending_ws.clear();
}

void InlineWriter::leave(NodeRef n) {
    State& s = s_;
    switch (n.type) {
        case NodeType::Emphasis:
        case NodeType::Strong:
        case NodeType::Strikethrough:
            close_delim();
            break;
        case NodeType::Link: {
            if (--s.link_depth > 0) break;
            const Inline& node = n.as<Inline>();
            lines_.buf += "]("sv;
            destination(node.text);
            if (node.title) title(*node.title);
            lines_.buf += ')';
            s.last_run = 0;
            s.guard = false;
            break;
        }
        default:
            break;
    }
}

}  // namespace quillet::writers::markdown
